#include "relay/UdpFlowTable.h"

#include "net/ConnectionOwnerLookup.h"
#include "packet/DnsNameCache.h"
#include "base/LogLimiter.h"
#include "packet/PacketCodec.h"
#include "packet/RoutingPolicy.h"

#include <QDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/socket.h>

namespace {
constexpr std::uint8_t kGreeting[3] = {0x05, 0x01, 0x00};
constexpr std::uint8_t kAssociateRequest[10] = {0x05, 0x03, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
constexpr std::uint16_t kDnsPort = 53;

std::int64_t monotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint32_t ipv4Of(const std::array<std::uint8_t, 16> &address)
{
    return (std::uint32_t(address[0]) << 24) | (std::uint32_t(address[1]) << 16) | (std::uint32_t(address[2]) << 8) |
           address[3];
}

void putIpv4(std::array<std::uint8_t, 16> &out, std::uint32_t address)
{
    out = {};
    out[0] = std::uint8_t(address >> 24);
    out[1] = std::uint8_t(address >> 16);
    out[2] = std::uint8_t(address >> 8);
    out[3] = std::uint8_t(address);
}

// Length of the SOCKS5 UDP header of a relay datagram; 0 when it cannot be
// stripped: too short, an unknown address type, or a fragment (FRAG != 0;
// fragments are never reassembled, so a piece must not pass for a datagram).
std::size_t relayHeaderLength(const std::uint8_t *datagram, std::size_t length)
{
    if (length < UdpRelay::kIpv4HeaderLen || datagram[2] != 0)
        return 0;
    switch (datagram[3]) {
    case 1:
        return 10;
    case 4:
        return length >= 22 ? 22 : 0;
    case 3:
        return length >= 7 + std::size_t(datagram[4]) ? 7 + std::size_t(datagram[4]) : 0;
    default:
        return 0;
    }
}

LogLimiter g_dnsRecvPendingLog(5);
LogLimiter g_ipv6ReplyLog(1);
LogLimiter g_queueFullLog(5, 1000);
LogLimiter g_strangerLog(5, 1000);
LogLimiter g_badHeaderLog(5, 1000);
} // namespace

UdpFlowTable::UdpFlowTable(CompletionPort &port, Settings settings)
    : m_port(port), m_settings(std::move(settings))
{
}

UdpFlowTable::~UdpFlowTable()
{
    closeAll();
    releaseRecords();
}

void UdpFlowTable::handleUdpPacket(const PacketInfo &packet)
{
    if (!m_running.load() || !packet.valid || !packet.isUdp())
        return;
    UdpFlowKey key;
    key.version = packet.version;
    key.protocol = PacketInfo::kProtocolUdp;
    key.sourcePort = packet.srcPort;
    key.destinationPort = packet.dstPort;
    if (packet.version == 4) {
        putIpv4(key.sourceAddress, packet.srcIp);
        putIpv4(key.destinationAddress, packet.dstIp);
    } else {
        key.sourceAddress = packet.srcIp6;
        key.destinationAddress = packet.dstIp6;
    }

    std::shared_ptr<UdpFlow> flow;
    bool created = false;
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_flows.find(key); it != m_flows.end())
            flow = it->second;
    }
    if (!flow) {
        // The owner lookup may scan /proc: it runs without the table's mutex,
        // which the workers take for every completion.
        const RoutingPolicy &policy = *m_settings.policy;
        const std::string owner =
            policy.hasRules() && m_settings.owners ? m_settings.owners->udpOwnerPath(packet.srcPort) : std::string();
        const std::uint16_t socksPort = policy.choosePort(owner, packet.version == 4 ? packet.dstIp : 0, packet.dstPort);
        auto fresh = std::make_shared<UdpFlow>();
        fresh->key = key;
        fresh->relay = std::make_unique<UdpRelay>(m_settings.proxyAddress, socksPort);
        fresh->lastActivity.store(monotonicNanoseconds());
        std::lock_guard lock(m_mutex);
        auto [it, inserted] = m_flows.try_emplace(key, fresh);
        flow = it->second;
        created = inserted;
    }

    {
        std::lock_guard lock(flow->mutex);
        std::vector<std::uint8_t> entry;
        if (packet.version == 4) {
            std::uint32_t destination = packet.dstIp;
            if (destination == m_settings.tunnelIp + 1 && packet.dstPort == kDnsPort)
                destination = m_settings.policy->dnsRedirectIp();
            entry.reserve(1 + 4 + 2 + packet.payloadLen);
            entry.push_back(4);
            for (int shift = 24; shift >= 0; shift -= 8)
                entry.push_back(std::uint8_t(destination >> shift));
        } else {
            entry.reserve(1 + 16 + 2 + packet.payloadLen);
            entry.push_back(6);
            entry.insert(entry.end(), packet.dstIp6.begin(), packet.dstIp6.end());
        }
        entry.push_back(std::uint8_t(packet.dstPort >> 8));
        entry.push_back(std::uint8_t(packet.dstPort));
        entry.insert(entry.end(), packet.payload, packet.payload + packet.payloadLen);
        if (!created && flow->handshakeState.load() == UdpFlow::kEstablished && flow->relay->isReady()) {
            flow->pending.push_back(std::move(entry));
            sendPendingLocked(*flow);
            flow->lastActivity.store(monotonicNanoseconds());
        } else if (flow->pending.size() < UdpFlow::kMaxQueuedDatagrams) {
            flow->pending.push_back(std::move(entry));
        } else if (g_queueFullLog.admit()) {
            // A stalled proxy and a fast sender would otherwise queue without end.
            qWarning() << "[UDP] Dropping a datagram: the flow's association is not up and"
                       << UdpFlow::kMaxQueuedDatagrams << "datagrams wait already";
        }
    }
    if (created)
        startAssociate(flow);
}

