#include "socks5/AsyncSocksClient.h"

#include "base/Clock.h"
#include "base/LogLimiter.h"
#include "base/SocketHelpers.h"
#include "socks5/Socks5Message.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr std::int64_t kNanosecondsPerMs = 1'000'000;

// The CONNECT failure lines, each for its first 10 occurrences in the process.
LogLimiter g_socketLog(10);
LogLimiter g_associateLog(10);
LogLimiter g_connectNowLog(10);
LogLimiter g_connectLog(10);
LogLimiter g_authLog(10);
LogLimiter g_requestLog(10);
LogLimiter g_sendLog(10, 1000);
LogLimiter g_nameLog(10, 1000);
LogLimiter g_addressLog(10, 1000);
// UDP ASSOCIATE failures and time-outs, first 10 then every 1000th.
LogLimiter g_udpLog(10, 1000);
LogLimiter g_timeoutLog(10, 1000);

QString text(const std::string &value)
{
    return QString::fromStdString(value);
}
} // namespace

struct AsyncSocksClient::Handshake {
    std::uint64_t id = 0;
    Request request;
    Handler handler;
    std::int64_t deadline = 0;
    std::vector<std::uint8_t> message; // the request, sent with the greeting
    sockaddr_storage server{};
    socklen_t serverLength = 0;
    std::atomic<std::uint32_t> state{kWaiting};
    bool launched = false; // holds a turn with its server; guarded by the client's mutex
    CompletionSlot slot; // the connect and every send and receive, one at a time
    std::array<std::uint8_t, kBufferSize> buffer{};
    std::size_t length = 0; // bytes of the answer received so far
    std::size_t wanted = 0; // bytes the answer being received has in all
    // Guards the socket and finished against a post racing the end: a closed
    // socket's number may already belong to another connection.
    std::mutex mutex;
    int socket = -1;
    bool finished = false;
};

AsyncSocksClient::AsyncSocksClient(CompletionPort &port) : m_port(port) {}

AsyncSocksClient::~AsyncSocksClient()
{
    cancelAll();
    releaseRecords();
}

void AsyncSocksClient::attach(CompletionDispatcher &dispatcher)
{
    dispatcher.setHandler(kCompletionKey, [this](const CompletionPort::Completion &c) { return onCompletion(c); });
    dispatcher.addHousekeeping([this] { expire(monotonicNanoseconds()); });
}

const char *AsyncSocksClient::stateName(State state)
{
    switch (state) {
    case kWaiting:
        return "WAITING";
    case kConnecting:
        return "CONNECTING";
    case kGreeting:
        return "H_GREETING";
    case kAuth:
        return "H_AUTH";
    case kRequest:
        return "H_REQUEST";
    case kResponse:
        return "H_RESPONSE";
    case kEstablished:
        return "ESTABLISHED";
    }
    return "?";
}

std::uint64_t AsyncSocksClient::startProxyConnect(Request request, Handler handler)
{
    auto handshake = std::make_shared<Handshake>();
    handshake->id = m_nextId.fetch_add(1);
    handshake->serverLength = request.server.toSocketAddress(handshake->server);
    if (handshake->serverLength == 0) {
        if (g_addressLog.admit())
            qWarning().noquote() << "Invalid proxy address:" << text(request.server.toString());
        return 0;
    }
    if (request.command == Command::Connect) {
        handshake->message = Socks5Message::connectRequest(request.destination, request.hostName);
        if (handshake->message.empty()) {
            if (g_nameLog.admit())
                qWarning().noquote() << "[BUFFER WARNING] Domain too long:" << text(request.hostName);
            return 0;
        }
    } else if (request.command == Command::UdpAssociate) {
        handshake->message = Socks5Message::udpAssociateRequest();
    }
    handshake->deadline = monotonicNanoseconds() + std::int64_t(request.timeoutMs) * kNanosecondsPerMs;
    handshake->request = std::move(request);
    handshake->handler = std::move(handler);
    bool now = false;
    {
        std::lock_guard lock(m_mutex);
        m_handshakes.emplace(handshake->id, handshake);
        m_deadlines.emplace(handshake->deadline, handshake->id);
        Server &server = m_servers[handshake->request.server];
        now = server.connecting < kMaxConnectingPerServer;
        if (now) {
            ++server.connecting;
            handshake->launched = true;
        } else {
            (handshake->request.command == Command::Connect ? server.waitingConnects : server.waitingOthers)
                .push_back(handshake);
        }
    }
    const std::uint64_t id = handshake->id;
    if (now && !launch(handshake))
        launchWaiting(handshake->request.server, monotonicNanoseconds());
    return id;
}

