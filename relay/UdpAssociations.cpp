#include "relay/UdpAssociations.h"

#include "base/LogLimiter.h"
#include "net/ConnectionOwnerLookup.h"
#include "packet/DnsNameCache.h"
#include "packet/PacketCodec.h"
#include "packet/RoutingPolicy.h"
#include "socks5/Socks5Message.h"

#include <QDebug>

#include <cerrno>

namespace {
LogLimiter g_sessionLog(10, 1000);
LogLimiter g_queueFullLog(5, 1000);
LogLimiter g_strangerLog(5, 1000);
LogLimiter g_badHeaderLog(10, 1000);
LogLimiter g_sendLog(10, 1000);
LogLimiter g_ipv6ReplyLog(1);
LogLimiter g_relaySetupLog(10, 1000);

QString text(const std::string &value)
{
    return QString::fromStdString(value);
}
} // namespace

UdpAssociations::UdpAssociations(Context context, Path path) : m_context(std::move(context)), m_path(path)
{
    if (!m_context.counters)
        m_context.counters = &m_ownCounters;
}

UdpAssociations::~UdpAssociations()
{
    m_running.store(false);
    closeAll();
    releaseRecords();
}

void UdpAssociations::attach(CompletionDispatcher &dispatcher)
{
    auto handler = [this](const CompletionPort::Completion &completion) { return onCompletion(completion); };
    dispatcher.setHandler(m_path.dataKey, handler);
    dispatcher.setHandler(m_path.controlKey, handler);
    dispatcher.addIdleSweep([this] { sweepIdle(m_context.clock()); });
}

bool UdpAssociations::send(const UdpFlowKey &key, const Endpoint &realDestination, const std::uint8_t *payload,
                           std::size_t length)
{
    if (!m_running.load() || !isUsable())
        return false;
    std::vector<std::uint8_t> datagram = UdpRelay::buildDatagram(realDestination, payload, length);
    bool created = false;
    const std::shared_ptr<UdpFlow> flow = findOrCreate(key, realDestination, &created);
    ssize_t sent = 0;
    {
        std::lock_guard guard(flow->mutex);
        if (!flow->relay.isReady()) {
            // The association is being opened; the datagram waits for it.
            if (flow->pending.size() < UdpFlow::kMaxQueuedDatagrams) {
                flow->pending.push_back(std::move(datagram));
            } else {
                m_context.counters->drop(TunnelCounters::Drop::UdpNotRelayed);
                if (g_queueFullLog.admit())
                    qWarning() << m_path.tag << "Dropping a datagram:" << UdpFlow::kMaxQueuedDatagrams
                               << "wait for the association already";
            }
        } else {
            sent = flow->relay.sendDatagram(datagram);
            if (sent >= 0) {
                flow->stats.addUp(length);
                m_context.counters->addUp(length);
            }
        }
    }
    if (created && !openAssociation(flow))
        return false; // the association could not even be started
    if (sent < 0) {
        if (g_sendLog.admit())
            qWarning() << m_path.tag << "Failed to send to relay:" << errno;
        return false;
    }
    flow->lastActivity.store(m_context.clock());
    return true;
}

std::shared_ptr<UdpFlow> UdpAssociations::findOrCreate(const UdpFlowKey &key, const Endpoint &realDestination,
                                                       bool *created)
{
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_flows.find(key); it != m_flows.end() && !it->second->removed.load())
            return it->second;
    }
    // The owner lookup may scan /proc: it runs without the table's mutex, which
    // the workers take for every completion.
    auto flow = std::make_shared<UdpFlow>();
    flow->key = key;
    flow->realDestination = realDestination;
    flow->socksPort = routeOf(key, realDestination);
    flow->lastActivity.store(m_context.clock());
    std::shared_ptr<UdpFlow> replaced;
    {
        std::lock_guard lock(m_mutex);
        auto [it, inserted] = m_flows.try_emplace(key, flow);
        if (!inserted && !it->second->removed.load())
            return it->second;
        if (!inserted)
            replaced = std::exchange(it->second, flow); // a flow closed under the same key
        else if (m_path.maxFlows != 0 && m_flows.size() > m_path.maxFlows)
            replaced = takeLeastRecentLocked();
    }
    if (replaced)
        closeFlow(replaced);
    *created = true;
    return flow;
}

