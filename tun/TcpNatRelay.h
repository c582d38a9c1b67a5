#pragma once
// The relay half of the NAT path: for every connection the listener accepts it
// opens the real outbound connection (through the SOCKS5 proxy by host name or
// address, or directly over the pre-TUN interface) and relays bytes between the
// two sockets over the completion port (key 5), through a pipe per direction
// without copying (or, as the fallback, through buffers).
//
// Set-up runs on the worker that took the accept: the owner lookup and the
// route, then the connection is opened by the asynchronous SOCKS5 client,
// which calls back once it is up or has failed; nothing waits for a proxy or a
// destination, so a proxy that accepts and never answers holds up only the
// connections sent to it, each until the handshake time-out.
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

    // Registers the handler of key 5 with the dispatcher.
    void attach(CompletionDispatcher &dispatcher);
    // Relays are set up from start() until stop().
    void start();
    // Ends the connections still being opened and closes every relay session.
    // Completions posted before stay routed to their sessions.
    void stop();
    // Releases the sessions kept for outstanding operations; only once no
    // worker waits on the port any more.
    void releaseRecords() { m_liveSlots.clear(); }

    // Called once for every NAT session handed to setUpRelay when its connection
    // ends (relay closed, or never set up), so its NAT port can be reused. Set
    // before start().
    void setSessionEndedCallback(std::function<void(const TcpNatSession &)> callback)
    {
        m_sessionEnded = std::move(callback);
    }

    // The pre-TUN interface that direct connections are bound to (0: none).
    void setInterfaceIndex(std::uint32_t index) { m_interfaceIndex.store(index); }

    // The listener's accept callback: looks up the owner, chooses the route and
    // starts opening the outbound connection.
    void setUpRelay(int socket, const TcpNatSession &session);
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
    // An accepted connection whose outbound connection is being opened.
    struct PendingConnect {
        int socket = -1;
        TcpNatSession session;
        Endpoint target; // where the outbound connection goes: the session's destination, or the DNS redirect
        std::string ownerPath;
        std::uint16_t socksPort = 0;
        std::atomic<std::uint64_t> handshake{0};
        std::chrono::steady_clock::time_point started;
        std::chrono::steady_clock::time_point looked;
        std::shared_ptr<FlowStats> stats = std::make_shared<FlowStats>();
    };
    using PendingPtr = std::shared_ptr<PendingConnect>;

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

    mutable std::mutex m_pendingMutex; // connections being opened
    std::map<const PendingConnect *, PendingPtr> m_pending;
};
