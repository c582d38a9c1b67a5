#pragma once
// The relay half of the NAT path: for every connection the listener accepts it
// opens the real outbound connection (through the SOCKS5 proxy by host name or
// address, or directly over the pre-TUN interface) and relays bytes between the
// two sockets over the completion port (key 5).
//
// Opening a connection blocks (owner lookup, connect, SOCKS5 handshake), so it
// runs on connect threads of the relay, never on the completion port's
// workers. Set-up threads look up the owner, choose the route and open direct
// connections; proxied ones are handed to proxy threads of their own, so a
// proxy that accepts and never answers holds up only proxied connections,
// never direct ones. Stop shuts down the sockets of connects in progress, so it
// does not wait for their time-outs.
// The relay table maps ids to sessions; a second map of live slots routes each
// completion to its session in O(1) and keeps the session alive until every
// operation posted on it has completed, so a late completion never touches
// freed memory.

#include "base/CompletionPort.h"
#include "tun/RelaySession.h"
#include "tun/TcpNatSession.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class ConnectionOwnerLookup;
class DnsNameCache;
class RoutingPolicy;

class TcpNatRelay {
public:
    static constexpr std::uint64_t kCompletionKey = 5;
    static constexpr int kSetUpThreads = 16;      // owner lookup, route, direct connects
    static constexpr int kProxyConnectThreads = 16; // SOCKS5 handshakes
    static constexpr std::size_t kMaxQueuedConnects = 4096;
    static constexpr int kDirectConnectTimeoutMs = 10000;

    struct Settings {
        std::string proxyAddress; // dotted IPv4 of the SOCKS5 proxy
        const RoutingPolicy *policy = nullptr;
        DnsNameCache *names = nullptr;
        ConnectionOwnerLookup *owners = nullptr;
    };

    TcpNatRelay(CompletionPort &port, Settings settings);
    ~TcpNatRelay();
    TcpNatRelay(const TcpNatRelay &) = delete;
    TcpNatRelay &operator=(const TcpNatRelay &) = delete;

    // Starts the connect threads; relays are set up from then until stop().
    void start();
    // Ends the connect threads (queued connections are closed) and closes every
    // relay session. Completions posted before stay routed to their sessions.
    void stop();
    // Releases the sessions kept for outstanding operations; only once no
    // worker waits on the port any more.
    void releaseRecords();

    // Called once for every NAT session handed to setUpRelay when its connection
    // ends (relay closed, or never set up), so its NAT port can be reused. Set
    // before start().
    void setSessionEndedCallback(std::function<void(const TcpNatSession &)> callback)
    {
        m_sessionEnded = std::move(callback);
    }

    // The pre-TUN interface that direct connections are bound to (0: none).
    void setInterfaceIndex(std::uint32_t index) { m_interfaceIndex.store(index); }

    // The listener's accept callback: queues the accepted socket for set-up.
    void setUpRelay(int socket, const TcpNatSession &session);
    // A completion of key 5; false when it belongs to no live session.
    bool onCompletion(const CompletionPort::Completion &completion);
    void closeRelay(std::uint64_t id);
    // Closes every session that goes through the proxy; their count.
    std::size_t closeProxiedRelays();

    std::size_t sessionCount() const;
    std::size_t queuedConnects() const;

    // The connections of the NAT path by stage, for the diagnostics line.
    struct ConnectionCounts {
        std::size_t queued = 0;      // accepted, waiting for a connect thread
        std::size_t connecting = 0;  // direct connects in progress
        std::size_t handshaking = 0; // SOCKS5 handshakes in progress
        std::size_t relaying = 0;    // relay sessions
    };
    ConnectionCounts connectionCounts() const;
    // Logs (debug) the "[TCP-DIAG]" line of the connections by stage; nothing
    // when there are none. True when it wrote the line.
    bool logDiagnostics() const;

private:
    struct PendingConnect {
        int socket = -1;
        TcpNatSession session;
        std::uint16_t socksPort = 0; // set when handed to the proxy threads
        std::string ownerPath;
        std::chrono::steady_clock::time_point started;
        std::chrono::steady_clock::time_point looked;
    };

    void connectThread(bool proxied);
    void routeConnect(PendingConnect pending);
    void finishRelay(const PendingConnect &pending, int destination, bool direct);
    bool queueConnect(std::deque<PendingConnect> &queue, std::condition_variable &condition,
                      PendingConnect &&pending);
    int connectDirect(const TcpNatSession &session);
    int connectThroughProxy(const TcpNatSession &session, std::uint16_t socksPort);
    // Sockets of connects in progress, shut down by stop().
    void trackConnectSocket(int socket, bool opened);
    void onRelayComplete(const std::shared_ptr<RelaySession> &session, RelaySession::Side side, bool receive,
                         std::uint32_t bytes, bool success);
    int postReceive(const std::shared_ptr<RelaySession> &session, RelaySession::Side side);
    int postSend(const std::shared_ptr<RelaySession> &session, RelaySession::Side side, std::uint32_t length);
    void endSide(const std::shared_ptr<RelaySession> &session, RelaySession::Side side);
    void natSessionEnded(const TcpNatSession &session);

    CompletionPort &m_port;
    Settings m_settings;
    std::function<void(const TcpNatSession &)> m_sessionEnded;
    std::atomic<std::uint32_t> m_interfaceIndex{0};
    std::atomic<bool> m_running{false};
    std::atomic<std::uint64_t> m_nextId{1};

    mutable std::mutex m_tableMutex; // the relay table and the live slots
    std::map<std::uint64_t, std::shared_ptr<RelaySession>> m_sessions;
    std::unordered_map<const CompletionSlot *, std::shared_ptr<RelaySession>> m_liveSlots;

    mutable std::mutex m_queueMutex;
    std::condition_variable m_setUpCondition;
    std::condition_variable m_proxyCondition;
    std::deque<PendingConnect> m_setUpQueue;
    std::deque<PendingConnect> m_proxyQueue;
    std::vector<std::thread> m_connectThreads;
    std::atomic<std::size_t> m_directConnecting{0};
    std::atomic<std::size_t> m_proxyHandshaking{0};

    std::mutex m_connectSocketMutex;
    std::set<int> m_connectSockets;
};
