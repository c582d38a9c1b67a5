#include "tun/TcpNatListener.h"

#include "base/IpAddress.h"
#include "base/LogLimiter.h"

#include <QDebug>

#include <arpa/inet.h>
#include <bit>
#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

namespace {
LogLimiter g_noPortLog(20, 1000);
LogLimiter g_acceptErrorLog(20, 100);
LogLimiter g_noSessionLog(10, 1000);

// Failures that say nothing about the next connection in the queue.
bool isConnectionError(int error)
{
    return error == ECONNABORTED || error == EPROTO || error == ECONNRESET || error == EPERM;
}
} // namespace

TcpNatListener::~TcpNatListener()
{
    stopListener();
}

bool TcpNatListener::startListener(std::uint32_t address, std::uint16_t port, std::uint16_t *outPort,
                                   CompletionPort *completionPort, AcceptCallback callback)
{
    m_port = completionPort;
    m_listenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_listenSocket < 0) {
        qCritical() << "[TCP-NAT] Failed to create listener socket:" << errno;
        return false;
    }
    const int one = 1;
    setsockopt(m_listenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (::bind(m_listenSocket, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        qCritical() << "[TCP-NAT] Failed to bind listener:" << errno;
        closeListenSocket();
        return false;
    }
    sockaddr_in bound{};
    socklen_t boundLength = sizeof bound;
    if (getsockname(m_listenSocket, reinterpret_cast<sockaddr *>(&bound), &boundLength) != 0) {
        qCritical() << "[TCP-NAT] Failed to get bound port:" << errno;
        closeListenSocket();
        return false;
    }
    m_listenAddress = address;
    m_listenPort = ntohs(bound.sin_port);
    if (outPort)
        *outPort = m_listenPort;
    if (::listen(m_listenSocket, SOMAXCONN) != 0) {
        qCritical() << "[TCP-NAT] Failed to listen:" << errno;
        closeListenSocket();
        return false;
    }
    if (!m_port) {
        qCritical() << "[TCP-NAT] Failed to associate listener with the completion port:" << EBADF;
        closeListenSocket();
        return false;
    }
    if (const int error = m_port->associate(m_listenSocket, keyValue(kCompletionKey)); error != 0) {
        qCritical() << "[TCP-NAT] Failed to associate listener with the completion port:" << error;
        closeListenSocket();
        return false;
    }
    {
        std::lock_guard lock(m_callbackMutex);
        m_callback = std::move(callback);
    }
    qWarning().noquote() << "[TCP-NAT] Listening on" << QString::fromStdString(ipv4ToString(address)) << ":"
                         << m_listenPort;
    m_active.store(true, std::memory_order_release);
    postAccept();
    return true;
}

void TcpNatListener::postAccept()
{
    if (!isActive())
        return;
    m_peer = sockaddr_in{};
    const int error = m_port->postAccept(m_listenSocket, m_acceptSlot, reinterpret_cast<sockaddr *>(&m_peer),
                                         sizeof m_peer);
    if (error != 0)
        qWarning() << "[TCP-NAT] accept failed:" << error; // no accept is outstanding now
}

void TcpNatListener::retryAcceptIfDue()
{
    std::int64_t due = m_acceptRetryAt.load(std::memory_order_acquire);
    if (due == 0 || m_clock() < due)
        return;
    if (m_acceptRetryAt.compare_exchange_strong(due, 0, std::memory_order_acq_rel))
        postAccept();
}

void TcpNatListener::attach(CompletionDispatcher &dispatcher)
{
    dispatcher.setHandler(kCompletionKey, [this](const CompletionPort::Completion &c) { return onCompletion(c); });
    // An accept put off after a failure is re-armed at least once per wait period.
    dispatcher.addHousekeeping([this] { retryAcceptIfDue(); });
}

bool TcpNatListener::onCompletion(const CompletionPort::Completion &completion)
{
    if (completion.slot != &m_acceptSlot)
        return false;
    onAcceptComplete(completion);
    return true;
}

void TcpNatListener::onAcceptComplete(const CompletionPort::Completion &completion)
{
    const int accepted = completion.success ? m_acceptSlot.acceptedSocket() : -1;
    if (!isActive()) {
        if (accepted >= 0)
            ::close(accepted);
        return;
    }
    if (!completion.success) {
        if (const std::uint64_t n = g_acceptErrorLog.admit())
            qWarning() << "[TCP-NAT] accept completion failed:" << completion.error << "(occurrence" << n << ")";
        if (isConnectionError(completion.error)) {
            postAccept();
            return;
        }
        // Out of descriptors or memory (EMFILE, ENFILE, ENOMEM, ENOBUFS ...): the
        // pending connection stays queued; try again shortly.
        m_acceptRetryAt.store(m_clock() + kAcceptRetryDelayNs, std::memory_order_release);
        return;
    }
    const std::uint16_t natPort = ntohs(m_peer.sin_port);
    // Take the next accept first: the relay set-up below must not hold it up.
    postAccept();
    // The session is copied under the mutex, which guards its flags.
    TcpNatSession session;
    {
        std::lock_guard lock(m_sessionMutex);
        const auto it = m_byNatPort.find(natPort);
        if (it != m_byNatPort.end()) {
            it->second->accepted = true;
            session = *it->second;
            // Accepted late, past its lifetime: its port is held again.
            if (it->second->active)
                markBusy(natPort, true);
        }
    }
    if (session.natPort == 0) {
        if (g_noSessionLog.admit())
            qWarning() << "[TCP-NAT] No NAT session for NAT port" << natPort;
        ::close(accepted);
        return;
    }
    AcceptCallback callback;
    {
        std::lock_guard lock(m_callbackMutex);
        callback = m_callback;
    }
    if (callback) {
        callback(accepted, session);
    } else {
        ::close(accepted);
        endSession(session);
    }
}

TcpNatListener::ClientKey TcpNatListener::clientKeyOf(const TcpNatSession &session)
{
    return ClientKey{session.clientAddress, session.clientPort, session.destinationAddress, session.destinationPort};
}

void TcpNatListener::markBusy(std::uint16_t port, bool busy)
{
    const std::uint64_t bit = std::uint64_t(1) << (port % 64);
    if (busy)
        m_busyPorts[port / 64] |= bit;
    else
        m_busyPorts[port / 64] &= ~bit;
}

std::optional<std::uint16_t> TcpNatListener::nextFreePort(std::uint16_t from) const
{
    constexpr std::size_t kWords = 65536 / 64;
    // Port 0 means "no NAT session" and is never handed out.
    auto freeBits = [&](std::size_t word) { return ~m_busyPorts[word] & (word == 0 ? ~std::uint64_t(1) : ~std::uint64_t(0)); };
    const std::size_t first = from / 64;
    std::uint64_t bits = freeBits(first) & (~std::uint64_t(0) << (from % 64));
    for (std::size_t step = 0; step <= kWords; ++step) {
        if (bits != 0) {
            const std::size_t word = (first + step) % kWords;
            return std::uint16_t(word * 64 + std::size_t(std::countr_zero(bits)));
        }
        bits = freeBits((first + step + 1) % kWords);
    }
    return std::nullopt;
}

void TcpNatListener::expireUnaccepted(std::int64_t now)
{
    // Accepted, ended or replaced sessions leave the front as they are met, so
    // the queue stays short while connections are accepted as they come.
    while (!m_unaccepted.empty()) {
        const Unaccepted front = m_unaccepted.front();
        const auto it = m_byNatPort.find(front.port);
        const bool waiting = it != m_byNatPort.end() && it->second->created == front.created &&
                             it->second->active && !it->second->accepted;
        if (waiting && now - front.created < kUnacceptedSessionLifetimeNs)
            return;
        if (waiting)
            markBusy(front.port, false);
        m_unaccepted.pop_front();
    }
}

std::uint16_t TcpNatListener::takeNatPort(std::int64_t now)
{
    expireUnaccepted(now);
    const std::optional<std::uint16_t> found = nextFreePort(m_nextNatPort.load(std::memory_order_relaxed));
    if (!found)
        return 0;
    const std::uint16_t port = *found;
    m_nextNatPort.store(std::uint16_t(port + 1), std::memory_order_relaxed); // wraps at 16 bits
    // The port goes to a new connection; the ended session that held it last
    // gives up its client entry unless a newer session of that connection has it.
    if (const auto it = m_byNatPort.find(port); it != m_byNatPort.end()) {
        const std::shared_ptr<TcpNatSession> old = it->second;
        if (const auto clientIt = m_byClient.find(clientKeyOf(*old));
            clientIt != m_byClient.end() && clientIt->second == old)
            m_byClient.erase(clientIt);
        m_byNatPort.erase(it);
    }
    return port;
}

std::uint16_t TcpNatListener::getOrCreateSession(std::uint32_t clientAddress, std::uint16_t clientPort,
                                                 std::uint32_t destinationAddress, std::uint16_t destinationPort,
                                                 TcpNatSession *created)
{
    std::lock_guard lock(m_sessionMutex);
    const ClientKey clientKey{clientAddress, clientPort, destinationAddress, destinationPort};
    if (auto it = m_byClient.find(clientKey); it != m_byClient.end() && it->second->active)
        return it->second->natPort;
    const std::int64_t now = m_clock();
    const std::uint16_t natPort = takeNatPort(now);
    if (natPort == 0) {
        if (g_noPortLog.admit())
            qWarning() << "[TCP-NAT] No free NAT port for a new connection from port" << clientPort;
        return 0;
    }
    auto session = std::make_shared<TcpNatSession>();
    session->clientAddress = clientAddress;
    session->clientPort = clientPort;
    session->destinationAddress = destinationAddress;
    session->destinationPort = destinationPort;
    session->natPort = natPort;
    session->active = true;
    session->created = now;
    m_byNatPort[natPort] = session;
    m_byClient[clientKey] = session;
    m_unaccepted.push_back({now, natPort});
    markBusy(natPort, true);
    if (created)
        *created = *session;
    return natPort;
}

void TcpNatListener::endSession(const TcpNatSession &ended)
{
    std::lock_guard lock(m_sessionMutex);
    const auto it = m_byNatPort.find(ended.natPort);
    if (it != m_byNatPort.end() && clientKeyOf(*it->second) == clientKeyOf(ended) && it->second->active) {
        it->second->active = false;
        markBusy(ended.natPort, false);
    }
}

std::shared_ptr<TcpNatSession> TcpNatListener::findSessionByClient(std::uint32_t address, std::uint16_t port,
                                                                   std::uint32_t destinationAddress,
                                                                   std::uint16_t destinationPort) const
{
    std::lock_guard lock(m_sessionMutex);
    const auto it = m_byClient.find(ClientKey{address, port, destinationAddress, destinationPort});
    return it == m_byClient.end() ? nullptr : it->second;
}

std::shared_ptr<TcpNatSession> TcpNatListener::findSessionByNatPort(std::uint16_t natPort) const
{
    std::lock_guard lock(m_sessionMutex);
    const auto it = m_byNatPort.find(natPort);
    return it == m_byNatPort.end() ? nullptr : it->second;
}

std::size_t TcpNatListener::sessionCount() const
{
    std::lock_guard lock(m_sessionMutex);
    return m_byClient.size();
}

void TcpNatListener::closeListenSocket()
{
    if (m_listenSocket < 0)
        return;
    if (m_port)
        m_port->closeSocket(m_listenSocket);
    else
        ::close(m_listenSocket);
    m_listenSocket = -1;
}

void TcpNatListener::stopListener()
{
    m_active.store(false, std::memory_order_release);
    closeListenSocket();
    {
        std::lock_guard lock(m_sessionMutex);
        m_byNatPort.clear();
        m_byClient.clear();
        m_unaccepted.clear();
        m_busyPorts.fill(0);
    }
    std::lock_guard lock(m_callbackMutex);
    m_callback = nullptr;
}