// The one routing decision, as for TCP: by destination and by the process
// that owns the application's socket. A datagram from another host or
// namespace (a source other than the tunnel address) has no local owner: a
// local socket that happens to use the same port must not lend it its rules.
std::uint16_t UdpAssociations::routeOf(const UdpFlowKey &key, const Endpoint &realDestination) const
{
    const RoutingPolicy &policy = *m_context.policy;
    std::string owner;
    const bool local = key.source.address.isIpv6() || key.source.address.ipv4() == m_context.tunnelIp;
    if (m_context.owners && local && policy.needsOwner(realDestination.address, realDestination.port))
        owner = key.source.address.isIpv4()
                    ? m_context.owners->udpOwnerPath(key.source.port, key.source.address.ipv4(),
                                                     key.destination.address.ipv4(), key.destination.port)
                    : m_context.owners->udpOwnerPath(key.source.port);
    return policy.choosePort(owner, realDestination.address, realDestination.port);
}

std::shared_ptr<UdpFlow> UdpAssociations::takeLeastRecentLocked()
{
    auto oldest = m_flows.end();
    for (auto it = m_flows.begin(); it != m_flows.end(); ++it)
        if (oldest == m_flows.end() || it->second->lastActivity.load() < oldest->second->lastActivity.load())
            oldest = it;
    if (oldest == m_flows.end())
        return nullptr;
    std::shared_ptr<UdpFlow> flow = std::move(oldest->second);
    m_flows.erase(oldest);
    return flow;
}

bool UdpAssociations::openAssociation(const std::shared_ptr<UdpFlow> &flow)
{
    AsyncSocksClient::Request request;
    request.command = AsyncSocksClient::Command::UdpAssociate;
    request.server = Endpoint{m_context.proxyAddress, flow->socksPort};
    request.timeoutMs = m_path.handshakeTimeoutMs;
    request.socketKey = m_path.controlKey;
    const std::uint64_t id = m_context.socks->startProxyConnect(
        request, [this, flow](AsyncSocksClient::Result &&result) { onAssociated(flow, std::move(result)); });
    if (id == 0) {
        if (g_sessionLog.admit())
            qWarning().noquote() << m_path.tag << "Failed to create SOCKS5 UDP session for"
                                 << text(flow->realDestination.toString());
        {
            // The datagram that opened the flow goes back to the caller as not taken.
            std::lock_guard guard(flow->mutex);
            flow->pending.clear();
        }
        removeFlow(flow);
        return false;
    }
    std::lock_guard guard(flow->mutex);
    if (flow->relay.controlSocket() < 0)
        flow->handshake = id; // still running: a close cancels it
    return true;
}

void UdpAssociations::onAssociated(const std::shared_ptr<UdpFlow> &flow, AsyncSocksClient::Result &&result)
{
    if (!result.ok()) {
        if (result.failure != AsyncSocksClient::Failure::Cancelled && g_sessionLog.admit())
            qWarning().noquote() << m_path.tag << "Failed to create SOCKS5 UDP session for"
                                 << text(flow->realDestination.toString());
        removeFlow(flow);
        return;
    }
    bool established = false;
    {
        // The sockets are published, associated and posted on under the flow's
        // mutex, which closeFlow takes as well: a flow closed meanwhile is seen
        // here, and its sockets are never closed half set up.
        std::lock_guard guard(flow->mutex);
        flow->handshake = 0;
        if (flow->removed.load() || !m_running.load()) {
            m_context.port->closeSocket(result.socket);
            return;
        }
        flow->relay.adoptControlSocket(result.socket);
        established = setUpRelayLocked(*flow, result);
    }
    if (!established || !postReceive(flow) || !postControlWatch(flow))
        removeFlow(flow);
}

bool UdpAssociations::setUpRelayLocked(UdpFlow &flow, const AsyncSocksClient::Result &result)
{
    if (!result.bound.address.isIpv4()) {
        if (g_relaySetupLog.admit())
            qWarning() << m_path.tag << "Unexpected ATYP in response:"
                       << (result.bound.address.isIpv6() ? Socks5Message::kAtypIpv6 : Socks5Message::kAtypDomain);
        return false;
    }
    if (!flow.relay.setupUdpRelaySocket(result.bound)) {
        if (g_relaySetupLog.admit())
            qWarning() << m_path.tag << "Failed to setup UDP relay socket";
        return false;
    }
    if (const int error = m_context.port->associate(flow.relay.udpSocket(), keyValue(m_path.dataKey)); error != 0) {
        if (g_relaySetupLog.admit())
            qWarning() << m_path.tag << "Failed to associate UDP data socket with the completion port, error:"
                       << error << "socket:" << flow.relay.udpSocket();
        return false;
    }
    m_established.fetch_add(1);
    const std::size_t header = UdpRelay::buildDatagram(flow.realDestination, nullptr, 0).size();
    for (const std::vector<std::uint8_t> &datagram : flow.pending) {
        if (flow.relay.sendDatagram(datagram) < 0) {
            m_context.counters->drop(TunnelCounters::Drop::UdpNotRelayed);
            continue;
        }
        flow.stats.addUp(datagram.size() - header);
        m_context.counters->addUp(datagram.size() - header);
    }
    flow.pending.clear();
    flow.lastActivity.store(m_context.clock());
    return true;
}

