#include "tun/TcpNatRelay.h"

#include "net/ConnectionOwnerLookup.h"
#include "base/SocketHelpers.h"
#include "relay/SocksClient.h"
#include "packet/DnsNameCache.h"
#include "base/LogLimiter.h"
#include "packet/PacketCodec.h"
#include "packet/RoutingPolicy.h"

#include <QDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The first IPv4 address of an interface, host order; 0 when it has none.
std::uint32_t interfaceIpv4Address(std::uint32_t index)
{
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(index, name))
        return 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        qWarning() << "[TCP-NAT] getifaddrs failed:" << errno;
        return 0;
    }
    std::uint32_t address = 0;
    for (ifaddrs *it = list; it && address == 0; it = it->ifa_next) {
        if (it->ifa_addr && it->ifa_addr->sa_family == AF_INET && std::strcmp(it->ifa_name, name) == 0)
            address = ntohl(reinterpret_cast<const sockaddr_in *>(it->ifa_addr)->sin_addr.s_addr);
    }
    freeifaddrs(list);
    return address;
}

LogLimiter g_relayLog(20);

bool isQuietError(int error)
{
    return error == ECONNABORTED || error == ECONNRESET || error == EPIPE || error == ECANCELED;
}
} // namespace

TcpNatRelay::TcpNatRelay(CompletionPort &port, Settings settings)
    : m_port(port), m_settings(std::move(settings))
{
}

TcpNatRelay::~TcpNatRelay()
{
    stop();
}

void TcpNatRelay::start()
{
    if (m_running.exchange(true))
        return;
    for (int i = 0; i < kSetUpThreads; ++i)
        m_connectThreads.emplace_back([this] { connectThread(false); });
    for (int i = 0; i < kProxyConnectThreads; ++i)
        m_connectThreads.emplace_back([this] { connectThread(true); });
}

void TcpNatRelay::stop()
{
    m_running.store(false);
    {
        // Connects and handshakes in progress fail at once instead of running
        // into their time-outs. The sockets leave this set before they close, so
        // a number here is never another connection's.
        std::lock_guard lock(m_connectSocketMutex);
        for (int socket : m_connectSockets)
            ::shutdown(socket, SHUT_RDWR);
    }
    m_setUpCondition.notify_all();
    m_proxyCondition.notify_all();
    for (std::thread &thread : m_connectThreads)
        thread.join();
    m_connectThreads.clear();
    {
        std::lock_guard lock(m_queueMutex);
        for (auto *queue : {&m_setUpQueue, &m_proxyQueue}) {
            for (const PendingConnect &pending : *queue) {
                ::close(pending.socket);
                natSessionEnded(pending.session);
            }
            queue->clear();
        }
    }
    std::vector<std::uint64_t> ids;
    {
        std::lock_guard lock(m_tableMutex);
        if (!m_sessions.empty())
            qDebug() << "[TCP-NAT] Closing" << m_sessions.size() << "relay sessions";
        for (const auto &entry : m_sessions)
            ids.push_back(entry.first);
    }
    for (std::uint64_t id : ids)
        closeRelay(id);
}

void TcpNatRelay::releaseRecords()
{
    std::lock_guard lock(m_tableMutex);
    m_liveSlots.clear();
}

std::size_t TcpNatRelay::sessionCount() const
{
    std::lock_guard lock(m_tableMutex);
    return m_sessions.size();
}

std::size_t TcpNatRelay::queuedConnects() const
{
    std::lock_guard lock(m_queueMutex);
    return m_setUpQueue.size() + m_proxyQueue.size();
}

TcpNatRelay::ConnectionCounts TcpNatRelay::connectionCounts() const
{
    ConnectionCounts counts;
    counts.queued = queuedConnects();
    counts.connecting = m_directConnecting.load();
    counts.handshaking = m_proxyHandshaking.load();
    counts.relaying = sessionCount();
    return counts;
}

