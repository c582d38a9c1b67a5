#include "relay/UdpNat.h"

#include "base/SocketHelpers.h"
#include "packet/DnsNameCache.h"
#include "base/LogLimiter.h"
#include "packet/PacketCodec.h"

#include <QDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::uint8_t kGreeting[3] = {0x05, 0x01, 0x00};
constexpr std::uint8_t kAssociateRequest[10] = {0x05, 0x03, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
constexpr std::uint16_t kDnsPort = 53;

LogLimiter g_openingFullLog(5, 1000);
LogLimiter g_queueFullLog(5, 1000);
LogLimiter g_strangerLog(5, 1000);

std::int64_t monotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Length of the SOCKS5 UDP header of a relay datagram; 0 when it cannot be
// stripped: too short, an unknown address type, or a fragment (FRAG != 0;
// fragments are never reassembled, so a piece must not pass for a datagram).
std::size_t headerLength(const std::uint8_t *datagram, std::size_t length)
{
    if (length < UdpNat::kHeaderLen || datagram[2] != 0)
        return 0;
    switch (datagram[3]) {
    case 1:
        return 10;
    case 4:
        return length >= 22 ? 22 : 0;
    case 3: {
        const std::size_t total = 7 + std::size_t(datagram[4]);
        return length >= total ? total : 0;
    }
    default:
        return 0;
    }
}
} // namespace

UdpNat::~UdpNat()
{
    shutdown();
    releaseRecords();
}

bool UdpNat::initialise(std::uint32_t tunnelAddress, const std::string &proxyAddress, std::uint16_t proxyPort,
                        std::uint16_t directPort, CompletionPort *port, PacketOutput output, DnsNameCache *names,
                        std::uint32_t dnsServer)
{
    m_dnsServer = dnsServer;
    m_tunnelAddress = tunnelAddress;
    m_proxyAddress = proxyAddress;
    m_proxyPort = proxyPort;
    m_directPort = directPort;
    m_port = port;
    m_output = std::move(output);
    m_names = names;
    if (!m_port || !m_output)
        return false;
    m_running.store(true);
    for (int i = 0; i < kHandshakeThreads; ++i)
        m_handshakeThreads.emplace_back([this] { handshakeThread(); });
    qDebug().noquote() << "[UDP-NAT] Initialized with proxy" << QString::fromStdString(proxyAddress) << ":" << proxyPort
                       << "(proxy) /" << directPort << "(direct)";
    return true;
}

bool UdpNat::forward(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t addressedDestination,
                     std::uint16_t addressedPort, std::uint32_t realDestination, std::uint16_t realPort,
                     const std::uint8_t *payload, std::size_t length)
{
    if (!m_running.load())
        return false;
    const std::size_t payloadLength = length % 65536;
    std::vector<std::uint8_t> datagram(kHeaderLen + payloadLength);
    const std::uint8_t header[kHeaderLen] = {0, 0, 0, 1,
                                             std::uint8_t(realDestination >> 24), std::uint8_t(realDestination >> 16),
                                             std::uint8_t(realDestination >> 8), std::uint8_t(realDestination),
                                             std::uint8_t(realPort >> 8), std::uint8_t(realPort)};
    std::memcpy(datagram.data(), header, kHeaderLen);
    if (payloadLength)
        std::memcpy(datagram.data() + kHeaderLen, payload, payloadLength);

    const UdpNatKey key{sourceAddress, sourcePort, addressedDestination, addressedPort};
    std::shared_ptr<UdpNatSession> session;
    std::shared_ptr<UdpNatSession> replaced;
    {
        std::lock_guard lock(m_lock);
        const auto it = m_sessions.find(key);
        if (it != m_sessions.end() && it->second->alive.load()) {
            session = it->second;
        } else {
            // Lock order m_lock -> m_queueMutex; the handshake threads never take m_lock under it.
            std::lock_guard queueLock(m_queueMutex);
            if (m_opening.size() >= kMaxOpeningSessions) // sessions evicted while waiting hold no place
                std::erase_if(m_opening, [](const std::shared_ptr<UdpNatSession> &waiting) {
                    return !waiting->alive.load();
                });
            if (m_opening.size() >= kMaxOpeningSessions) {
                if (g_openingFullLog.admit())
                    qWarning().noquote() << "[UDP-NAT] Dropping a datagram for"
                                         << QString::fromStdString(ipv4ToString(realDestination)) << ":" << realPort
                                         << "-" << kMaxOpeningSessions << "UDP associations wait to be opened";
                return true;
            }
            if (it != m_sessions.end())
                replaced = it->second; // a dead session under the same key
            else if (m_sessions.size() >= kMaxSessions)
                replaced = takeLeastRecentLocked();
            session = std::make_shared<UdpNatSession>();
            session->key = key;
            session->realAddress = realDestination;
            session->realPort = realPort;
            session->socksPort = realPort == kDnsPort ? m_directPort : m_proxyPort;
            session->lastActivity.store(monotonicNanoseconds());
            m_sessions[key] = session;
            m_opening.push_back(session);
            m_queueCondition.notify_one();
        }
    }
    if (replaced)
        closeSession(replaced);

    ssize_t sent = 0;
    {
        std::lock_guard guard(session->mutex);
        if (!session->ready) {
            // The association is being opened off this thread; the datagram waits for it.
            if (session->pending.size() < kMaxQueuedDatagrams)
                session->pending.push_back(std::move(datagram));
            else if (g_queueFullLog.admit())
                qWarning() << "[UDP-NAT] Dropping a datagram:" << kMaxQueuedDatagrams
                           << "wait for the association already";
        } else {
            sent = session->udpSocket < 0
                       ? -1
                       : ::sendto(session->udpSocket, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&session->relay), sizeof session->relay);
        }
    }
    if (sent < 0) {
        qWarning() << "[UDP-NAT] Failed to send to relay:" << errno;
        return false;
    }
    session->lastActivity.store(monotonicNanoseconds());
    return true;
}