void UdpFlowTable::sendPendingLocked(UdpFlow &flow)
{
    for (const std::vector<std::uint8_t> &entry : flow.pending) {
        if (entry.size() <= 7)
            continue;
        if (entry[0] == 4) {
            const std::uint32_t address = (std::uint32_t(entry[1]) << 24) | (std::uint32_t(entry[2]) << 16) |
                                          (std::uint32_t(entry[3]) << 8) | entry[4];
            const std::uint16_t port = std::uint16_t((entry[5] << 8) | entry[6]);
            flow.relay->sendUdpDatagramIpv4(entry.data() + 7, entry.size() - 7, address, port);
        } else if (entry[0] == 6 && entry.size() > 18) {
            std::array<std::uint8_t, 16> address{};
            std::memcpy(address.data(), entry.data() + 1, 16);
            const std::uint16_t port = std::uint16_t((entry[17] << 8) | entry[18]);
            flow.relay->sendUdpDatagramIpv6(entry.data() + 19, entry.size() - 19, address, port);
        }
    }
    flow.pending.clear();
}

int UdpFlowTable::postControl(const std::shared_ptr<UdpFlow> &flow, bool send, std::uint32_t length)
{
    std::lock_guard guard(flow->mutex);
    const int socket = flow->relay->controlSocket();
    if (flow->removed.load() || socket < 0)
        return ECANCELED;
    {
        std::lock_guard lock(m_mutex);
        m_liveSlots[&flow->controlSlot] = flow;
    }
    const int error = send ? m_port.postSend(socket, flow->controlSlot, flow->handshakeBuffer.data(), length)
                           : m_port.postReceive(socket, flow->controlSlot, flow->handshakeBuffer.data(), length);
    if (error != 0) {
        std::lock_guard lock(m_mutex);
        m_liveSlots.erase(&flow->controlSlot);
    }
    return error;
}