// The stages of the NAT path under the state names of the line: waiting and
// direct connects count as CONNECTING, relays as ESTABLISHED. The blocking
// SOCKS5 handshake does not tell its step, so every handshake in progress
// counts under H_GREETING.
bool TcpNatRelay::logDiagnostics() const
{
    const ConnectionCounts counts = connectionCounts();
    const std::size_t total = counts.queued + counts.connecting + counts.handshaking + counts.relaying;
    if (total == 0)
        return false;
    qDebug() << "[TCP-DIAG] Total connections:" << total << "CONNECTING:" << counts.queued + counts.connecting
             << "H_GREETING:" << counts.handshaking << "H_AUTH:" << 0 << "H_REQUEST:" << 0 << "H_RESPONSE:" << 0
             << "ESTABLISHED:" << counts.relaying;
    return true;
}

void TcpNatRelay::natSessionEnded(const TcpNatSession &session)
{
    if (m_sessionEnded)
        m_sessionEnded(session);
}

void TcpNatRelay::trackConnectSocket(int socket, bool opened)
{
    std::lock_guard lock(m_connectSocketMutex);
    if (!opened) {
        m_connectSockets.erase(socket);
        return;
    }
    m_connectSockets.insert(socket);
    if (!m_running.load())
        ::shutdown(socket, SHUT_RDWR); // stop has already passed the set
}

bool TcpNatRelay::queueConnect(std::deque<PendingConnect> &queue, std::condition_variable &condition,
                               PendingConnect &&pending)
{
    {
        std::lock_guard lock(m_queueMutex);
        if (queue.size() < kMaxQueuedConnects) {
            queue.push_back(std::move(pending));
            condition.notify_one();
            return true;
        }
    }
    qWarning() << "[TCP-NAT] Too many connections being opened, refusing port" << pending.session.clientPort;
    ::close(pending.socket);
    natSessionEnded(pending.session);
    return false;
}

void TcpNatRelay::setUpRelay(int socket, const TcpNatSession &session)
{
    if (!m_running.load()) {
        ::close(socket);
        natSessionEnded(session);
        return;
    }
    PendingConnect pending;
    pending.socket = socket;
    pending.session = session;
    queueConnect(m_setUpQueue, m_setUpCondition, std::move(pending));
}

void TcpNatRelay::connectThread(bool proxied)
{
    std::deque<PendingConnect> &queue = proxied ? m_proxyQueue : m_setUpQueue;
    std::condition_variable &condition = proxied ? m_proxyCondition : m_setUpCondition;
    for (;;) {
        PendingConnect pending;
        {
            std::unique_lock lock(m_queueMutex);
            condition.wait(lock, [&] { return !m_running.load() || !queue.empty(); });
            if (!m_running.load())
                return;
            pending = std::move(queue.front());
            queue.pop_front();
        }
        if (!proxied) {
            routeConnect(std::move(pending));
            continue;
        }
        m_proxyHandshaking.fetch_add(1);
        const int destination = connectThroughProxy(pending.session, pending.socksPort);
        m_proxyHandshaking.fetch_sub(1);
        finishRelay(pending, destination, false);
    }
}

