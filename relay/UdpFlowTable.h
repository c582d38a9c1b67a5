#pragma once
// The UDP flow table: the second road for UDP, used for IPv6 and whenever the
// UDP-NAT module cannot take an IPv4 datagram. Each flow opens its SOCKS5 UDP
// ASSOCIATE asynchronously on the completion port; datagrams that arrive
// before the association is up wait in the flow's queue. Answers of the
// tunnel's own DNS (T + 1 or the DNS redirect address, port 53) also feed the
// DNS name cache. A map of live slots routes completions in
// O(1) and keeps a flow alive until its last posted operation completed.

#include "relay/UdpFlow.h"
#include "base/CompletionPort.h"
#include "packet/PacketInfo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class ConnectionOwnerLookup;
class DnsNameCache;
class RoutingPolicy;

class UdpFlowTable {
public:
    static constexpr std::uint64_t kDataKey = 1;
    static constexpr std::uint64_t kControlKey = 3;
    static constexpr std::int64_t kIdleTimeoutNs = 60'999'999'999;

    using PacketOutput = std::function<bool(const std::uint8_t *packet, std::size_t length)>;

    struct Settings {
        std::string proxyAddress;
        std::uint32_t tunnelIp = 0;
        const RoutingPolicy *policy = nullptr;
        ConnectionOwnerLookup *owners = nullptr;
        DnsNameCache *names = nullptr;
        PacketOutput output;
    };

    UdpFlowTable(CompletionPort &port, Settings settings);
    ~UdpFlowTable();
    UdpFlowTable(const UdpFlowTable &) = delete;
    UdpFlowTable &operator=(const UdpFlowTable &) = delete;

    void setRunning(bool running) { m_running.store(running); }

    // One UDP packet from the adapter (reader thread).
    void handleUdpPacket(const PacketInfo &packet);
    // A completion of key 1 or 3; false when it belongs to no live flow.
    bool onCompletion(const CompletionPort::Completion &completion);

    void removeFlow(const UdpFlowKey &key);
    // Removes flows idle for more than kIdleTimeoutNs before nowNs; their count.
    std::size_t sweepIdle(std::int64_t nowNs);
    // Takes every flow out of the table and cancels its operations (reset).
    std::vector<std::shared_ptr<UdpFlow>> takeAll();
    // Closes a flow taken out of the table.
    void closeFlow(const std::shared_ptr<UdpFlow> &flow);
    // Closes every flow (stop).
    void closeAll();
    void releaseRecords();

    std::size_t flowCount() const;
    std::uint64_t establishedCount() const { return m_established.load(); }

private:
    void startAssociate(const std::shared_ptr<UdpFlow> &flow);
    void onControlConnected(const std::shared_ptr<UdpFlow> &flow, bool success);
    void onHandshakeStep(const std::shared_ptr<UdpFlow> &flow, std::uint32_t bytes, bool success);
    void onDataReceived(const std::shared_ptr<UdpFlow> &flow, std::uint32_t bytes, bool success);
    void postUdpReceive(const std::shared_ptr<UdpFlow> &flow);
    int postControl(const std::shared_ptr<UdpFlow> &flow, bool send, std::uint32_t length);
    void setUpRelay(const std::shared_ptr<UdpFlow> &flow);
    void sendPendingLocked(UdpFlow &flow);
    void removeFlow(const std::shared_ptr<UdpFlow> &flow);
    bool isTunnelDns(const UdpFlowKey &key) const;

    CompletionPort &m_port;
    Settings m_settings;
    std::atomic<bool> m_running{false};
    std::atomic<std::uint64_t> m_established{0};

    mutable std::mutex m_mutex; // the table and the live slots
    std::map<UdpFlowKey, std::shared_ptr<UdpFlow>> m_flows;
    std::unordered_map<const CompletionSlot *, std::shared_ptr<UdpFlow>> m_liveSlots;
};