bool AsyncSocksClient::launch(const HandshakePtr &handshake)
{
    int error = 0;
    {
        // Held while the connect is posted: a cancel, time-out or completion
        // that comes at once waits until the handshake is in place.
        std::lock_guard guard(handshake->mutex);
        if (handshake->finished)
            return true; // cancelled or timed out while it waited
        handshake->state.store(kConnecting);
        if (!openSocket(handshake)) {
            error = -1;
        } else {
            error = m_live.post(&handshake->slot, handshake, [&] {
                return m_port.postConnect(handshake->socket, handshake->slot,
                                          reinterpret_cast<const sockaddr *>(&handshake->server),
                                          handshake->serverLength);
            });
            if (error != 0 && handshake->request.command == Command::Connect && g_connectNowLog.admit())
                qCritical().noquote() << "[FAIL-4] connect to proxy FAILED immediately - error:" << error
                                      << "proxy:" << text(handshake->request.server.toString());
        }
    }
    if (error == 0)
        return true;
    Result result;
    result.failure = error < 0 ? Failure::Socket : Failure::Connect;
    result.error = error < 0 ? 0 : error;
    finish(handshake, result, false);
    return false;
}

void AsyncSocksClient::launchWaiting(const Endpoint &server, std::int64_t now)
{
    for (;;) {
        HandshakePtr next;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_servers.find(server);
            if (it == m_servers.end())
                return;
            Server &turns = it->second;
            for (std::deque<HandshakePtr> *queue; !next && turns.connecting < kMaxConnectingPerServer &&
                                                  (queue = turns.nextQueue()) != nullptr;) {
                next = std::move(queue->front());
                queue->pop_front();
                // Ended while it waited, or out of time: the time-out check ends it.
                if (!m_handshakes.count(next->id) || next->deadline <= now) {
                    next.reset();
                    continue;
                }
                ++turns.connecting;
                next->launched = true;
            }
            if (!next) {
                if (turns.idle())
                    m_servers.erase(it);
                return;
            }
        }
        launch(next); // a failure frees its turn again for the next one
    }
}

// A non-blocking socket of the server's family, prepared by the caller and
// associated with the port; false (logged, nothing left open) on failure.
bool AsyncSocksClient::openSocket(const HandshakePtr &handshake)
{
    const Request &request = handshake->request;
    const bool socks = request.command != Command::None;
    const int fd = createOverlappedTcpSocket(request.server.address.isIpv6() ? AF_INET6 : AF_INET);
    if (fd < 0) {
        const int error = errno;
        if (request.command == Command::Connect && g_socketLog.admit())
            qCritical() << "[FAIL-1] Failed to create socket for connect - error:" << error;
        else if (request.command == Command::UdpAssociate && g_udpLog.admit())
            qWarning() << "Failed to create TCP socket for UDP associate";
        return false;
    }
    if (request.prepare && !request.prepare(fd)) {
        ::close(fd);
        return false;
    }
    if (const int error = m_port.associate(fd, keyValue(kCompletionKey)); error != 0) {
        if (socks && g_associateLog.admit())
            qCritical() << (request.command == Command::Connect
                                ? "[FAIL-2] Failed to associate TCP socket with the completion port, error:"
                                : "Failed to associate UDP control socket with the completion port, error:")
                        << error << "socket:" << fd;
        ::close(fd);
        return false;
    }
    handshake->socket = fd;
    return true;
}