void UdpNat::handshakeThread()
{
    for (;;) {
        std::shared_ptr<UdpNatSession> session;
        {
            std::unique_lock lock(m_queueMutex);
            m_queueCondition.wait(lock, [this] { return !m_running.load() || !m_opening.empty(); });
            if (!m_running.load())
                return;
            session = std::move(m_opening.front());
            m_opening.pop_front();
        }
        openSession(session);
    }
}

// Opens the association of a new session (a handshake thread), then sends the
// datagrams that arrived meanwhile.
void UdpNat::openSession(const std::shared_ptr<UdpNatSession> &session)
{
    // Evicted, swept or reset while it waited: no handshake for it.
    if (!session->alive.load() || !m_running.load())
        return;
    Association association;
    const bool opened = handshake(session->socksPort, association);
    bool kept = false;
    int associateError = 0;
    {
        // Publishing, associating and sending under the session's mutex: a
        // concurrent closeSession either finds the session dead before the
        // sockets are published (they are closed below) or closes them after
        // they are associated, never in between (the descriptor number could
        // be reused by then).
        std::lock_guard guard(session->mutex);
        if (opened && session->alive.load() && m_running.load()) {
            session->controlSocket = association.controlSocket;
            session->udpSocket = association.udpSocket;
            session->relay = association.relay;
            kept = true;
            associateError = m_port->associate(association.controlSocket, kCompletionKey);
            if (associateError == 0)
                associateError = m_port->associate(association.udpSocket, kCompletionKey);
            if (associateError == 0) {
                session->ready = true;
                for (const std::vector<std::uint8_t> &datagram : session->pending)
                    ::sendto(session->udpSocket, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr *>(&session->relay), sizeof session->relay);
                session->pending.clear();
            }
        }
    }
    if (!kept) {
        if (association.controlSocket >= 0)
            ::close(association.controlSocket);
        if (association.udpSocket >= 0)
            ::close(association.udpSocket);
        if (!opened)
            qWarning().noquote() << "[UDP-NAT] Failed to create SOCKS5 UDP session for"
                                 << QString::fromStdString(ipv4ToString(session->realAddress)) << ":"
                                 << session->realPort;
        removeSession(session);
        return;
    }
    if (associateError != 0) {
        qWarning() << "[UDP-NAT] Failed to associate socket with IOCP:" << associateError;
        removeSession(session); // closes the published sockets through the port
        return;
    }
    if (!postReceive(session) || !postControlWatch(session))
        removeSession(session);
}