void UdpFlowTable::startAssociate(const std::shared_ptr<UdpFlow> &flow)
{
    bool failed = true;
    {
        // The control socket is made, associated and posted on under the flow's
        // mutex, which closeFlow takes as well: a reset or sweep that closes the
        // flow meanwhile is seen here, and never closes the socket between its
        // creation and its association (its number could be reused by then).
        std::lock_guard guard(flow->mutex);
        if (flow->removed.load())
            return;
        if (!flow->relay->createUdpControlSocket()) {
            qWarning() << "Failed to create TCP socket for UDP associate";
        } else if (const int associateError = m_port.associate(flow->relay->controlSocket(), kControlKey);
                   associateError != 0) {
            qWarning() << "Failed to associate UDP control socket with IOCP, error:" << associateError
                       << "socket:" << flow->relay->controlSocket() << "iocp:" << 0;
        } else {
            int error = EINVAL;
            flow->proxy = flow->relay->proxySocketAddress();
            if (flow->proxy.sin_family == AF_INET) {
                {
                    std::lock_guard lock(m_mutex);
                    m_liveSlots[&flow->controlSlot] = flow;
                }
                flow->handshakeState.store(UdpFlow::kConnecting);
                error = m_port.postConnect(flow->relay->controlSocket(), flow->controlSlot,
                                           reinterpret_cast<const sockaddr *>(&flow->proxy), sizeof flow->proxy);
                if (error != 0) {
                    std::lock_guard lock(m_mutex);
                    m_liveSlots.erase(&flow->controlSlot);
                }
            }
            if (error != 0)
                qWarning() << "connect for UDP failed:" << error;
            failed = error != 0;
        }
    }
    if (failed)
        removeFlow(flow);
}

bool UdpFlowTable::onCompletion(const CompletionPort::Completion &completion)
{
    std::shared_ptr<UdpFlow> flow;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_liveSlots.find(completion.slot);
        if (it == m_liveSlots.end())
            return false;
        flow = std::move(it->second);
        m_liveSlots.erase(it);
    }
    if (flow->removed.load())
        return true;
    if (completion.slot == &flow->dataSlot) {
        onDataReceived(flow, completion.bytes, completion.success);
        return true;
    }
    const int state = flow->handshakeState.load();
    if (state == UdpFlow::kEstablished)
        removeFlow(flow); // the proxy closed the control connection: the association is over
    else if (state == UdpFlow::kConnecting)
        onControlConnected(flow, completion.success);
    else if (state >= UdpFlow::kGreetingSent && state <= UdpFlow::kAnswerAwaited)
        onHandshakeStep(flow, completion.bytes, completion.success);
    return true;
}

void UdpFlowTable::onControlConnected(const std::shared_ptr<UdpFlow> &flow, bool success)
{
    if (!success) {
        removeFlow(flow);
        return;
    }
    std::memcpy(flow->handshakeBuffer.data(), kGreeting, sizeof kGreeting);
    flow->handshakeState.store(UdpFlow::kGreetingSent);
    if (const int error = postControl(flow, true, sizeof kGreeting); error != 0) {
        qWarning() << "send UDP greeting failed:" << error;
        removeFlow(flow);
    }
}

void UdpFlowTable::onHandshakeStep(const std::shared_ptr<UdpFlow> &flow, std::uint32_t bytes, bool success)
{
    if (!success) {
        removeFlow(flow);
        return;
    }
    const std::uint8_t *buffer = flow->handshakeBuffer.data();
    int error = 0;
    switch (flow->handshakeState.load()) {
    case UdpFlow::kGreetingSent:
        flow->handshakeState.store(UdpFlow::kGreetingAnswerAwaited);
        error = postControl(flow, false, 2);
        break;
    case UdpFlow::kGreetingAnswerAwaited:
        if (bytes < 2 || buffer[0] != 0x05 || buffer[1] != 0x00) {
            qWarning() << "SOCKS5 UDP auth failed";
            removeFlow(flow);
            return;
        }
        std::memcpy(flow->handshakeBuffer.data(), kAssociateRequest, sizeof kAssociateRequest);
        flow->handshakeState.store(UdpFlow::kRequestSent);
        error = postControl(flow, true, sizeof kAssociateRequest);
        break;
    case UdpFlow::kRequestSent:
        flow->handshakeState.store(UdpFlow::kAnswerAwaited);
        error = postControl(flow, false, 10);
        break;
    case UdpFlow::kAnswerAwaited:
        if (bytes < 10 || buffer[0] != 0x05 || buffer[1] != 0x00) {
            qWarning() << "SOCKS5 UDP associate failed - bytes:" << bytes << "ver:" << buffer[0]
                       << "status:" << buffer[1] << "(0x01=general failure, 0x05=connection refused)";
            removeFlow(flow);
            return;
        }
        if (buffer[3] != UdpRelay::kAtypIpv4) {
            // Only the 10-byte IPv4 form was read; another form's BND.ADDR and
            // BND.PORT would be read from the wrong bytes (and its rest left unread).
            qWarning() << "SOCKS5 UDP associate answer has an unsupported address type:" << buffer[3];
            removeFlow(flow);
            return;
        }
        setUpRelay(flow);
        return;
    default:
        return;
    }
    if (error != 0)
        removeFlow(flow);
}

