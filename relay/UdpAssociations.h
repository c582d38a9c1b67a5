#pragma once
// The UDP flows of one forwarding path, each relayed through a SOCKS5 UDP
// ASSOCIATE of its own: the machinery that the UDP-NAT module and the UDP flow
// table share. A new flow asks the routing policy for its port with its
// owner (looked up once per flow, when a rule could send it direct), opens its
// association through the asynchronous SOCKS5 client (a silent proxy holds up
// only its own flows) and queues the datagrams that come meanwhile. Answers
// from the relay, and from the relay only, become UDP packets from the
// addressed destination to the application; answers of the tunnel's own DNS
// also teach the DNS name cache. Flows idle for more than kIdleTimeoutNs are
// swept, also while no traffic flows; the control connection's close ends a
// flow, and its next datagram opens a new one.

#include "base/Clock.h"
#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "base/LiveSlots.h"
#include "relay/FlowSource.h"
#include "relay/TunnelCounters.h"
#include "relay/UdpFlow.h"
#include "socks5/AsyncSocksClient.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ConnectionOwnerLookup;
class DnsNameCache;
class RoutingPolicy;

class UdpAssociations : public FlowSource {
public:
    static constexpr std::int64_t kIdleTimeoutNs = 60'999'999'999;
    static constexpr std::uint16_t kDnsPort = 53;

    // Writes one finished packet towards the applications.
    using PacketOutput = std::function<bool(const std::uint8_t *packet, std::size_t length)>;

    // What the forwarding paths of one tunnel share.
    struct Context {
        CompletionPort *port = nullptr;
        AsyncSocksClient *socks = nullptr;
        IpAddress proxyAddress;
        std::uint32_t tunnelIp = 0;
        const RoutingPolicy *policy = nullptr;
        ConnectionOwnerLookup *owners = nullptr; // null: owners are not looked up
        DnsNameCache *names = nullptr;           // null: answers teach no names
        TunnelCounters *counters = nullptr;      // null: a set of the path's own
        PacketOutput output;
        MonotonicClock clock = monotonicNanoseconds; // activity stamps and the idle sweep
    };

    // What tells one path from the other.
    struct Path {
        const char *tag = "[UDP]"; // of its log lines
        CompletionKey dataKey = CompletionKey::UdpFlowData;
        CompletionKey controlKey = CompletionKey::UdpFlowControl;
        std::size_t maxFlows = 0; // 0: no bound; else the least recently active flow makes room
        int handshakeTimeoutMs = AsyncSocksClient::kHandshakeTimeoutMs;
    };

    UdpAssociations(Context context, Path path);
    ~UdpAssociations() override;
    UdpAssociations(const UdpAssociations &) = delete;
    UdpAssociations &operator=(const UdpAssociations &) = delete;

    const Context &context() const { return m_context; }
    bool isUsable() const
    {
        return m_context.port && m_context.socks && m_context.policy && m_context.output && m_context.clock;
    }
    // Registers the path's completion handlers and its idle sweep.
    void attach(CompletionDispatcher &dispatcher);
    void setRunning(bool running) { m_running.store(running); }
    bool isRunning() const { return m_running.load(); }

    // One datagram of the flow to its real destination (adapter reader thread);
    // never waits for the proxy. False when it was not taken: not running, or
    // the send to an open relay failed.
    bool send(const UdpFlowKey &key, const Endpoint &realDestination, const std::uint8_t *payload,
              std::size_t length);
    // A completion of the path's keys; false when it belongs to no live flow.
    bool onCompletion(const CompletionPort::Completion &completion);

    // Removes flows idle for more than kIdleTimeoutNs before nowNs; their count.
    std::size_t sweepIdle(std::int64_t nowNs);
    void removeFlow(const UdpFlowKey &key);
    // Takes every flow out of the table (a reset closes them after a pause).
    std::vector<std::shared_ptr<UdpFlow>> takeAll();
    // Closes a flow taken out of the table: its sockets, or its handshake.
    void closeFlow(const std::shared_ptr<UdpFlow> &flow);
    // Closes every flow; their count.
    std::size_t closeAll();
    // Lets go of flows kept for operations still posted; only once no worker
    // waits on the port any more.
    void releaseRecords() { m_live.clear(); }

    std::size_t flowCount() const;
    bool hasFlow(const UdpFlowKey &key) const;
    std::uint64_t establishedCount() const { return m_established.load(); }
    // One entry per flow in the table.
    void appendFlows(std::vector<FlowEntry> &flows) const override;

private:
    std::shared_ptr<UdpFlow> findOrCreate(const UdpFlowKey &key, const Endpoint &realDestination, bool *created);
    std::uint16_t routeOf(const UdpFlowKey &key, const Endpoint &realDestination) const;
    // False when the association could not be started (the flow is removed).
    bool openAssociation(const std::shared_ptr<UdpFlow> &flow);
    void onAssociated(const std::shared_ptr<UdpFlow> &flow, AsyncSocksClient::Result &&result);
    // Under the flow's mutex: the relay socket made and associated, the queue sent.
    bool setUpRelayLocked(UdpFlow &flow, const AsyncSocksClient::Result &result);
    // False when the post failed: the flow has nothing posted and must go.
    bool postReceive(const std::shared_ptr<UdpFlow> &flow);
    bool postControlWatch(const std::shared_ptr<UdpFlow> &flow);
    void onDataReceived(const std::shared_ptr<UdpFlow> &flow, const CompletionPort::Completion &completion);
    void deliverAnswer(UdpFlow &flow, std::uint32_t bytes);
    void removeFlow(const std::shared_ptr<UdpFlow> &flow);
    // Under the table mutex: the least recently active flow, taken out of the table.
    std::shared_ptr<UdpFlow> takeLeastRecentLocked();

    TunnelCounters m_ownCounters;
    Context m_context;
    Path m_path;
    std::atomic<bool> m_running{false};
    std::atomic<std::uint64_t> m_established{0};
    LiveSlots<UdpFlow> m_live;
    mutable std::mutex m_mutex; // the table
    std::map<UdpFlowKey, std::shared_ptr<UdpFlow>> m_flows;
};
