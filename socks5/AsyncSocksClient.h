#pragma once
// The asynchronous SOCKS5 client of the tunnel: opens a connection to a SOCKS5
// server and runs its handshake over the completion port, for CONNECT (the
// proxy side of a relayed TCP connection) and for UDP ASSOCIATE (the control
// connection of a UDP flow); or, as the degenerate case, opens a plain
// connection to a destination (a direct route).
//
// A caller starts one handshake per connection and gets its result once, in
// the handler it passed: on success the connected socket (still associated
// with the port, under the key the caller named) and the server's bound
// address; on failure the step that failed. Handshakes to one server run at
// most kMaxConnectingPerServer at a time (a burst of new flows must not bury
// the proxy core); the others wait their turn in order. Handshakes to
// different servers never wait for each other, so a server that never answers
// holds up only its own, and every handshake ends by its time-out at the
// latest, counted from its start, the wait included. No thread of its own:
// the steps run on the completion port's workers, the time-outs on worker 0's
// housekeeping.

#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "base/Endpoint.h"
#include "base/LiveSlots.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

class AsyncSocksClient {
public:
    static constexpr int kHandshakeTimeoutMs = 10000;
    static constexpr std::size_t kBufferSize = 512;
    static constexpr std::size_t kMaxConnectingPerServer = 256;
    static constexpr CompletionKey kCompletionKey = CompletionKey::ProxyHandshake;

    enum class Command : std::uint8_t {
        Connect,      // SOCKS5 CONNECT to the destination
        UdpAssociate, // SOCKS5 UDP ASSOCIATE
        None,         // no SOCKS5 exchange: a plain connection to the server endpoint
    };

    // The handshake states, numbered as the TCP connection states they stand for.
    enum State : std::uint32_t {
        kWaiting = 0,     // waiting for its turn with the server
        kConnecting = 1,  // the connect is outstanding
        kGreeting = 2,    // the greeting and the request are being sent
        kAuth = 3,        // waiting for the method reply
        kRequest = 4,     // (the request goes with the greeting; no handshake is left here)
        kResponse = 5,    // waiting for the reply
        kEstablished = 6, // accepted: the socket is the caller's
    };
    static constexpr std::size_t kStateCount = 7;

    enum class Failure : std::uint8_t {
        None,
        Socket,          // no socket could be made, prepared or associated
        Connect,         // the server could not be reached
        Send,            // a handshake send failed
        Receive,         // the server closed or the receive failed before a whole answer
        AuthRejected,    // the method reply was not 05 00
        RequestRejected, // the reply code was not success
        BadReply,        // a reply of another version or an unknown address type
        NameTooLong,     // the host name does not fit a request
        TimedOut,        // the handshake time-out ran out
        Cancelled,       // cancel() or cancelAll()
    };

    struct Request {
        Command command = Command::Connect;
        // The SOCKS5 server; for Command::None the destination itself.
        Endpoint server;
        // The CONNECT destination; by hostName when that is not empty.
        Endpoint destination;
        std::string hostName;
        int timeoutMs = kHandshakeTimeoutMs;
        // The key the socket is moved to when it is handed over.
        CompletionKey socketKey = kCompletionKey;
        // Called with the new socket before it connects (to bind it); false
        // fails the start.
        std::function<bool(int socket)> prepare;
    };

    struct Result {
        Failure failure = Failure::None;
        State state = kConnecting; // the state the handshake ended in
        int error = 0;             // errno of a failed socket operation
        std::uint8_t version = 0;  // of the answer that was refused
        std::uint8_t code = 0;     // method or reply code that was refused
        std::size_t bytes = 0;     // bytes of that answer
        int socket = -1;           // on success: the connected socket, now the handler's
        // The reply's BND.ADDR:BND.PORT; for UDP ASSOCIATE an unspecified
        // address is replaced by the server's.
        Endpoint bound;
        bool ok() const { return failure == Failure::None; }
    };

    // Called exactly once per started handshake: on a worker, on worker 0's
    // housekeeping (time-out), inside cancel()/cancelAll(), or inside
    // startProxyConnect() when the connection cannot even be attempted.
    using Handler = std::function<void(Result &&result)>;