bool AsyncSocksClient::onCompletion(const CompletionPort::Completion &completion)
{
    const HandshakePtr handshake = m_live.take(completion.slot);
    if (!handshake)
        return false;
    {
        std::lock_guard guard(handshake->mutex);
        if (handshake->finished)
            return true; // cancelled or timed out while this was under way
    }
    if (handshake->state.load() == kConnecting)
        onConnectComplete(handshake, completion);
    else
        onHandshakeComplete(handshake, completion);
    return true;
}

void AsyncSocksClient::onConnectComplete(const HandshakePtr &handshake, const CompletionPort::Completion &completion)
{
    if (!completion.success) {
        Result result;
        result.failure = Failure::Connect;
        result.error = completion.error;
        finish(handshake, result);
        return;
    }
    if (handshake->request.command == Command::None) {
        finish(handshake, Result{});
        return;
    }
    // The request goes out with the greeting: the one method offered needs no
    // exchange of its own, so the proxy's choice and its reply to the request
    // are read after one round trip instead of two. A proxy that refuses the
    // method answers so and ignores the rest.
    const std::vector<std::uint8_t> &message = handshake->message;
    std::uint8_t *buffer = handshake->buffer.data();
    std::memcpy(buffer, Socks5Message::kGreeting.data(), Socks5Message::kGreeting.size());
    std::memcpy(buffer + Socks5Message::kGreeting.size(), message.data(), message.size());
    post(handshake, kGreeting, Step::Send, Socks5Message::kGreeting.size() + message.size());
}

void AsyncSocksClient::onHandshakeComplete(const HandshakePtr &handshake, const CompletionPort::Completion &completion)
{
    const auto state = State(handshake->state.load());
    const bool sending = state == kGreeting;
    if (!completion.success || (!sending && completion.bytes == 0)) {
        Result result;
        result.failure = sending ? Failure::Send : Failure::Receive;
        result.error = completion.error;
        result.bytes = handshake->length;
        finish(handshake, result);
        return;
    }
    switch (state) {
    case kGreeting:
        handshake->length = 0;
        post(handshake, kAuth, Step::Receive, Socks5Message::kMethodReplyLength);
        return;
    case kAuth:
        handshake->length += completion.bytes;
        if (handshake->length < handshake->wanted)
            post(handshake, kAuth, Step::Receive, handshake->wanted);
        else
            onMethodReply(handshake);
        return;
    case kResponse:
        handshake->length += completion.bytes;
        onReply(handshake);
        return;
    default:
        return;
    }
}

void AsyncSocksClient::onMethodReply(const HandshakePtr &handshake)
{
    const std::uint8_t *answer = handshake->buffer.data();
    if (answer[0] != Socks5Message::kVersion || answer[1] != Socks5Message::kMethodNoAuthentication) {
        Result result;
        result.failure = Failure::AuthRejected;
        result.version = answer[0];
        result.code = answer[1];
        result.bytes = handshake->length;
        finish(handshake, result);
        return;
    }
    handshake->length = 0; // the request went out with the greeting
    post(handshake, kResponse, Step::Receive, Socks5Message::kReplyPrefixLength);
}

