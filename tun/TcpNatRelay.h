#pragma once
// The relay half of the NAT path: for every connection the listener accepts it
// opens the real outbound connection (through the SOCKS5 proxy by host name or
// address, or directly over the pre-TUN interface) and relays bytes between the
// two sockets over the completion port (key 5), through a pipe per direction
// without copying (or, as the fallback, through buffers).
//
// Set-up starts as soon as the application's SYN has made a NAT session: a
// worker looks up the owner, chooses the route and has the asynchronous
// SOCKS5 client open the connection while the listener's handshake with the
// application goes on; the accept then takes it up. One opened ahead that no
// accept takes up in time is closed; an accept without one sets up its own.
// Nothing waits for a proxy or a destination, so a proxy that accepts and
// never answers holds up only the connections sent to it, each until the
// handshake time-out.
// The relay table maps ids to sessions; the live slots route each completion
// to its session in O(1) and keep the session alive until every operation
// posted on it has completed, so a late completion never touches freed memory.

#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "base/IpAddress.h"
#include "base/LiveSlots.h"
#include "relay/FlowSource.h"
#include "relay/TunnelCounters.h"
#include "socks5/AsyncSocksClient.h"
#include "tun/RelaySession.h"
#include "tun/TcpNatSession.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class ConnectionOwnerLookup;
class DnsNameCache;
class RoutingPolicy;

class TcpNatRelay : public FlowSource {
public:
    static constexpr CompletionKey kCompletionKey = CompletionKey::Relay;
    static constexpr int kConnectTimeoutMs = AsyncSocksClient::kHandshakeTimeoutMs;
    // The listener's handshake over the tunnel takes well under a millisecond;
    // a connection opened ahead waits this long for its accept (a SYN that
    // never completes) before it is closed.
    static constexpr std::int64_t kOpenAheadClaimNs = 3'000'000'000;
    // Connections opened ahead at once, at most; past it, set-up waits for the accept.
    static constexpr std::size_t kMaxOpenedAhead = 1024;

    struct Settings {
        IpAddress proxyAddress; // of the SOCKS5 proxy
        const RoutingPolicy *policy = nullptr;
        DnsNameCache *names = nullptr;
        ConnectionOwnerLookup *owners = nullptr;
        AsyncSocksClient *socks = nullptr;
        std::uint32_t tunnelIp = 0; // T: TCP DNS to T + 1 goes to the DNS redirect address
        // Bytes move socket -> pipe -> socket (splice), never through the
        // daemon's memory; false, or no pipe to be had: receive and send.
        bool zeroCopy = true;
        TunnelCounters *counters = nullptr; // null: a set of the relay's own
    };

    TcpNatRelay(CompletionPort &port, Settings settings);
    ~TcpNatRelay() override;
    TcpNatRelay(const TcpNatRelay &) = delete;
    TcpNatRelay &operator=(const TcpNatRelay &) = delete;

    // Registers the handler of key 5 and the sweep of unclaimed connections
    // opened ahead with the dispatcher.
    void attach(CompletionDispatcher &dispatcher);
    // Relays are set up from start() until stop().
    void start();
    // Ends the connections still being opened and closes every relay session.
    // Completions posted before stay routed to their sessions.
    void stop();
    // Releases the sessions kept for outstanding operations; only once no
    // worker waits on the port any more.
    void releaseRecords()
    {
        m_liveSlots.clear();
        m_openingSlots.clear();
    }

    // Called once for every NAT session handed to setUpRelay when its connection
    // ends (relay closed, or never set up), so its NAT port can be reused. Set
    // before start().
    void setSessionEndedCallback(std::function<void(const TcpNatSession &)> callback)
    {
        m_sessionEnded = std::move(callback);
    }

    // The pre-TUN interface that direct connections are bound to (0: none).
    void setInterfaceIndex(std::uint32_t index) { m_interfaceIndex.store(index); }

    // A new NAT session, from the packet path: the outbound connection starts
    // to open on a worker (see above). Cheap; never blocks.
    void openAhead(const TcpNatSession &session);
    // The listener's accept callback: takes up the connection opened ahead for
    // the session, or looks up the owner, chooses the route and starts opening it.
    void setUpRelay(int socket, const TcpNatSession &session);
    // Closes the connections opened ahead that no accept took up in time.
    void sweepOpenedAhead(std::int64_t now);
    std::size_t openedAheadCount() const;
    // A completion of key 5; false when it belongs to no live session.
    bool onCompletion(const CompletionPort::Completion &completion);
    void closeRelay(std::uint64_t id);
    // Closes every session that goes through the proxy; their count.
    std::size_t closeProxiedRelays();

