#include "tun/TcpNatRelay.h"

#include "base/LogLimiter.h"
#include "net/ConnectionOwnerLookup.h"
#include "net/OwnSocketMark.h"
#include "packet/DnsNameCache.h"
#include "packet/RoutingPolicy.h"

#include <QDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

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
LogLimiter g_connectFailedLog(10, 1000);
LogLimiter g_directFailedLog(10, 1000);
LogLimiter g_markLog(5);
LogLimiter g_ownLoopLog(10, 1000);
LogLimiter g_bindLog(5, 1000);
LogLimiter g_setupLog(10, 1000);
LogLimiter g_receiveLog(10, 1000);

bool isQuietError(int error)
{
    return error == ECONNABORTED || error == ECONNRESET || error == EPIPE || error == ECANCELED;
}
} // namespace

TcpNatRelay::TcpNatRelay(CompletionPort &port, Settings settings) : m_port(port), m_settings(std::move(settings))
{
    if (!m_settings.counters)
        m_settings.counters = &m_ownCounters;
}

TcpNatRelay::~TcpNatRelay()
{
    stop();
}

void TcpNatRelay::attach(CompletionDispatcher &dispatcher)
{
    dispatcher.setHandler(kCompletionKey, [this](const CompletionPort::Completion &c) { return onCompletion(c); });
    dispatcher.addIdleSweep([this] { sweepOpenedAhead(monotonicNanoseconds()); });
}

void TcpNatRelay::start()
{
    m_running.store(true);
}