// The reply is read exactly, by its address type, so that nothing the server
// sends after it (the destination's first bytes) is taken for part of it.
void AsyncSocksClient::onReply(const HandshakePtr &handshake)
{
    const std::uint8_t *reply = handshake->buffer.data();
    Result result;
    result.version = reply[0];
    result.code = handshake->length >= 2 ? reply[1] : 0;
    result.bytes = handshake->length;
    if (reply[0] != Socks5Message::kVersion || (handshake->length >= 2 && reply[1] != 0)) {
        result.failure = reply[0] != Socks5Message::kVersion ? Failure::BadReply : Failure::RequestRejected;
        finish(handshake, result);
        return;
    }
    if (handshake->length < handshake->wanted) {
        post(handshake, kResponse, Step::Receive, handshake->wanted);
        return;
    }
    if (handshake->wanted == Socks5Message::kReplyPrefixLength) {
        const std::size_t whole = Socks5Message::replyLength(reply);
        if (whole == 0) {
            result.failure = Failure::BadReply;
            finish(handshake, result);
            return;
        }
        post(handshake, kResponse, Step::Receive, whole); // the rest of it
        return;
    }
    result.bound = Socks5Message::parseReply(reply, handshake->length).bound;
    if (handshake->request.command == Command::UdpAssociate && result.bound.address.isUnspecified())
        result.bound.address = handshake->request.server.address;
    finish(handshake, result);
}

bool AsyncSocksClient::post(const HandshakePtr &handshake, State state, Step step, std::size_t length)
{
    const bool sending = step == Step::Send;
    int error = 0;
    {
        std::lock_guard guard(handshake->mutex);
        if (handshake->finished)
            return false;
        handshake->state.store(state);
        if (!sending)
            handshake->wanted = std::min(length, kBufferSize);
        error = m_live.post(&handshake->slot, handshake, [&] {
            std::uint8_t *buffer = handshake->buffer.data();
            return sending ? m_port.postSend(handshake->socket, handshake->slot, buffer, std::uint32_t(length))
                           : m_port.postReceive(handshake->socket, handshake->slot, buffer + handshake->length,
                                                std::uint32_t(handshake->wanted - handshake->length));
        });
    }
    if (error == 0)
        return true;
    Result result;
    result.failure = sending ? Failure::Send : Failure::Receive;
    result.error = error;
    finish(handshake, result);
    return false;
}

void AsyncSocksClient::finish(const HandshakePtr &handshake, Result result, bool launchNext)
{
    int socket = -1;
    Handler handler;
    {
        std::lock_guard guard(handshake->mutex);
        if (handshake->finished)
            return;
        handshake->finished = true;
        socket = std::exchange(handshake->socket, -1);
        handler = std::move(handshake->handler);
    }
    const bool turnFreed = releaseTurn(*handshake);
    result.state = State(handshake->state.load());
    if (result.ok()) {
        handshake->state.store(kEstablished);
        m_port.changeKey(socket, keyValue(handshake->request.socketKey));
        result.socket = socket;
    } else {
        // An operation still posted completes with a failure and finds the handshake finished.
        m_port.closeSocket(socket);
        logFailure(*handshake, result);
    }
    if (handler)
        handler(std::move(result));
    if (turnFreed && launchNext)
        launchWaiting(handshake->request.server, monotonicNanoseconds());
}

bool AsyncSocksClient::releaseTurn(Handshake &handshake)
{
    std::lock_guard lock(m_mutex);
    m_handshakes.erase(handshake.id);
    m_deadlines.erase({handshake.deadline, handshake.id});
    const auto it = m_servers.find(handshake.request.server);
    if (it == m_servers.end() || !handshake.launched)
        return false;
    handshake.launched = false;
    Server &server = it->second;
    --server.connecting;
    if (server.idle())
        m_servers.erase(it);
    return true;
}