void UdpFlowTable::setUpRelay(const std::shared_ptr<UdpFlow> &flow)
{
    const std::uint8_t *answer = flow->handshakeBuffer.data();
    std::uint32_t relayAddress = 0; // network order
    std::memcpy(&relayAddress, answer + 4, 4);
    const std::uint16_t relayPort = std::uint16_t((answer[8] << 8) | answer[9]);
    if (relayAddress == 0)
        relayAddress = flow->relay->proxySocketAddress().sin_addr.s_addr;
    bool established = false;
    {
        std::lock_guard guard(flow->mutex);
        if (flow->removed.load())
            return;
        if (!flow->relay->setupUdpRelaySocket(relayAddress, relayPort)) {
            qWarning() << "Failed to setup UDP relay socket";
        } else if (const int error = m_port.associate(flow->relay->udpSocket(), kDataKey); error != 0) {
            qWarning() << "Failed to associate UDP data socket with IOCP, error:" << error
                       << "socket:" << flow->relay->udpSocket() << "iocp:" << 0;
        } else {
            flow->handshakeState.store(UdpFlow::kEstablished);
            flow->lastActivity.store(monotonicNanoseconds());
            m_established.fetch_add(1);
            sendPendingLocked(*flow);
            established = true;
        }
    }
    if (!established) {
        removeFlow(flow);
        return;
    }
    postUdpReceive(flow); // removes the flow when it cannot post
    // The control connection carries nothing more; its close ends the association.
    // Without this watch nothing would notice the association's end.
    if (const int error = postControl(flow, false, 1); error != 0) {
        if (error != ECANCELED)
            qWarning() << "Failed to watch the UDP control connection:" << error;
        removeFlow(flow);
    }
}

void UdpFlowTable::postUdpReceive(const std::shared_ptr<UdpFlow> &flow)
{
    if (!flow) {
        qWarning() << "[postUdpRecv] EARLY EXIT: flow is null";
        return;
    }
    if (!flow->relay) {
        qWarning() << "[postUdpRecv] EARLY EXIT: flow->socks is null, port:" << flow->key.sourcePort;
        return;
    }
    int error = 0;
    int socket = -1;
    {
        std::lock_guard guard(flow->mutex);
        socket = flow->relay->udpSocket();
        if (flow->removed.load() || socket < 0)
            return;
        if (flow->receivePending.exchange(true)) {
            if (flow->key.destinationPort == kDnsPort && g_dnsRecvPendingLog.admit())
                qWarning() << "[postUdpRecv] EARLY EXIT: recvPending already true, socket:" << socket;
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_liveSlots[&flow->dataSlot] = flow;
        }
        flow->sender = sockaddr_in{};
        error = m_port.postReceiveFrom(socket, flow->dataSlot, flow->buffer.get(), UdpFlow::kBufferSize,
                                       reinterpret_cast<sockaddr *>(&flow->sender), sizeof flow->sender);
        if (error != 0) {
            flow->receivePending.store(false);
            std::lock_guard lock(m_mutex);
            m_liveSlots.erase(&flow->dataSlot);
        }
    }
    if (error == 0)
        return;
    if (error != EINTR && error != EBADF && error != ENOTSOCK)
        qWarning() << "recvfrom failed:" << error << "socket:" << socket;
    removeFlow(flow);
}