bool UdpAssociations::postReceive(const std::shared_ptr<UdpFlow> &flow)
{
    std::lock_guard guard(flow->mutex);
    const int socket = flow->relay.udpSocket();
    if (!m_running.load() || flow->removed.load() || socket < 0)
        return true;
    if (flow->receivePending.exchange(true))
        return true;
    flow->sender = sockaddr_storage{};
    const int error = m_live.post(&flow->dataSlot, flow, [&] {
        return m_context.port->postReceiveFrom(socket, flow->dataSlot, flow->buffer.get(), UdpFlow::kBufferSize,
                                               reinterpret_cast<sockaddr *>(&flow->sender), sizeof flow->sender);
    });
    if (error == 0)
        return true;
    flow->receivePending.store(false);
    if (error != EINTR && error != EBADF && error != ENOTSOCK && g_relaySetupLog.admit())
        qWarning() << m_path.tag << "recvfrom failed:" << error << "socket:" << socket;
    return false;
}

// The control connection carries nothing more; its close ends the association.
// Without this watch nothing would notice the association's end.
bool UdpAssociations::postControlWatch(const std::shared_ptr<UdpFlow> &flow)
{
    std::lock_guard guard(flow->mutex);
    const int socket = flow->relay.controlSocket();
    if (flow->removed.load() || socket < 0)
        return true;
    const int error = m_live.post(&flow->controlSlot, flow, [&] {
        return m_context.port->postReceive(socket, flow->controlSlot, &flow->controlByte, 1);
    });
    if (error != 0 && g_relaySetupLog.admit())
        qWarning() << m_path.tag << "Failed to watch the UDP control connection:" << error;
    return error == 0;
}

bool UdpAssociations::onCompletion(const CompletionPort::Completion &completion)
{
    const std::shared_ptr<UdpFlow> flow = m_live.take(completion.slot);
    if (!flow)
        return false;
    if (!m_running.load() || flow->removed.load())
        return true;
    if (completion.slot == &flow->controlSlot) {
        // The proxy ended the association (or sent what it must not): the flow
        // is over, and its next datagram opens a new one.
        qDebug() << m_path.tag << "Proxy closed the UDP control connection for port" << flow->key.source.port;
        removeFlow(flow);
        return true;
    }
    onDataReceived(flow, completion);
    return true;
}

void UdpAssociations::onDataReceived(const std::shared_ptr<UdpFlow> &flow, const CompletionPort::Completion &completion)
{
    flow->receivePending.store(false);
    if (!completion.success) {
        removeFlow(flow);
        return;
    }
    if (completion.bytes > 0) {
        // Only the association's relay answers; a datagram from anyone else who
        // found the socket's port would be injected into the application's flow.
        const Endpoint sender = Endpoint::fromSocketAddress(reinterpret_cast<const sockaddr *>(&flow->sender),
                                                            sizeof flow->sender);
        if (sender == flow->relay.relayEndpoint()) {
            deliverAnswer(*flow, completion.bytes);
        } else {
            m_context.counters->drop(TunnelCounters::Drop::UdpNotRelayed);
            if (g_strangerLog.admit())
                qWarning().noquote() << m_path.tag << "Dropping a datagram from" << text(sender.toString())
                                     << "- not the relay of the association";
        }
    }
    if (!postReceive(flow))
        removeFlow(flow);
}