void AsyncSocksClient::logFailure(const Handshake &handshake, const Result &result) const
{
    const Request &request = handshake.request;
    if (request.command == Command::None || result.failure == Failure::Cancelled)
        return;
    const QString proxy = text(request.server.toString());
    if (result.failure == Failure::TimedOut) {
        if (g_timeoutLog.admit())
            qWarning().noquote() << "[SOCKS5] Handshake with" << proxy << "timed out after" << request.timeoutMs
                                 << "ms in state" << stateName(result.state);
        return;
    }
    if (request.command == Command::UdpAssociate) {
        if (!g_udpLog.admit())
            return;
        if (result.failure == Failure::Connect)
            qWarning() << "connect for UDP failed:" << result.error;
        else if (result.failure == Failure::Send && result.state == kGreeting)
            qWarning() << "send UDP greeting failed:" << result.error;
        else if (result.failure == Failure::AuthRejected)
            qWarning() << "SOCKS5 UDP auth failed";
        else
            qWarning() << "SOCKS5 UDP associate failed - bytes:" << result.bytes << "ver:" << result.version
                       << "status:" << result.code << "(0x01=general failure, 0x05=connection refused)";
        return;
    }
    switch (result.failure) {
    case Failure::Connect:
        if (g_connectLog.admit())
            qCritical() << "[FAIL-5] connect to proxy FAILED on completion - socket error:" << result.error
                        << "(111=ECONNREFUSED, 110=ETIMEDOUT, 101=ENETUNREACH)";
        return;
    case Failure::Send:
        if (result.state == kGreeting && g_sendLog.admit())
            qWarning() << "send greeting failed:" << result.error;
        return;
    case Failure::AuthRejected:
        if (g_authLog.admit())
            qCritical() << "[FAIL-6] SOCKS5 auth REJECTED by proxy - bytes:" << result.bytes << "ver:" << result.version
                        << "method:" << result.code;
        return;
    case Failure::Receive:
    case Failure::RequestRejected:
    case Failure::BadReply:
        if (result.state == kResponse && g_requestLog.admit())
            qCritical().noquote()
                << "[FAIL-7] SOCKS5 CONNECT request REJECTED by proxy - bytes:" << result.bytes
                << "ver:" << result.version << "reply:" << result.code
                << "(1=general failure, 2=not allowed, 3=network unreachable, 4=host unreachable, 5=connection "
                   "refused, 6=TTL expired, 7=command not supported, 8=address type not supported)"
                << "dest:"
                << text(request.hostName.empty() ? request.destination.toString() : request.hostName);
        return;
    default:
        return;
    }
}

void AsyncSocksClient::cancel(std::uint64_t id)
{
    HandshakePtr handshake;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_handshakes.find(id);
        if (it == m_handshakes.end())
            return;
        handshake = it->second;
    }
    Result result;
    result.failure = Failure::Cancelled;
    finish(handshake, result);
}

void AsyncSocksClient::cancelAll()
{
    std::vector<HandshakePtr> all;
    {
        std::lock_guard lock(m_mutex);
        for (const auto &entry : m_handshakes)
            all.push_back(entry.second);
    }
    for (const HandshakePtr &handshake : all) {
        Result result;
        result.failure = Failure::Cancelled;
        finish(handshake, result);
    }
}

void AsyncSocksClient::expire(std::int64_t nowNs)
{
    std::vector<HandshakePtr> due;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_deadlines.begin(); it != m_deadlines.end() && it->first <= nowNs; ++it)
            if (const auto found = m_handshakes.find(it->second); found != m_handshakes.end())
                due.push_back(found->second);
    }
    // All that are due end first; only then do the waiting ones get the turns.
    std::set<Endpoint> servers;
    for (const HandshakePtr &handshake : due) {
        Result result;
        result.failure = Failure::TimedOut;
        result.error = ETIMEDOUT;
        finish(handshake, result, false);
        servers.insert(handshake->request.server);
    }
    for (const Endpoint &server : servers)
        launchWaiting(server, nowNs);
}

std::array<std::size_t, AsyncSocksClient::kStateCount> AsyncSocksClient::stateCounts() const
{
    std::array<std::size_t, kStateCount> counts{};
    std::lock_guard lock(m_mutex);
    for (const auto &entry : m_handshakes)
        if (const std::uint32_t state = entry.second->state.load(); state < kStateCount)
            ++counts[state];
    return counts;
}

AsyncSocksClient::State AsyncSocksClient::stateOf(std::uint64_t id) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_handshakes.find(id);
    return it == m_handshakes.end() ? kEstablished : State(it->second->state.load());
}

std::size_t AsyncSocksClient::running() const
{
    std::lock_guard lock(m_mutex);
    return m_handshakes.size();
}