void TcpNatRelay::stop()
{
    m_running.store(false);
    // Connections still being opened end now; their handlers close the
    // application's sockets and free the NAT ports.
    std::vector<PendingPtr> pending;
    std::vector<PendingPtr> ahead;
    {
        std::lock_guard lock(m_pendingMutex);
        for (const auto &entry : m_pending)
            pending.push_back(entry.second);
        for (const auto &entry : m_ahead)
            ahead.push_back(entry.second);
        m_ahead.clear();
    }
    for (const PendingPtr &connect : ahead)
        discard(connect);
    for (const PendingPtr &connect : pending)
        if (m_settings.socks)
            m_settings.socks->cancel(connect->handshake.load());
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

std::size_t TcpNatRelay::sessionCount() const
{
    std::lock_guard lock(m_tableMutex);
    return m_sessions.size();
}

std::size_t TcpNatRelay::openingCount() const
{
    std::lock_guard lock(m_pendingMutex);
    return m_pending.size();
}

// The connections of the NAT path by state: those being opened by the state of
// their connect or handshake (a direct connect counts as CONNECTING), relays as
// ESTABLISHED.
bool TcpNatRelay::logDiagnostics() const
{
    std::array<std::size_t, AsyncSocksClient::kStateCount> counts{};
    {
        std::lock_guard lock(m_pendingMutex);
        for (const auto &entry : m_pending) {
            const auto state = m_settings.socks ? m_settings.socks->stateOf(entry.second->handshake.load())
                                                : AsyncSocksClient::kConnecting;
            ++counts[state == AsyncSocksClient::kEstablished ? AsyncSocksClient::kConnecting : state];
        }
    }
    counts[AsyncSocksClient::kEstablished] = sessionCount();
    std::size_t total = 0;
    for (std::size_t count : counts)
        total += count;
    if (total == 0)
        return false;
    qDebug() << "[TCP-DIAG] Total connections:" << total << "CONNECTING:" << counts[AsyncSocksClient::kConnecting]
             << "H_GREETING:" << counts[AsyncSocksClient::kGreeting] << "H_AUTH:" << counts[AsyncSocksClient::kAuth]
             << "H_REQUEST:" << counts[AsyncSocksClient::kRequest] << "H_RESPONSE:" << counts[AsyncSocksClient::kResponse]
             << "ESTABLISHED:" << counts[AsyncSocksClient::kEstablished];
    return true;
}

void TcpNatRelay::natSessionEnded(const TcpNatSession &session)
{
    if (m_settings.owners)
        m_settings.owners->tcpConnectionEnded(session.clientPort, session.destinationAddress, session.destinationPort,
                                              session.clientAddress);
    if (m_sessionEnded)
        m_sessionEnded(session);
}

void TcpNatRelay::openAhead(const TcpNatSession &session)
{
    if (!m_running.load() || !m_settings.socks || !m_settings.policy)
        return;
    auto pending = std::make_shared<PendingConnect>();
    pending->session = session;
    pending->accepted = false;
    pending->aheadSince = monotonicNanoseconds();
    PendingPtr replaced;
    {
        std::lock_guard lock(m_pendingMutex);
        if (m_ahead.size() >= kMaxOpenedAhead)
            return; // the accept sets this one up
        PendingPtr &slot = m_ahead[session.natPort];
        replaced = std::move(slot); // an older session's, never taken up
        slot = pending;
    }
    if (replaced)
        discard(replaced);
    if (m_openingSlots.post(&pending->openSlot, pending, [&] {
            return m_port.postCompletion(pending->openSlot, keyValue(kCompletionKey));
        }) != 0) {
        std::lock_guard lock(m_pendingMutex);
        if (const auto it = m_ahead.find(session.natPort); it != m_ahead.end() && it->second == pending)
            m_ahead.erase(it);
    }
}

void TcpNatRelay::setUpRelay(int socket, const TcpNatSession &session)
{
    if (!m_running.load() || !m_settings.socks) {
        ::close(socket);
        natSessionEnded(session);
        return;
    }
    PendingPtr pending;
    {
        std::lock_guard lock(m_pendingMutex);
        if (const auto it = m_ahead.find(session.natPort);
            it != m_ahead.end() && it->second->session.created == session.created) {
            pending = std::move(it->second);
            m_ahead.erase(it);
        }
    }
    if (pending) {
        {
            std::lock_guard lock(pending->mutex);
            pending->socket = socket;
            pending->accepted = true;
        }
        proceedIfReady(pending); // or, still opening, its result will
        return;
    }
    pending = std::make_shared<PendingConnect>();
    pending->socket = socket;
    pending->session = session;
    begin(pending);
}

void TcpNatRelay::begin(const PendingPtr &pending)
{
    {
        std::lock_guard lock(pending->mutex);
        if (pending->discarded)
            return;
    }
    if (!m_running.load()) {
        settle(pending, -1, false);
        return;
    }
    const TcpNatSession &session = pending->session;
    if (!lookUpOwner(pending)) {
        settle(pending, -1, false);
        return;
    }
    const RoutingPolicy &policy = *m_settings.policy;
    pending->socksPort = policy.choosePort(pending->ownerPath, IpAddress::fromIpv4(session.destinationAddress),
                                           session.destinationPort);
    pending->target = Endpoint::fromIpv4(session.destinationAddress, session.destinationPort);
    // TCP DNS to the tunnel's DNS address (resolvers fall back to TCP for long
    // answers) reaches the DNS redirect address through the direct port, as UDP
    // DNS does; the answers still come from the address the application asked.
    const bool tunnelDns = pending->target == Endpoint::fromIpv4(m_settings.tunnelIp + 1, RoutingPolicy::kDnsPort);
    if (tunnelDns) {
        pending->target = Endpoint::fromIpv4(policy.dnsRedirectIp(), RoutingPolicy::kDnsPort);
        pending->socksPort = policy.directPort();
    }
    {
        std::lock_guard lock(m_pendingMutex);
        m_pending.emplace(pending.get(), pending);
    }
    pending->connectStarted = std::chrono::steady_clock::now();
    if (tunnelDns)
        startProxied(pending, std::string());
    else if (pending->socksPort == policy.directPort())
        startDirect(pending);
    else
        startProxied(pending, m_settings.names ? m_settings.names->lookupIpv4(session.destinationAddress)
                                               : std::string());
}

// Before anything is opened: a connection of this daemon's own that came back
// through the tunnel (a direct socket without a pre-TUN interface to leave
// by) would otherwise be opened again, and again, in a loop.
bool TcpNatRelay::lookUpOwner(const PendingPtr &pending)
{
    const TcpNatSession &session = pending->session;
    const auto begun = std::chrono::steady_clock::now();
    const std::uint32_t ownerPid =
        m_settings.owners ? m_settings.owners->tcpOwnerPid(session.clientPort, session.destinationAddress,
                                                           session.destinationPort, session.clientAddress)
                          : 0;
    pending->lookupTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun);
    static const pid_t self = getpid();
    if (ownerPid == std::uint32_t(self)) {
        if (g_ownLoopLog.admit())
            qWarning() << "[TCP-NAT] Refusing a connection of the daemon itself that came back through the tunnel to"
                       << ipv4ToString(session.destinationAddress).c_str() << ":" << session.destinationPort;
        return false;
    }
    pending->ownerPath = ownerPid == 0 ? std::string() : ConnectionOwnerLookup::processImagePath(ownerPid);
    pending->stats->setOwner(FlowStats::Owner{ownerPid, pending->ownerPath, std::nullopt});
    return true;
}

