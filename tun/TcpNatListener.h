#pragma once
// The listening socket of the NAT path on the tunnel address, its one
// outstanding accept on the completion port, and the NAT session table that
// maps the application's connection (its address and port and the destination
// address and port) to the NAT port the listener sees. The destination is part
// of the key: one local port may carry several connections to different
// destinations at once.
// Rewritten packets arrive from T + 1 : NAT port, so an accepted connection's
// remote port names its session.

#include "base/Clock.h"
#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "tun/TcpNatSession.h"

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>

class TcpNatListener {
public:
    static constexpr CompletionKey kCompletionKey = CompletionKey::Listener;
    static constexpr std::uint16_t kFirstNatPort = 30000;
    // A session whose connection was never accepted (its handshake with the
    // listener never completed) gives up its NAT port after this long; SYN
    // retransmissions end well before.
    // An accept that failed for want of descriptors or memory is posted again
    // after this pause (from retryAcceptIfDue), not at once: the failure would
    // repeat at once and spin a worker.
    static constexpr std::int64_t kAcceptRetryDelayNs = 100'000'000;
    static constexpr std::int64_t kUnacceptedSessionLifetimeNs = 180'000'000'000;

    using AcceptCallback = std::function<void(int socket, const TcpNatSession &session)>;

    // The clock times session lifetimes and accept retries.
    explicit TcpNatListener(MonotonicClock clock = monotonicNanoseconds) : m_clock(std::move(clock)) {}
    ~TcpNatListener();
    TcpNatListener(const TcpNatListener &) = delete;
    TcpNatListener &operator=(const TcpNatListener &) = delete;

    // Binds address:port (host order; port 0 lets the system choose), listens,
    // associates with the port under key 7 and posts the first accept.
    bool startListener(std::uint32_t address, std::uint16_t port, std::uint16_t *outPort,
                       CompletionPort *completionPort, AcceptCallback callback);
    void stopListener();

    // The NAT port for a new connection (pure SYN) from the client endpoint to
    // the destination. A session of the same connection is reused (SYN
    // retransmissions) while it is active; connections from the same client
    // port to other destinations keep sessions of their own. NAT ports are taken
    // from a counter that wraps, skipping 0 and the ports of active sessions; 0
    // when every port is in use. When it makes a new session, a copy of it goes
    // to created.
    std::uint16_t getOrCreateSession(std::uint32_t clientAddress, std::uint16_t clientPort,
                                     std::uint32_t destinationAddress, std::uint16_t destinationPort,
                                     TcpNatSession *created = nullptr);
    std::shared_ptr<TcpNatSession> findSessionByClient(std::uint32_t address, std::uint16_t port,
                                                       std::uint32_t destinationAddress,
                                                       std::uint16_t destinationPort) const;
    std::shared_ptr<TcpNatSession> findSessionByNatPort(std::uint16_t natPort) const;
    // The connection of this session has ended (its relay closed, or it never
    // got one): its NAT port may be handed out again. The session keeps
    // translating until then. Ignored when the port has gone to another session.
    void endSession(const TcpNatSession &session);

    // Registers the handler of key 7 and the accept retry with the dispatcher.
    void attach(CompletionDispatcher &dispatcher);
    // A completion of key 7; false when it is not the accept's.
    bool onCompletion(const CompletionPort::Completion &completion);
    // Completion of the accept slot.
    void onAcceptComplete(const CompletionPort::Completion &completion);
    // Posts the accept again once a retry is due; called from the completion
    // workers' loop at least every wait period. Cheap when none is pending.
    void retryAcceptIfDue();

    CompletionSlot *acceptSlot() { return &m_acceptSlot; }
    std::uint32_t listenAddress() const { return m_listenAddress; }
    std::uint16_t listenPort() const { return m_listenPort; }
    bool isActive() const { return m_active.load(std::memory_order_acquire); }
    std::size_t sessionCount() const;
    // For tests: where the next new session's NAT port is taken from.
    void setNextNatPort(std::uint16_t port) { m_nextNatPort.store(port); }

private:
    // Client address, client port, destination address, destination port.
    using ClientKey = std::tuple<std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t>;

    static ClientKey clientKeyOf(const TcpNatSession &session);
    // Under the session mutex: the next free NAT port from the cursor on, or 0.
    // Busy ports are marked in a bitmap, so finding one costs a few word tests,
    // not a walk over the sessions, however many connections stay open.
    std::uint16_t takeNatPort(std::int64_t now);
    // Under the session mutex: frees the ports of unaccepted sessions past their lifetime.
    void expireUnaccepted(std::int64_t now);
    void markBusy(std::uint16_t port, bool busy);
    std::optional<std::uint16_t> nextFreePort(std::uint16_t from) const;
    void postAccept();
    void closeListenSocket();

    MonotonicClock m_clock;
    std::uint32_t m_listenAddress = 0;
    std::uint16_t m_listenPort = 0;
    mutable std::mutex m_sessionMutex;
    std::map<std::uint16_t, std::shared_ptr<TcpNatSession>> m_byNatPort;
    std::map<ClientKey, std::shared_ptr<TcpNatSession>> m_byClient;
    // One bit per NAT port whose session holds it (active, and accepted or young).
    std::array<std::uint64_t, 65536 / 64> m_busyPorts{};
    // Sessions not yet accepted, oldest first, to free their ports after their
    // lifetime; an entry names its session by port and creation time.
    struct Unaccepted {
        std::int64_t created;
        std::uint16_t port;
    };
    std::deque<Unaccepted> m_unaccepted;
    std::atomic<std::uint16_t> m_nextNatPort{kFirstNatPort};
    std::atomic<bool> m_active{false};
    std::atomic<std::int64_t> m_acceptRetryAt{0}; // monotonic ns; 0: no retry pending
    int m_listenSocket = -1;
    CompletionSlot m_acceptSlot;
    sockaddr_in m_peer{};
    CompletionPort *m_port = nullptr;
    std::mutex m_callbackMutex;
    AcceptCallback m_callback;
};