void TcpNatRelay::routeConnect(PendingConnect pending)
{
    const TcpNatSession &nat = pending.session;
    const RoutingPolicy &policy = *m_settings.policy;
    pending.started = std::chrono::steady_clock::now();
    const std::uint32_t ownerPid =
        m_settings.owners
            ? m_settings.owners->tcpOwnerPid(nat.clientPort, nat.destinationAddress, nat.destinationPort, nat.clientAddress)
            : 0;
    // A connection of this daemon's own that came back through the tunnel (a direct
    // socket without a pre-TUN interface to leave by) would be relayed in a loop.
    if (ownerPid == std::uint32_t(getpid())) {
        qWarning() << "[TCP-NAT] Refusing a connection of the daemon itself that came back through the tunnel to"
                   << ipv4ToString(nat.destinationAddress).c_str() << ":" << nat.destinationPort;
        ::close(pending.socket);
        natSessionEnded(nat);
        return;
    }
    pending.ownerPath = ownerPid == 0 ? std::string() : ConnectionOwnerLookup::processImagePath(ownerPid);
    pending.looked = std::chrono::steady_clock::now();
    const std::uint16_t socksPort = policy.choosePort(pending.ownerPath, nat.destinationAddress, nat.destinationPort);
    if (socksPort != policy.directPort()) {
        pending.socksPort = socksPort;
        queueConnect(m_proxyQueue, m_proxyCondition, std::move(pending));
        return;
    }
    m_directConnecting.fetch_add(1);
    const int destination = connectDirect(nat);
    m_directConnecting.fetch_sub(1);
    finishRelay(pending, destination, true);
}

void TcpNatRelay::finishRelay(const PendingConnect &pending, int destination, bool direct)
{
    const TcpNatSession &nat = pending.session;
    const auto connected = std::chrono::steady_clock::now();
    if (destination < 0 || !m_running.load()) {
        if (destination >= 0)
            ::close(destination);
        ::close(pending.socket);
        natSessionEnded(nat);
        return;
    }

    // Both sockets are associated before the session is in the table: once it is
    // there, closeProxiedRelays may close them, and an association after that
    // would take whatever socket has reused the number.
    if (const int error = m_port.associate(pending.socket, kCompletionKey); error != 0) {
        qWarning() << "[TCP-NAT-IOCP] Failed to associate client socket with IOCP:" << error;
        m_port.closeSocket(pending.socket);
        m_port.closeSocket(destination);
        natSessionEnded(nat);
        return;
    }
    if (const int error = m_port.associate(destination, kCompletionKey); error != 0) {
        qWarning() << "[TCP-NAT-IOCP] Failed to associate dest socket with IOCP:" << error;
        m_port.closeSocket(pending.socket);
        m_port.closeSocket(destination);
        natSessionEnded(nat);
        return;
    }
    auto session = std::make_shared<RelaySession>();
    session->id = m_nextId.fetch_add(1);
    session->clientSocket = pending.socket;
    session->destinationSocket = destination;
    session->direct = direct;
    session->nat = nat;
    {
        std::lock_guard lock(m_tableMutex);
        m_sessions[session->id] = session;
    }
    if (g_relayLog.admit()) {
        using std::chrono::microseconds;
        qDebug() << "[TCP-NAT] Relay" << session->id << (direct ? "direct" : "proxied") << "for port" << nat.clientPort
                 << "to" << ipv4ToString(nat.destinationAddress).c_str() << ":" << nat.destinationPort << "owner"
                 << pending.ownerPath.c_str() << "lookup"
                 << std::chrono::duration_cast<microseconds>(pending.looked - pending.started).count()
                 << "us connect" << std::chrono::duration_cast<microseconds>(connected - pending.looked).count()
                 << "us";
    }
    postReceive(session, RelaySession::Side::Client);
    postReceive(session, RelaySession::Side::Destination);
}