void TcpNatRelay::settle(const PendingPtr &pending, int destination, bool direct)
{
    bool late = false;
    {
        std::lock_guard lock(pending->mutex);
        late = pending->discarded || pending->proceeded;
        if (!late) {
            pending->connected = std::chrono::steady_clock::now();
            pending->outcome =
                destination >= 0 ? PendingConnect::Outcome::Connected : PendingConnect::Outcome::Failed;
            pending->destination = destination;
            pending->direct = direct;
        }
    }
    // Failed: no longer being opened, whether or not its accept has come.
    if (late || destination < 0)
        forgetPending(pending);
    if (late) {
        if (destination >= 0)
            m_port.closeSocket(destination);
        return;
    }
    proceedIfReady(pending);
}

void TcpNatRelay::proceedIfReady(const PendingPtr &pending)
{
    bool relay = false;
    int destination = -1;
    bool direct = false;
    {
        std::lock_guard lock(pending->mutex);
        if (pending->discarded || pending->proceeded || !pending->accepted ||
            pending->outcome == PendingConnect::Outcome::Opening)
            return;
        pending->proceeded = true;
        relay = pending->outcome == PendingConnect::Outcome::Connected;
        destination = pending->destination;
        direct = pending->direct;
    }
    if (relay)
        finishRelay(pending, destination, direct);
    else
        abandon(pending);
}

void TcpNatRelay::discard(const PendingPtr &pending)
{
    int destination = -1;
    std::uint64_t handshake = 0;
    {
        std::lock_guard lock(pending->mutex);
        if (pending->accepted || pending->discarded)
            return;
        pending->discarded = true;
        if (pending->outcome == PendingConnect::Outcome::Connected)
            destination = pending->destination;
        else if (pending->outcome == PendingConnect::Outcome::Opening)
            handshake = pending->handshake.load();
    }
    // A handshake under way ends at once (its handler may run here): its result finds the connection discarded.
    if (handshake != 0 && m_settings.socks)
        m_settings.socks->cancel(handshake);
    if (destination >= 0)
        m_port.closeSocket(destination);
    forgetPending(pending);
}

void TcpNatRelay::forgetPending(const PendingPtr &pending)
{
    std::lock_guard lock(m_pendingMutex);
    m_pending.erase(pending.get());
}

void TcpNatRelay::sweepOpenedAhead(std::int64_t now)
{
    std::vector<PendingPtr> stale;
    {
        std::lock_guard lock(m_pendingMutex);
        for (auto it = m_ahead.begin(); it != m_ahead.end();) {
            if (now - it->second->aheadSince < kOpenAheadClaimNs) {
                ++it;
                continue;
            }
            stale.push_back(std::move(it->second));
            it = m_ahead.erase(it);
        }
    }
    for (const PendingPtr &pending : stale)
        discard(pending);
}

std::size_t TcpNatRelay::openedAheadCount() const
{
    std::lock_guard lock(m_pendingMutex);
    return m_ahead.size();
}

bool TcpNatRelay::startConnect(const PendingPtr &pending, AsyncSocksClient::Request request,
                               std::function<void(AsyncSocksClient::Result &&)> onResult)
{
    request.destination = pending->target;
    request.timeoutMs = kConnectTimeoutMs;
    request.socketKey = kCompletionKey;
    const std::uint64_t id = m_settings.socks->startProxyConnect(std::move(request), std::move(onResult));
    if (id != 0)
        pending->handshake.store(id);
    return id != 0;
}

void TcpNatRelay::startDirect(const PendingPtr &pending)
{
    AsyncSocksClient::Request request;
    request.command = AsyncSocksClient::Command::None;
    request.server = pending->target;
    request.prepare = [this](int socket) { return bindToPhysicalInterface(socket); };
    if (!startConnect(pending, std::move(request),
                      [this, pending](AsyncSocksClient::Result &&result) { onDirectResult(pending, std::move(result)); }))
        settle(pending, -1, true);
}