void UdpFlowTable::onDataReceived(const std::shared_ptr<UdpFlow> &flow, std::uint32_t bytes, bool success)
{
    flow->receivePending.store(false);
    if (!success || !flow->relay || flow->relay->udpSocket() < 0) {
        removeFlow(flow);
        return;
    }
    const sockaddr_in &relay = flow->relay->relayEndpoint();
    if (bytes > 0 && (flow->sender.sin_family != AF_INET || flow->sender.sin_addr.s_addr != relay.sin_addr.s_addr ||
                      flow->sender.sin_port != relay.sin_port)) {
        // Only the association's relay answers; a datagram from anyone else who
        // found the socket's port would be injected into the application's flow.
        if (g_strangerLog.admit())
            qWarning().noquote() << "[UDP] Dropping a datagram from"
                                 << QString::fromStdString(ipv4ToString(ntohl(flow->sender.sin_addr.s_addr))) << ":"
                                 << ntohs(flow->sender.sin_port) << "- not the relay of the association";
    } else if (bytes > 0) {
        const std::uint8_t *datagram = flow->buffer.get();
        const std::size_t header = relayHeaderLength(datagram, bytes);
        if (header == 0) {
            // Delivered whole, the header would reach the application as its data.
            if (g_badHeaderLog.admit())
                qWarning() << "[UDP] Dropping a relay datagram without a usable SOCKS5 UDP header, bytes:" << bytes;
            postUdpReceive(flow);
            return;
        }
        const std::uint16_t sourcePort = std::uint16_t((datagram[header - 2] << 8) | datagram[header - 1]);
        const std::uint8_t *payload = datagram + header;
        const std::size_t length = bytes - header;
        if (sourcePort == kDnsPort && length >= DnsNameCache::kMinAnswerLength && m_settings.names &&
            isTunnelDns(flow->key))
            m_settings.names->addAnswers(payload, length);
        if (flow->key.version == 4) {
            const std::vector<std::uint8_t> packet =
                buildUdpPacket(ipv4Of(flow->key.destinationAddress), flow->key.destinationPort,
                               ipv4Of(flow->key.sourceAddress), flow->key.sourcePort, payload, length);
            m_settings.output(packet.data(), packet.size());
        } else if (g_ipv6ReplyLog.admit()) {
            // The codec builds IPv4 packets only; an IPv4 packet made from the first
            // bytes of IPv6 addresses would go to a wrong host.
            qWarning() << "[UDP] Dropping relay answer for an IPv6 flow (no IPv6 reply path)";
        }
        flow->lastActivity.store(monotonicNanoseconds());
    }
    postUdpReceive(flow);
}

// Only the tunnel's own DNS names addresses: an answer that any program asked
// any server for would let that server (or the program) put names on addresses
// that CONNECT requests then carry.
bool UdpFlowTable::isTunnelDns(const UdpFlowKey &key) const
{
    if (key.version != 4 || key.destinationPort != kDnsPort)
        return false;
    const std::uint32_t destination = ipv4Of(key.destinationAddress);
    return destination == m_settings.tunnelIp + 1 ||
           (m_settings.policy && destination == m_settings.policy->dnsRedirectIp());
}

void UdpFlowTable::removeFlow(const UdpFlowKey &key)
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

void UdpFlowTable::removeFlow(const std::shared_ptr<UdpFlow> &flow)
{
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_flows.find(flow->key);
        if (it != m_flows.end() && it->second == flow)
            m_flows.erase(it);
    }
    closeFlow(flow);
}

void UdpFlowTable::closeFlow(const std::shared_ptr<UdpFlow> &flow)
{
    std::lock_guard guard(flow->mutex);
    if (flow->removed.exchange(true))
        return;
    // Closing through the port completes pending operations with a failure;
    // the flow stays alive through its live slots until they are delivered.
    if (flow->relay) {
        const int control = flow->relay->controlSocket();
        const int udp = flow->relay->udpSocket();
        flow->relay->releaseSockets();
        m_port.closeSocket(control);
        m_port.closeSocket(udp);
    }
    flow->pending.clear();
}

std::size_t UdpFlowTable::sweepIdle(std::int64_t nowNs)
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

std::vector<std::shared_ptr<UdpFlow>> UdpFlowTable::takeAll()
{
    std::vector<std::shared_ptr<UdpFlow>> flows;
    std::lock_guard lock(m_mutex);
    for (auto &entry : m_flows)
        flows.push_back(std::move(entry.second));
    m_flows.clear();
    return flows;
}

void UdpFlowTable::closeAll()
{
    for (const auto &flow : takeAll())
        closeFlow(flow);
}

void UdpFlowTable::releaseRecords()
{
    std::lock_guard lock(m_mutex);
    m_liveSlots.clear();
}

std::size_t UdpFlowTable::flowCount() const
{
    std::lock_guard lock(m_mutex);
    return m_flows.size();
}