    explicit AsyncSocksClient(CompletionPort &port);
    ~AsyncSocksClient();
    AsyncSocksClient(const AsyncSocksClient &) = delete;
    AsyncSocksClient &operator=(const AsyncSocksClient &) = delete;

    // Registers the completion handler and the time-out check with the dispatcher.
    void attach(CompletionDispatcher &dispatcher);

    // Starts a handshake; its id, or 0 for a request that cannot be made (no
    // server address, a name too long; logged): the handler is then never
    // called. The handler may run before this returns.
    std::uint64_t startProxyConnect(Request request, Handler handler);
    // Ends a handshake still running; its handler runs with Failure::Cancelled.
    void cancel(std::uint64_t id);
    // Ends every handshake still running (their handlers run here). Owners
    // call it once the workers have stopped and before the port closes: a
    // connection closed later would queue its failed operation on a port
    // whose records are gone.
    void cancelAll();
    // Ends the handshakes whose time-out has run out by nowNs.
    void expire(std::int64_t nowNs);
    // A completion of kCompletionKey; false when it belongs to no handshake.
    bool onCompletion(const CompletionPort::Completion &completion);
    // Lets go of records kept for operations still posted; only once no worker
    // waits on the port any more.
    void releaseRecords() { m_live.clear(); }

    // Handshakes running, by state; the state of one (kEstablished once it has ended).
    std::array<std::size_t, kStateCount> stateCounts() const;
    State stateOf(std::uint64_t id) const;
    std::size_t running() const;

    static const char *stateName(State state);

private:
    struct Handshake;
    using HandshakePtr = std::shared_ptr<Handshake>;
    // The handshakes with one server: those under way and those waiting.
    // Connections wait in a queue of their own and take free turns first: a
    // burst of UDP flows (one association each) must not hold up TCP.
    struct Server {
        std::size_t connecting = 0;
        std::deque<HandshakePtr> waitingConnects;
        std::deque<HandshakePtr> waitingOthers;
        bool idle() const { return connecting == 0 && waitingConnects.empty() && waitingOthers.empty(); }
        std::deque<HandshakePtr> *nextQueue()
        {
            return !waitingConnects.empty() ? &waitingConnects : !waitingOthers.empty() ? &waitingOthers : nullptr;
        }
    };

    // Makes the socket and posts the connect; false (finished) on failure.
    bool launch(const HandshakePtr &handshake);
    // Launches the waiting handshakes of a server while it has room; those out
    // of time by now are left to the time-out check.
    void launchWaiting(const Endpoint &server, std::int64_t now);
    bool openSocket(const HandshakePtr &handshake);
    void onConnectComplete(const HandshakePtr &handshake, const CompletionPort::Completion &completion);
    void onHandshakeComplete(const HandshakePtr &handshake, const CompletionPort::Completion &completion);
    void onMethodReply(const HandshakePtr &handshake);
    void onReply(const HandshakePtr &handshake);
    enum class Step : std::uint8_t { Send, Receive };
    // Posts the next send of length bytes, or the next receive until length
    // bytes of the answer are in; false when the post failed (finished then).
    bool post(const HandshakePtr &handshake, State state, Step step, std::size_t length);
    // Ends the handshake once: hands the socket over or closes it, calls the
    // handler, and (launchNext) lets the next waiting handshake have its turn.
    void finish(const HandshakePtr &handshake, Result result, bool launchNext = true);
    // Gives the handshake's turn with its server back; true when one may launch.
    bool releaseTurn(Handshake &handshake);
    void logFailure(const Handshake &handshake, const Result &result) const;

    CompletionPort &m_port;
    LiveSlots<Handshake> m_live;
    std::atomic<std::uint64_t> m_nextId{1};
    mutable std::mutex m_mutex; // the running handshakes, their deadlines and servers
    std::map<std::uint64_t, HandshakePtr> m_handshakes;
    std::set<std::pair<std::int64_t, std::uint64_t>> m_deadlines;
    std::map<Endpoint, Server> m_servers;
};