void TcpNatRelay::startProxied(const PendingPtr &pending, const std::string &hostName)
{
    AsyncSocksClient::Request request;
    request.command = AsyncSocksClient::Command::Connect;
    request.server = Endpoint{m_settings.proxyAddress, pending->socksPort};
    request.hostName = hostName;
    const bool byName = !hostName.empty();
    if (startConnect(pending, std::move(request), [this, pending, byName](AsyncSocksClient::Result &&result) {
            onProxyResult(pending, byName, std::move(result));
        }))
        return;
    if (byName && m_running.load()) {
        startProxied(pending, std::string()); // a name that cannot be sent: by address
        return;
    }
    if (g_connectFailedLog.admit())
        qWarning() << "[TCP-NAT] Failed to connect to SOCKS5 proxy";
    settle(pending, -1, false);
}

// A source address alone does not leave through the split routes; the device
// binding does (with loose reverse-path filtering on it).
bool TcpNatRelay::bindToPhysicalInterface(int socket) const
{
    // The firewall lets the daemon's own marked sockets go anywhere, DNS included.
    if (const int error = OwnSocketMark::apply(socket); error != 0 && g_markLog.admit())
        qWarning() << "[TCP-NAT] Failed to mark direct socket:" << error;
    const std::uint32_t index = m_interfaceIndex.load();
    if (index == 0)
        return true;
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(index, name) &&
        setsockopt(socket, SOL_SOCKET, SO_BINDTODEVICE, name, socklen_t(std::strlen(name))) != 0 &&
        g_bindLog.admit())
        qWarning() << "[TCP-NAT] Failed to bind to physical interface" << name << "- Error:" << errno;
    const std::uint32_t address = interfaceIpv4Address(index);
    if (address == 0) {
        if (g_bindLog.admit())
            qWarning() << "[TCP-NAT] Could not get IP for physical interface" << index;
        return true;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    if (::bind(socket, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 && g_bindLog.admit())
        qWarning() << "[TCP-NAT] Failed to bind to physical interface IP" << ipv4ToString(address).c_str()
                   << "- Error:" << errno;
    return true;
}

void TcpNatRelay::onDirectResult(const PendingPtr &pending, AsyncSocksClient::Result &&result)
{
    if (result.ok()) {
        settle(pending, result.socket, true);
        return;
    }
    const TcpNatSession &nat = pending->session;
    if (result.failure != AsyncSocksClient::Failure::Cancelled && g_directFailedLog.admit())
        qWarning() << "[TCP-NAT] Failed to connect directly to" << ipv4ToString(nat.destinationAddress).c_str() << ":"
                   << nat.destinationPort << "- Error:" << result.error;
    settle(pending, -1, true);
}

// The host name from a DNS answer is tried first; only a proxy that refused
// the request is asked again by address. One that could not be reached or did
// not answer would fail the same way again.
void TcpNatRelay::onProxyResult(const PendingPtr &pending, bool byName, AsyncSocksClient::Result &&result)
{
    if (result.ok()) {
        settle(pending, result.socket, false);
        return;
    }
    if (result.failure == AsyncSocksClient::Failure::Cancelled) {
        settle(pending, -1, false);
        return;
    }
    if (byName && result.failure == AsyncSocksClient::Failure::RequestRejected && m_running.load()) {
        startProxied(pending, std::string());
        return;
    }
    if (g_connectFailedLog.admit())
        qWarning() << "[TCP-NAT] Failed to connect to SOCKS5 proxy";
    settle(pending, -1, false);
}

void TcpNatRelay::abandon(const PendingPtr &pending)
{
    forgetPending(pending);
    ::close(pending->socket);
    natSessionEnded(pending->session);
}

void TcpNatRelay::finishRelay(const PendingPtr &pending, int destination, bool direct)
{
    forgetPending(pending);
    const TcpNatSession &nat = pending->session;
    if (!m_running.load()) {
        m_port.closeSocket(destination);
        ::close(pending->socket);
        natSessionEnded(nat);
        return;
    }
    // Both sockets are associated before the session is in the table: once it is
    // there, closeProxiedRelays may close them, and an association after that
    // would take whatever socket has reused the number. The destination socket
    // came associated under this key from the SOCKS5 client.
    if (const int error = m_port.associate(pending->socket, keyValue(kCompletionKey)); error != 0) {
        if (g_setupLog.admit())
            qWarning() << "[TCP-NAT] Failed to associate client socket with the completion port:" << error;
        m_port.closeSocket(pending->socket);
        m_port.closeSocket(destination);
        natSessionEnded(nat);
        return;
    }
    // Bytes go on as they come: the application's own socket has made its
    // choice of when to send; waiting here for an ACK (Nagle) would add a
    // round trip, or a delayed ACK's 40 ms, to every small write after another.
    const int one = 1;
    for (const int socket : {pending->socket, destination})
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto session = std::make_shared<RelaySession>();
    session->id = m_nextId.fetch_add(1);
    session->clientSocket = pending->socket;
    session->destinationSocket = destination;
    session->direct = direct;
    session->nat = nat;
    session->stats = pending->stats;
    session->prepareDirections(m_settings.zeroCopy ? m_pipes : nullptr);
    {
        std::lock_guard lock(m_tableMutex);
        m_sessions[session->id] = session;
    }
    if (g_relayLog.admit()) {
        using std::chrono::microseconds;
        qDebug() << "[TCP-NAT] Relay" << session->id << (direct ? "direct" : "proxied") << "for port" << nat.clientPort
                 << "to" << ipv4ToString(nat.destinationAddress).c_str() << ":" << nat.destinationPort << "owner"
                 << pending->ownerPath.c_str() << "lookup" << pending->lookupTime.count() << "us connect"
                 << std::chrono::duration_cast<microseconds>(pending->connected - pending->connectStarted).count()
                 << "us";
    }
    postReceive(session, RelaySession::Side::Client);
    postReceive(session, RelaySession::Side::Destination);
}

bool TcpNatRelay::onCompletion(const CompletionPort::Completion &completion)
{
    const std::shared_ptr<RelaySession> session = m_liveSlots.take(completion.slot);
    if (!session) {
        const PendingPtr opening = m_openingSlots.take(completion.slot);
        if (!opening)
            return false;
        begin(opening);
        return true;
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
    // Bytes taken from one side (into the pipe, when spliced) are sent on whole;
    // a relay closed meanwhile refuses the send under its own lock.
    if (side == RelaySession::Side::Client) {
        session->stats->addUp(bytes);
        m_settings.counters->addUp(bytes);
    } else {
        session->stats->addDown(bytes);
        m_settings.counters->addDown(bytes);
    }
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
        error = m_liveSlots.post(&direction.receiveSlot, session, [&] {
            // The pipe is empty here (its last contents have been sent), so it
            // has room for its whole capacity.
            return session->spliced ? m_port.postSpliceIn(session->receiveSocket(side), direction.receiveSlot,
                                                           direction.pipe.write, direction.pipe.capacity)
                                     : m_port.postReceive(session->receiveSocket(side), direction.receiveSlot,
                                                          direction.buffer.get(), RelaySession::kBufferSize);
        });
    }
    if (error != 0) {
        direction.receivePending.store(false);
        if (!isQuietError(error) && g_receiveLog.admit())
            qWarning() << (side == RelaySession::Side::Client ? "[TCP-NAT] recv (client) failed:"
                                                              : "[TCP-NAT] recv (dest) failed:")
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
    return m_liveSlots.post(&direction.sendSlot, session, [&] {
        return session->spliced
                   ? m_port.postSpliceOut(session->sendSocket(side), direction.sendSlot, direction.pipe.read, length)
                   : m_port.postSend(session->sendSocket(side), direction.sendSlot, direction.buffer.get(), length);
    });
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

void TcpNatRelay::appendFlows(std::vector<FlowEntry> &flows) const
{
    auto entry = [](const TcpNatSession &nat, bool direct, const std::shared_ptr<FlowStats> &stats) {
        return FlowEntry{true, Endpoint::fromIpv4(nat.clientAddress, nat.clientPort),
                         Endpoint::fromIpv4(nat.destinationAddress, nat.destinationPort), direct, stats};
    };
    {
        std::lock_guard lock(m_pendingMutex);
        const std::uint16_t directPort = m_settings.policy ? m_settings.policy->directPort() : 0;
        for (const auto &[key, pending] : m_pending)
            flows.push_back(entry(pending->session, pending->socksPort == directPort, pending->stats));
    }
    std::lock_guard lock(m_tableMutex);
    for (const auto &[id, session] : m_sessions)
        flows.push_back(entry(session->nat, session->direct, session->stats));
}