// The blocking SOCKS5 greeting and UDP ASSOCIATE, bounded by kHandshakeTimeoutMs.
bool UdpNat::handshake(std::uint16_t socksPort, Association &out)
{
    const sockaddr_in proxy = SocketHelpers::ipv4SocketAddress(m_proxyAddress, socksPort);
    if (proxy.sin_family != AF_INET)
        return false;
    out.controlSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (out.controlSocket < 0) {
        qWarning() << "[UDP-NAT] Failed to connect to SOCKS5 proxy:" << errno;
        return false;
    }
    SocketHelpers::setTimeouts(out.controlSocket, kHandshakeTimeoutMs);
    int rc;
    do {
        rc = ::connect(out.controlSocket, reinterpret_cast<const sockaddr *>(&proxy), sizeof proxy);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        qWarning() << "[UDP-NAT] Failed to connect to SOCKS5 proxy:" << errno;
        return false;
    }
    std::uint8_t answer[10] = {};
    if (!SocketHelpers::sendAll(out.controlSocket, kGreeting, sizeof kGreeting) ||
        SocketHelpers::receiveExact(out.controlSocket, answer, 2) != 2)
        return false;
    if (answer[0] != 0x05 || answer[1] != 0x00) {
        qWarning() << "[UDP-NAT] SOCKS5 auth failed:" << answer[0] << answer[1];
        return false;
    }
    if (!SocketHelpers::sendAll(out.controlSocket, kAssociateRequest, sizeof kAssociateRequest))
        return false;
    const std::size_t got = SocketHelpers::receiveExact(out.controlSocket, answer, sizeof answer);
    if (got < sizeof answer) {
        qWarning() << "[UDP-NAT] Invalid UDP ASSOCIATE response, got" << got << "bytes";
        return false;
    }
    if (answer[0] != 0x05 || answer[1] != 0x00) {
        qWarning() << "[UDP-NAT] UDP ASSOCIATE failed:" << answer[1];
        return false;
    }
    if (answer[3] != 0x01) {
        qWarning() << "[UDP-NAT] Unexpected ATYP in response:" << answer[3];
        return false;
    }
    out.relay = sockaddr_in{};
    out.relay.sin_family = AF_INET;
    std::memcpy(&out.relay.sin_addr.s_addr, answer + 4, 4);
    std::memcpy(&out.relay.sin_port, answer + 8, 2);
    if (out.relay.sin_addr.s_addr == 0)
        out.relay.sin_addr = proxy.sin_addr;
    SocketHelpers::setTimeouts(out.controlSocket, 0);

    out.udpSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (out.udpSocket < 0)
        return false;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (::bind(out.udpSocket, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        qWarning() << "[UDP-NAT] Failed to bind UDP socket:" << errno;
        return false;
    }
    return true;
}

bool UdpNat::postReceive(const std::shared_ptr<UdpNatSession> &session)
{
    std::lock_guard guard(session->mutex);
    if (!m_running.load() || !session->alive.load() || session->udpSocket < 0)
        return true;
    if (session->receivePending.exchange(true))
        return true;
    {
        std::lock_guard lock(m_lock);
        m_liveSlots[&session->receiveSlot] = session;
    }
    session->sender = sockaddr_in{};
    const int error = m_port->postReceiveFrom(session->udpSocket, session->receiveSlot, session->buffer.get(),
                                              UdpNatSession::kBufferSize,
                                              reinterpret_cast<sockaddr *>(&session->sender), sizeof session->sender);
    if (error != 0) {
        qWarning() << "[UDP-NAT] recvfrom failed:" << error;
        session->receivePending.store(false);
        std::lock_guard lock(m_lock);
        m_liveSlots.erase(&session->receiveSlot);
        return false;
    }
    return true;
}

bool UdpNat::postControlWatch(const std::shared_ptr<UdpNatSession> &session)
{
    std::lock_guard guard(session->mutex);
    if (!session->alive.load() || session->controlSocket < 0)
        return true;
    {
        std::lock_guard lock(m_lock);
        m_liveSlots[&session->controlSlot] = session;
    }
    if (const int error = m_port->postReceive(session->controlSocket, session->controlSlot, &session->controlByte, 1);
        error != 0) {
        qWarning() << "[UDP-NAT] Failed to watch the UDP control connection:" << error;
        std::lock_guard lock(m_lock);
        m_liveSlots.erase(&session->controlSlot);
        return false;
    }
    return true;
}

bool UdpNat::onReceiveCompleted(const CompletionPort::Completion &completion)
{
    std::shared_ptr<UdpNatSession> session;
    {
        std::lock_guard lock(m_lock);
        const auto it = m_liveSlots.find(completion.slot);
        if (it == m_liveSlots.end())
            return false;
        session = std::move(it->second);
        m_liveSlots.erase(it);
    }
    if (!m_running.load())
        return true;
    if (completion.slot == &session->controlSlot) {
        // The proxy ended the association (or sent what it must not): the
        // session is over, and the next datagram of this flow opens a new one.
        if (session->alive.load()) {
            qDebug() << "[UDP-NAT] Proxy closed the UDP control connection for port" << session->key.sourcePort;
            removeSession(session);
        }
        return true;
    }
    session->receivePending.store(false);
    if (!completion.success) {
        removeSession(session);
        return true;
    }
    if (completion.bytes > 0) {
        // Only the association's relay answers; a datagram from anyone else who
        // found the socket's port would be injected into the application's flow.
        if (session->sender.sin_family == AF_INET && session->sender.sin_addr.s_addr == session->relay.sin_addr.s_addr &&
            session->sender.sin_port == session->relay.sin_port)
            deliverAnswer(*session, completion.bytes);
        else if (g_strangerLog.admit())
            qWarning().noquote() << "[UDP-NAT] Dropping a datagram from"
                                 << QString::fromStdString(ipv4ToString(ntohl(session->sender.sin_addr.s_addr))) << ":"
                                 << ntohs(session->sender.sin_port) << "- not the relay of the association";
    }
    if (!postReceive(session))
        removeSession(session);
    return true;
}

void UdpNat::deliverAnswer(UdpNatSession &session, std::uint32_t bytes)
{
    const std::uint8_t *datagram = session.buffer.get();
    const std::size_t header = headerLength(datagram, bytes);
    if (header == 0) {
        qWarning() << "[UDP-NAT] Failed to parse SOCKS5 UDP header";
        return;
    }
    const std::uint8_t *payload = datagram + header;
    const std::size_t length = bytes - header;
    if (length == 0)
        return;
    const std::uint16_t sourcePort = std::uint16_t((datagram[header - 2] << 8) | datagram[header - 1]);
    if (m_names && sourcePort == kDnsPort && length >= DnsNameCache::kMinAnswerLength && isTunnelDns(session))
        m_names->addAnswers(payload, length);
    const std::vector<std::uint8_t> packet =
        buildUdpPacket(session.key.destinationAddress, session.key.destinationPort, session.key.sourceAddress,
                       session.key.sourcePort, payload, length);
    m_output(packet.data(), packet.size());
    session.lastActivity.store(monotonicNanoseconds());
}

// Only the tunnel's own DNS names addresses: an answer that any program asked
// any server for would let that server (or the program) put names on addresses
// that CONNECT requests then carry.
bool UdpNat::isTunnelDns(const UdpNatSession &session) const
{
    if (session.realPort != kDnsPort)
        return false;
    if (session.key.destinationAddress == m_tunnelAddress + 1 && session.key.destinationPort == kDnsPort)
        return true;
    return m_dnsServer != 0 && session.realAddress == m_dnsServer;
}

std::size_t UdpNat::sweepIdle(std::int64_t nowNs)
{
    std::vector<std::shared_ptr<UdpNatSession>> idle;
    {
        std::lock_guard lock(m_lock);
        for (const auto &entry : m_sessions)
            if (nowNs - entry.second->lastActivity.load() > kIdleTimeoutNs)
                idle.push_back(entry.second);
    }
    for (const auto &session : idle)
        removeSession(session);
    return idle.size();
}

std::shared_ptr<UdpNatSession> UdpNat::takeLeastRecentLocked()
{
    auto oldest = m_sessions.end();
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it)
        if (oldest == m_sessions.end() || it->second->lastActivity.load() < oldest->second->lastActivity.load())
            oldest = it;
    if (oldest == m_sessions.end())
        return nullptr;
    std::shared_ptr<UdpNatSession> session = oldest->second;
    m_sessions.erase(oldest);
    return session;
}