void UdpAssociations::deliverAnswer(UdpFlow &flow, std::uint32_t bytes)
{
    const auto datagram = Socks5Message::parseUdpDatagram(flow.buffer.get(), bytes);
    if (!datagram || datagram->payloadLength == 0)
        m_context.counters->drop(TunnelCounters::Drop::UdpNotRelayed);
    if (!datagram) {
        // Delivered whole, the header would reach the application as its data.
        if (g_badHeaderLog.admit())
            qWarning() << m_path.tag << "Failed to parse SOCKS5 UDP header";
        return;
    }
    if (datagram->payloadLength == 0)
        return;
    const UdpFlowKey &key = flow.key;
    if (m_context.names && datagram->sourcePort == kDnsPort &&
        datagram->payloadLength >= DnsNameCache::kMinAnswerLength &&
        m_context.policy->isTunnelDns(key.destination, m_context.tunnelIp))
        m_context.names->addAnswers(datagram->payload, datagram->payloadLength);
    if (!key.source.address.isIpv4() || !key.destination.address.isIpv4()) {
        // The codec builds IPv4 packets only.
        m_context.counters->drop(TunnelCounters::Drop::UdpNotRelayed);
        if (g_ipv6ReplyLog.admit())
            qWarning() << m_path.tag << "Dropping relay answer for an IPv6 flow (no IPv6 reply path)";
        return;
    }
    const std::vector<std::uint8_t> packet =
        buildUdpPacket(key.destination.address.ipv4(), key.destination.port, key.source.address.ipv4(),
                       key.source.port, datagram->payload, datagram->payloadLength);
    if (m_context.output(packet.data(), packet.size())) {
        flow.stats.addDown(datagram->payloadLength);
        m_context.counters->addDown(datagram->payloadLength);
        if (m_context.policy->isTunnelDns(key.destination, m_context.tunnelIp))
            m_context.counters->countDnsAnswer();
    }
    flow.lastActivity.store(m_context.clock());
}

void UdpAssociations::removeFlow(const UdpFlowKey &key)
{
    std::shared_ptr<UdpFlow> flow;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_flows.find(key);
        if (it == m_flows.end())
            return;
        flow = it->second;
    }
    removeFlow(flow);
}

void UdpAssociations::removeFlow(const std::shared_ptr<UdpFlow> &flow)
{
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_flows.find(flow->key);
        if (it != m_flows.end() && it->second == flow)
            m_flows.erase(it);
    }
    closeFlow(flow);
}

void UdpAssociations::closeFlow(const std::shared_ptr<UdpFlow> &flow)
{
    std::uint64_t handshake = 0;
    {
        std::lock_guard guard(flow->mutex);
        if (flow->removed.exchange(true))
            return;
        // Closing through the port completes pending operations with a failure;
        // the flow stays alive through its live slots until they are delivered.
        const auto [control, udp] = flow->relay.releaseSockets();
        m_context.port->closeSocket(control);
        m_context.port->closeSocket(udp);
        // What still waited for the association is lost with it.
        m_context.counters->drop(TunnelCounters::Drop::UdpNotRelayed, flow->pending.size());
        flow->pending.clear();
        handshake = std::exchange(flow->handshake, 0);
    }
    if (handshake != 0)
        m_context.socks->cancel(handshake);
}

std::size_t UdpAssociations::sweepIdle(std::int64_t nowNs)
{
    std::vector<std::shared_ptr<UdpFlow>> idle;
    {
        std::lock_guard lock(m_mutex);
        for (const auto &entry : m_flows)
            if (nowNs - entry.second->lastActivity.load() > kIdleTimeoutNs)
                idle.push_back(entry.second);
    }
    for (const auto &flow : idle)
        removeFlow(flow);
    return idle.size();
}

std::vector<std::shared_ptr<UdpFlow>> UdpAssociations::takeAll()
{
    std::vector<std::shared_ptr<UdpFlow>> flows;
    std::lock_guard lock(m_mutex);
    for (auto &entry : m_flows)
        flows.push_back(std::move(entry.second));
    m_flows.clear();
    return flows;
}

std::size_t UdpAssociations::closeAll()
{
    const std::vector<std::shared_ptr<UdpFlow>> flows = takeAll();
    for (const auto &flow : flows)
        closeFlow(flow);
    return flows.size();
}

std::size_t UdpAssociations::flowCount() const
{
    std::lock_guard lock(m_mutex);
    return m_flows.size();
}

bool UdpAssociations::hasFlow(const UdpFlowKey &key) const
{
    std::lock_guard lock(m_mutex);
    return m_flows.count(key) != 0;
}

void UdpAssociations::appendFlows(std::vector<FlowEntry> &flows) const
{
    const std::uint16_t directPort = m_context.policy ? m_context.policy->directPort() : 0;
    std::lock_guard lock(m_mutex);
    for (const auto &[key, flow] : m_flows)
        if (!flow->removed.load())
            flows.push_back(FlowEntry{false, key.source, key.destination, flow->socksPort == directPort,
                                      std::shared_ptr<FlowStats>(flow, &flow->stats)});
}