    std::size_t sessionCount() const;
    // Connections accepted whose outbound connection is still being opened.
    std::size_t openingCount() const;
    // Logs (debug) the "[TCP-DIAG]" line of the connections by state; nothing
    // when there are none. True when it wrote the line.
    bool logDiagnostics() const;
    // One entry per accepted connection: relays, and those still being opened.
    void appendFlows(std::vector<FlowEntry> &flows) const override;

private:
    // A connection whose outbound connection is being opened: accepted, or
    // opened ahead of its accept.
    struct PendingConnect {
        enum class Outcome : std::uint8_t { Opening, Connected, Failed };

        TcpNatSession session;
        Endpoint target; // where the outbound connection goes: the session's destination, or the DNS redirect
        std::string ownerPath;
        std::uint16_t socksPort = 0;
        std::atomic<std::uint64_t> handshake{0};
        std::int64_t aheadSince = 0; // monotonic ns; when it was opened ahead
        std::chrono::steady_clock::time_point connectStarted;
        std::chrono::steady_clock::time_point connected;
        std::chrono::microseconds lookupTime{0};
        std::shared_ptr<FlowStats> stats = std::make_shared<FlowStats>();
        CompletionSlot openSlot; // hands an opening ahead to a worker

        std::mutex mutex; // guards the fields below
        int socket = -1;       // the application's accepted socket
        bool accepted = true;  // false while opened ahead of its accept
        bool discarded = false; // opened ahead and not taken up in time
        bool proceeded = false; // relayed or abandoned
        Outcome outcome = Outcome::Opening;
        int destination = -1;
        bool direct = false;
    };
    using PendingPtr = std::shared_ptr<PendingConnect>;

    // Owner lookup, route and the start of the outbound connection.
    void begin(const PendingPtr &pending);
    // The owner of the application's socket; false (the connection is refused)
    // when it is this daemon.
    bool lookUpOwner(const PendingPtr &pending);
    // The outbound connection is up (destination >= 0) or failed (-1); kept
    // until the accept is in as well.
    void settle(const PendingPtr &pending, int destination, bool direct);
    // Once the outcome and the accept are both in: the relay starts or the
    // connection is abandoned.
    void proceedIfReady(const PendingPtr &pending);
    // A connection opened ahead that no accept will take up.
    void discard(const PendingPtr &pending);
    void forgetPending(const PendingPtr &pending);

    void startDirect(const PendingPtr &pending);
    void startProxied(const PendingPtr &pending, const std::string &hostName);
    bool startConnect(const PendingPtr &pending, AsyncSocksClient::Request request,
                      std::function<void(AsyncSocksClient::Result &&)> onResult);
    void onDirectResult(const PendingPtr &pending, AsyncSocksClient::Result &&result);
    void onProxyResult(const PendingPtr &pending, bool byName, AsyncSocksClient::Result &&result);
    bool bindToPhysicalInterface(int socket) const;
    // The connection could not be opened: the application's socket closes.
    void abandon(const PendingPtr &pending);
    void finishRelay(const PendingPtr &pending, int destination, bool direct);
    void onRelayComplete(const std::shared_ptr<RelaySession> &session, RelaySession::Side side, bool receive,
                         std::uint32_t bytes, bool success);
    int postReceive(const std::shared_ptr<RelaySession> &session, RelaySession::Side side);
    int postSend(const std::shared_ptr<RelaySession> &session, RelaySession::Side side, std::uint32_t length);
    void endSide(const std::shared_ptr<RelaySession> &session, RelaySession::Side side);
    void natSessionEnded(const TcpNatSession &session);

    CompletionPort &m_port;
    TunnelCounters m_ownCounters;
    Settings m_settings;
    std::function<void(const TcpNatSession &)> m_sessionEnded;
    std::atomic<std::uint32_t> m_interfaceIndex{0};
    std::atomic<bool> m_running{false};
    std::atomic<std::uint64_t> m_nextId{1};

    mutable std::mutex m_tableMutex; // the relay table
    std::map<std::uint64_t, std::shared_ptr<RelaySession>> m_sessions;
    LiveSlots<RelaySession> m_liveSlots;
    // Shared with the sessions, which give their pipes back as they go.
    std::shared_ptr<PipePool> m_pipes = std::make_shared<PipePool>();

    mutable std::mutex m_pendingMutex; // connections being opened
    std::map<const PendingConnect *, PendingPtr> m_pending;
    std::map<std::uint16_t, PendingPtr> m_ahead; // opened ahead, by NAT port, until accepted
    LiveSlots<PendingConnect> m_openingSlots;   // openings ahead handed to the workers
};