int TcpNatRelay::connectDirect(const TcpNatSession &nat)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        qWarning() << "[TCP-NAT] Failed to create direct socket:" << errno;
        return -1;
    }
    trackConnectSocket(fd, true);
    SocketHelpers::setBufferSizes(fd);
    const std::uint32_t index = m_interfaceIndex.load();
    if (index != 0) {
        // A source address alone does not leave through the split routes; the
        // device binding does (with loose reverse-path filtering on it).
        char name[IF_NAMESIZE] = {};
        if (if_indextoname(index, name) &&
            setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, socklen_t(std::strlen(name))) != 0)
            qWarning() << "[TCP-NAT] Failed to bind to physical interface" << name << "- Error:" << errno;
        const std::uint32_t address = interfaceIpv4Address(index);
        if (address != 0) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(address);
            if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
                qWarning() << "[TCP-NAT] Failed to bind to physical interface IP" << ipv4ToString(address).c_str()
                           << "- Error:" << errno;
        } else {
            qWarning() << "[TCP-NAT] Could not get IP for physical interface" << index;
        }
    }
    // Bounded, so a destination that never answers frees its connect thread.
    SocketHelpers::setTimeouts(fd, kDirectConnectTimeoutMs);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = htonl(nat.destinationAddress);
    remote.sin_port = htons(nat.destinationPort);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&remote), sizeof remote);
    } while (rc != 0 && errno == EINTR);
    const int error = errno;
    trackConnectSocket(fd, false);
    if (rc != 0) {
        qWarning() << "[TCP-NAT] Failed to connect directly to" << ipv4ToString(nat.destinationAddress).c_str() << ":"
                   << nat.destinationPort << "- Error:" << error;
        ::close(fd);
        return -1;
    }
    SocketHelpers::setTimeouts(fd, 0);
    return fd;
}