void UdpNat::removeSession(const std::shared_ptr<UdpNatSession> &session)
{
    {
        std::lock_guard lock(m_lock);
        const auto it = m_sessions.find(session->key);
        if (it != m_sessions.end() && it->second == session)
            m_sessions.erase(it);
    }
    closeSession(session);
}

void UdpNat::closeSession(const std::shared_ptr<UdpNatSession> &session)
{
    std::lock_guard guard(session->mutex);
    session->alive.store(false);
    // Pending receives complete with a failure and find the session dead.
    if (session->controlSocket >= 0)
        m_port->closeSocket(session->controlSocket);
    if (session->udpSocket >= 0)
        m_port->closeSocket(session->udpSocket);
    session->controlSocket = -1;
    session->udpSocket = -1;
    session->pending.clear();
}

void UdpNat::shutdown()
{
    if (!m_running.exchange(false))
        return;
    m_queueCondition.notify_all();
    for (std::thread &thread : m_handshakeThreads)
        thread.join();
    m_handshakeThreads.clear();
    {
        std::lock_guard lock(m_queueMutex);
        m_opening.clear();
    }
    std::map<UdpNatKey, std::shared_ptr<UdpNatSession>> sessions;
    {
        std::lock_guard lock(m_lock);
        sessions.swap(m_sessions);
    }
    for (const auto &entry : sessions)
        closeSession(entry.second);
    qDebug() << "[UDP-NAT] Shutdown complete";
}

void UdpNat::releaseRecords()
{
    std::lock_guard lock(m_lock);
    m_liveSlots.clear();
}

std::size_t UdpNat::sessionCount() const
{
    std::lock_guard lock(m_lock);
    return m_sessions.size();
}

std::size_t UdpNat::closeAll()
{
    std::map<UdpNatKey, std::shared_ptr<UdpNatSession>> sessions;
    {
        std::lock_guard lock(m_lock);
        sessions.swap(m_sessions);
    }
    for (const auto &entry : sessions)
        closeSession(entry.second);
    return sessions.size();
}