int TcpNatRelay::connectThroughProxy(const TcpNatSession &nat, std::uint16_t socksPort)
{
    const std::string name = m_settings.names ? m_settings.names->lookupIpv4(nat.destinationAddress) : std::string();
    SocksClient client(m_settings.proxyAddress, socksPort);
    client.setSocketObserver([this](int socket, bool opened) { trackConnectSocket(socket, opened); });
    bool connected = false;
    if (!name.empty()) {
        connected = client.connectViaDomain(name, nat.destinationPort);
        // Only a proxy that refused the name is asked again by address; one that
        // could not be reached or did not answer would fail the same way again.
        if (!connected && !client.wasRejected()) {
            qWarning() << "[TCP-NAT] Failed to connect to SOCKS5 proxy";
            return -1;
        }
    }
    if (!connected && m_running.load())
        connected = client.connectViaIpv4(nat.destinationAddress, nat.destinationPort);
    if (!connected) {
        qWarning() << "[TCP-NAT] Failed to connect to SOCKS5 proxy";
        return -1;
    }
    // The client closes its own descriptor; the relay keeps a duplicate that only
    // the completion port closes.
    const int fd = fcntl(client.socket(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        qWarning() << "[TCP-NAT] Failed to connect to SOCKS5 proxy" << errno;
    else
        SocketHelpers::setTimeouts(fd, 0);
    return fd;
}

bool TcpNatRelay::onCompletion(const CompletionPort::Completion &completion)
{
    std::shared_ptr<RelaySession> session;
    {
        std::lock_guard lock(m_tableMutex);
        const auto it = m_liveSlots.find(completion.slot);
        if (it == m_liveSlots.end())
            return false;
        session = std::move(it->second);
        m_liveSlots.erase(it);
    }
    const CompletionSlot *slot = completion.slot;
    const bool clientSide = slot == &session->fromClient.receiveSlot || slot == &session->fromClient.sendSlot;
    const bool receive = slot == &session->fromClient.receiveSlot || slot == &session->fromDestination.receiveSlot;
    onRelayComplete(session, clientSide ? RelaySession::Side::Client : RelaySession::Side::Destination, receive,
                    completion.bytes, completion.success);
    return true;
}

void TcpNatRelay::onRelayComplete(const std::shared_ptr<RelaySession> &session, RelaySession::Side side,
                                  bool receive, std::uint32_t bytes, bool success)
{
    if (session->closing.load())
        return;
    RelaySession::Direction &direction = session->direction(side);
    if (!receive) {
        // The other side has taken every byte: read the next block.
        if (!success) {
            closeRelay(session->id);
            return;
        }
        postReceive(session, side);
        return;
    }
    direction.receivePending.store(false);
    if (!success) {
        closeRelay(session->id);
        return;
    }
    if (bytes == 0) {
        endSide(session, side);
        return;
    }
    {
        std::lock_guard lock(m_tableMutex);
        if (!m_sessions.count(session->id))
            return;
    }
    (side == RelaySession::Side::Client ? session->bytesClientToDestination : session->bytesDestinationToClient)
        .fetch_add(bytes);
    if (postSend(session, side, bytes) != 0)
        closeRelay(session->id);
}

// One side closed its sending half: pass the half-close on, so protocols that
// send their last request and then wait for the answer keep working; the relay
// ends when both halves are closed.
void TcpNatRelay::endSide(const std::shared_ptr<RelaySession> &session, RelaySession::Side side)
{
    bool bothEnded = false;
    {
        std::lock_guard lock(session->mutex);
        if (session->closing.load())
            return;
        session->direction(side).ended = true;
        ::shutdown(session->sendSocket(side), SHUT_WR);
        bothEnded = session->fromClient.ended && session->fromDestination.ended;
    }
    if (bothEnded)
        closeRelay(session->id);
}

int TcpNatRelay::postReceive(const std::shared_ptr<RelaySession> &session, RelaySession::Side side)
{
    RelaySession::Direction &direction = session->direction(side);
    int error = 0;
    {
        std::lock_guard lock(session->mutex);
        if (session->closing.load() || direction.ended)
            return 0;
        if (direction.receivePending.exchange(true))
            return 0;
        {
            std::lock_guard tableLock(m_tableMutex);
            m_liveSlots[&direction.receiveSlot] = session;
        }
        error = m_port.postReceive(session->receiveSocket(side), direction.receiveSlot, direction.buffer.get(),
                                   RelaySession::kBufferSize);
        if (error != 0) {
            std::lock_guard tableLock(m_tableMutex);
            m_liveSlots.erase(&direction.receiveSlot);
        }
    }
    if (error != 0) {
        direction.receivePending.store(false);
        if (!isQuietError(error))
            qWarning() << (side == RelaySession::Side::Client ? "[TCP-NAT-IOCP] recv (client) failed:"
                                                              : "[TCP-NAT-IOCP] recv (dest) failed:")
                       << error;
        closeRelay(session->id);
    }
    return error;
}

int TcpNatRelay::postSend(const std::shared_ptr<RelaySession> &session, RelaySession::Side side, std::uint32_t length)
{
    RelaySession::Direction &direction = session->direction(side);
    std::lock_guard lock(session->mutex);
    if (session->closing.load())
        return ECANCELED;
    {
        std::lock_guard tableLock(m_tableMutex);
        m_liveSlots[&direction.sendSlot] = session;
    }
    const int error = m_port.postSend(session->sendSocket(side), direction.sendSlot, direction.buffer.get(), length);
    if (error != 0) {
        std::lock_guard tableLock(m_tableMutex);
        m_liveSlots.erase(&direction.sendSlot);
    }
    return error;
}

void TcpNatRelay::closeRelay(std::uint64_t id)
{
    std::shared_ptr<RelaySession> session;
    {
        std::lock_guard lock(m_tableMutex);
        const auto it = m_sessions.find(id);
        if (it == m_sessions.end())
            return;
        session = std::move(it->second);
        m_sessions.erase(it);
    }
    {
        std::lock_guard lock(session->mutex);
        session->closing.store(true);
        // Pending operations complete with a failure and are dropped for the closing mark.
        m_port.closeSocket(session->clientSocket);
        m_port.closeSocket(session->destinationSocket);
    }
    natSessionEnded(session->nat);
}

std::size_t TcpNatRelay::closeProxiedRelays()
{
    std::vector<std::uint64_t> ids;
    {
        std::lock_guard lock(m_tableMutex);
        for (const auto &entry : m_sessions)
            if (!entry.second->direct)
                ids.push_back(entry.first);
    }
    for (std::uint64_t id : ids)
        closeRelay(id);
    return ids.size();
}
