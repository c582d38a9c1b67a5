#include "tun/Tunnel.h"

#include "base/CompletionDispatcher.h"
#include "base/LogLimiter.h"
#include "base/SocketHelpers.h"
#include "net/InterfaceConfig.h"
#include "net/TunAdapter.h"
#include "packet/PacketCodec.h"
#include "packet/PacketInfo.h"
#include "relay/UdpFlowTable.h"
#include "relay/UdpNat.h"
#include "socks5/AsyncSocksClient.h"
#include "tun/TcpConnectionTable.h"
#include "tun/TcpNatListener.h"
#include "tun/TcpNatRelay.h"

#include <QDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
LogLimiter g_unhandledTcpLog(20);
// Per-packet warnings: a flood of them would bury the log.
LogLimiter g_listenerPacketLog(10, 1000);
LogLimiter g_rewriteLog(10, 1000);
LogLimiter g_udpFallbackLog(10, 1000);

// Every relayed connection holds two descriptors and every UDP association two
// more: the soft limit of a service (often 1024) is raised to its hard limit.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

QString dotted(std::uint32_t address)
{
    return QString::fromStdString(ipv4ToString(address));
}

// A failed start: the log line at critical level, and the error for the caller.
std::unexpected<std::string> fatal(const char *logText, std::string error)
{
    qCritical() << logText;
    return std::unexpected(std::move(error));
}

// Why a packet that no path took was dropped (the readiness gate aside).
TunnelCounters::Drop untakenReason(const PacketInfo &packet)
{
    using Drop = TunnelCounters::Drop;
    if (!packet.valid && !packet.fragment)
        return Drop::Malformed;
    if (RoutingPolicy::isDroppedDestination(packet))
        return Drop::FilteredDestination;
    if (packet.isTcp())
        return Drop::NoTcpSession;
    return packet.isUdp() ? Drop::UdpNotRelayed : Drop::UnsupportedProtocol;
}
} // namespace

Tunnel::Tunnel(std::string proxyAddress, std::uint16_t proxyPort)
    : m_proxyAddress(std::move(proxyAddress)), m_proxyPort(proxyPort), m_proxyIp(parseIpv4(m_proxyAddress))
{
    m_policy.setProxyPort(proxyPort);
}

Tunnel::~Tunnel()
{
    stop();
    releaseEngine();
}

void Tunnel::setDnsRedirectIp(std::uint32_t address)
{
    m_policy.setDnsRedirectIp(address); // logs "DNS redirect IP:"
}

void Tunnel::setPorts(std::uint16_t proxyPort, std::uint16_t directPort)
{
    m_policy.setProxyPort(proxyPort);
    m_policy.setDirectPort(directPort);
}

void Tunnel::setHealthCheckFailedCallback(std::function<void()> callback)
{
    m_healthCheckFailed = std::move(callback);
}

void Tunnel::setPermittedCgroups(FirewallManager::PermittedCgroups cgroups)
{
    m_permittedCgroups = std::move(cgroups);
    if (m_firewall)
        m_firewall->setPermittedCgroups(m_permittedCgroups);
}

bool Tunnel::dnsProtectionActive()
{
    return m_firewall && m_firewall->isApplied() && m_firewall->filtersIntact();
}

// Steps 9 to 11 of the start: without a firewall the tunnel runs unprotected.
void Tunnel::startFirewall(std::uint32_t dnsAddress)
{
    m_firewall = std::make_unique<FirewallManager>();
    if (!m_firewall->initialise()) {
        qWarning() << "Warning: Failed to initialize firewall manager (continuing without firewall rules)";
        m_firewall.reset();
        return;
    }
    const std::uint32_t index = m_adapter->interfaceIndex();
    if (index == 0) {
        qWarning() << "Warning: Failed to get TUN interface index (continuing without firewall rules)";
        m_firewall.reset();
        return;
    }
    m_firewall->setPermittedCgroups(m_permittedCgroups);
    if (!m_firewall->applyStrictRoute(index, dnsAddress, true))
        qWarning() << "Warning: Failed to apply firewall rules (DNS leaks may occur)";
}

void Tunnel::setOriginalInterfaceIndex(std::uint32_t index)
{
    m_originalInterfaceIndex.store(index);
    if (m_relay)
        m_relay->setInterfaceIndex(index);
    if (m_running.load() && index != 0)
        m_rpFilter.loosen(index);
}

std::uint64_t Tunnel::adapterLuid() const
{
    return m_adapter && m_running.load() ? m_adapter->luid() : 0;
}

std::string Tunnel::interfaceName() const
{
    return m_adapter ? m_adapter->interfaceName() : std::string();
}

std::uint16_t Tunnel::listenPort() const
{
    return m_listener ? m_listener->listenPort() : 0;
}

std::size_t Tunnel::relaySessionCount() const
{
    return m_relay ? m_relay->sessionCount() : 0;
}

std::size_t Tunnel::udpFlowCount() const
{
    return m_flows ? m_flows->flowCount() : 0;
}

std::size_t Tunnel::udpNatSessionCount() const
{
    return m_udpNat ? m_udpNat->sessionCount() : 0;
}

std::size_t Tunnel::userTcpConnectionCount() const
{
    return m_tcp ? m_tcp->connectionCount() : 0;
}

std::size_t Tunnel::workerCount() const
{
    return m_dispatcher ? m_dispatcher->workerCount() : 0;
}

bool Tunnel::sendToAdapter(const std::uint8_t *packet, std::size_t length, const PacketOffload &offload)
{
    PacketDevice *device = m_device;
    if (device && device->send(packet, std::uint32_t(length), offload))
        return true;
    m_counters.drop(TunnelCounters::Drop::WriteFailed);
    return false;
}

std::expected<void, std::string> Tunnel::start(const std::string &adapterName, std::uint32_t tunnelIp,
                                               std::uint8_t prefixLength, const std::string &devicePath)
{
    if (m_running.load())
        return {};
    // 1-2: the TUN device and its link.
    m_adapter = std::make_unique<TunAdapter>();
    if (!m_adapter->load(devicePath))
        return fatal("Failed to initialize TUN", "Failed to initialize TUN (device not found or incompatible version)");
    if (!m_adapter->openOrCreate(adapterName, TunAdapter::kTunnelType))
        return fatal("Failed to create adapter",
                     "Failed to create TUN adapter (driver issue or insufficient permissions)");

    // 3-8: address, gateway T + 1, metric, DNS pointing into the tunnel.
    if (!m_adapter->setAddress(tunnelIp, prefixLength))
        return fatal("Failed to set IP address", "Failed to set IP address on TUN adapter");
    const std::uint32_t natClient = tunnelIp + 1;
    qDebug().noquote() << "NAT client IP (gateway/DNS, not assigned):" << dotted(natClient);
    if (!m_adapter->setGateway(natClient))
        qWarning() << "Warning: Failed to set gateway (continuing anyway)";
    if (!m_adapter->setMetric(0))
        qWarning() << "Warning: Failed to set interface metric (DNS may not work!)";
    qDebug().noquote() << "Configuring DNS hijacking: DNS server =" << dotted(natClient) << "(TUN IP + 1)";
    if (!m_adapter->setDnsServers(ipv4ToString(natClient), ""))
        return fatal("Failed to set DNS servers for hijacking", "Failed to set DNS servers (network configuration error)");
    if (!m_adapter->setIpv6DnsServers("", ""))
        qWarning() << "Warning: Failed to clear IPv6 DNS servers (continuing anyway)";
    flushDnsCache();

    // 9-11: the firewall (DNS leak protection, strict routing).
    startFirewall(natClient);

    // 12: the session; 13-20: the packet engine on the device.
    if (!m_adapter->startSession(kSessionCapacity))
        return fatal("Failed to start session", "Failed to start TUN session (driver communication error)");
    // A packet the reader queued and the device then refused counts as a send that failed.
    m_adapter->setWriteDropped([this] { m_counters.drop(TunnelCounters::Drop::WriteFailed); });
    if (auto started = startEngine(*m_adapter, tunnelIp, tunnelIp); !started)
        return started;

    qDebug().noquote() << "Tunnel started on" << QString::fromStdString(adapterName);
    qDebug().noquote() << "Tunnel IP:" << dotted(tunnelIp) + "/" + QString::number(prefixLength);
    qDebug().noquote() << "Proxy:" << QString::fromStdString(m_proxyAddress) + ":" + QString::number(m_proxyPort);
    qDebug() << "Completion port workers:" << workerCount() << "(fully async)";
    return {};
}

std::expected<void, std::string> Tunnel::startEngine(PacketDevice &device, std::uint32_t tunnelIp,
                                                     std::uint32_t listenAddress)
{
    if (m_running.load())
        return {};
    m_tunnelIp = tunnelIp;
    m_device = &device;
    // 13-14: packet entry, completion port.
    device.setPacketHandler([this](std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload) {
        handlePacket(packet, length, offload);
    });
    m_port = std::make_unique<CompletionPort>();
    if (!m_port->create()) {
        const int error = m_port->lastError();
        qCritical() << "Failed to create the completion port:" << error;
        return std::unexpected("Failed to create I/O Completion Port (error " + std::to_string(error) + ")");
    }
    raiseDescriptorLimit();
    // Each owner of sockets registers its completion handler as it is made.
    m_dispatcher = std::make_unique<CompletionDispatcher>(*m_port);
    m_socks = std::make_unique<AsyncSocksClient>(*m_port);
    m_socks->attach(*m_dispatcher);
    const IpAddress proxyAddress = IpAddress::parse(m_proxyAddress).value_or(IpAddress());

    // 15: the NAT listener and its relay.
    m_relay = std::make_unique<TcpNatRelay>(
        *m_port, TcpNatRelay::Settings{proxyAddress, &m_policy, &m_names, &m_owners, m_socks.get(), tunnelIp,
                                       TunAdapter::offloadSwitchedOn(), &m_counters});
    m_relay->setInterfaceIndex(m_originalInterfaceIndex.load());
    m_relay->attach(*m_dispatcher);
    m_listener = std::make_unique<TcpNatListener>();
    m_listener->attach(*m_dispatcher);
    std::uint16_t listenPort = 0;
    if (!m_listener->startListener(listenAddress, 0, &listenPort, m_port.get(),
                                   [relay = m_relay.get()](int socket, const TcpNatSession &session) {
                                       relay->setUpRelay(socket, session);
                                   }))
        return fatal("Failed to initialize TCP NAT", "Failed to initialize TCP NAT listener");
    m_relay->setSessionEndedCallback(
        [listener = m_listener.get()](const TcpNatSession &session) { listener->endSession(session); });
    qInfo() << "[TCP-NAT] Listener port assigned by OS:" << listenPort;
    if (m_firewall && !m_firewall->addListenerRule(listenPort))
        qWarning() << "Failed to add host firewall inbound rule";

    // The user-space TCP engine, for the TCP the NAT path does not take.
    TcpConnectionTable::Settings tcp;
    tcp.proxyAddress = proxyAddress;
    tcp.tunnelIp = tunnelIp;
    tcp.policy = &m_policy;
    tcp.names = &m_names;
    tcp.connector = TcpConnectionTable::ProxyConnector::of(*m_socks);
    tcp.output = [this](const std::uint8_t *packet, std::size_t length) { return sendToAdapter(packet, length); };
    if (device.offloadActive())
        tcp.offloadOutput = [this](const std::uint8_t *packet, std::size_t length, const PacketOffload &offload) {
            return sendToAdapter(packet, length, offload);
        };
    tcp.counters = &m_counters;
    m_tcp = std::make_unique<TcpConnectionTable>(*m_port, std::move(tcp));
    m_tcp->attach(*m_dispatcher);

    // 16: UDP-NAT, and the flow table behind it.
    UdpAssociations::Context udp;
    udp.port = m_port.get();
    udp.socks = m_socks.get();
    udp.proxyAddress = proxyAddress;
    udp.tunnelIp = tunnelIp;
    udp.policy = &m_policy;
    udp.owners = &m_owners;
    udp.names = &m_names;
    udp.counters = &m_counters;
    udp.output = [this](const std::uint8_t *packet, std::size_t length) { return sendToAdapter(packet, length); };
    m_udpNat = std::make_unique<UdpNat>();
    m_udpNatReady = m_udpNat->initialise(udp);
    if (m_udpNatReady) {
        m_udpNat->attach(*m_dispatcher);
        qInfo() << "[UDP-NAT] Initialized for SOCKS5 UDP forwarding (proxy:" << m_policy.proxyPort()
                << ", direct:" << m_policy.directPort() << ")";
    } else {
        qWarning() << "[UDP-NAT] Failed to initialize (UDP forwarding disabled)";
    }
    m_flows = std::make_unique<UdpFlowTable>(udp);
    m_flows->attach(*m_dispatcher);
    m_catalog.addSource(m_relay.get());
    if (m_udpNatReady)
        m_catalog.addSource(m_udpNat.get());
    m_catalog.addSource(m_flows.get());
    m_catalog.addSource(m_tcp.get());

    // 17-20: running, workers, reader.
    m_running.store(true);
    m_flows->setRunning(true);
    m_relay->start();
    if (m_originalInterfaceIndex.load() != 0)
        m_rpFilter.loosen(m_originalInterfaceIndex.load());
    const unsigned workers = std::thread::hardware_concurrency();
    m_dispatcher->setDiagnostics([relay = m_relay.get(), tcp = m_tcp.get()] {
        relay->logDiagnostics();
        tcp->logDiagnostics();
    });
    m_dispatcher->start(workers);
    // 19: the user-space engine's timers and drain.
    m_tcp->start();
    device.startReader();
    return {};
}

void Tunnel::stop()
{
    if (!m_running.exchange(false))
        return;
    // The reader goes first: the packet entry must not reach parts being torn down.
    if (m_device)
        m_device->stopReader();
    stopReadinessTimer();
    if (m_dispatcher)
        m_dispatcher->stop();
    // Connections and associations still being opened end first.
    if (m_socks)
        m_socks->cancelAll();
    // Its applications get an RST while the TUN device is still there.
    if (m_tcp)
        m_tcp->stop();
    if (m_relay)
        m_relay->stop();
    if (m_udpNat)
        m_udpNat->shutdown();
    if (m_flows) {
        m_flows->setRunning(false);
        m_flows->closeAll();
    }
    if (m_listener)
        m_listener->stopListener();
    if (m_port)
        m_port->close();
    if (m_firewall) {
        m_firewall->removeAll();
        m_firewall.reset();
    }
    m_rpFilter.restore();
    if (m_adapter) {
        m_adapter->endSession();
        m_adapter->closeAdapter();
    }
    qDebug() << "Tunnel stopped";
}

// Records kept alive for operations that were still posted go once no worker
// waits on the port; the port goes last.
void Tunnel::releaseEngine()
{
    m_catalog.clearSources();
    m_dispatcher.reset();
    m_device = nullptr;
    if (m_relay)
        m_relay->releaseRecords();
    if (m_udpNat)
        m_udpNat->releaseRecords();
    if (m_flows)
        m_flows->releaseRecords();
    if (m_socks)
        m_socks->releaseRecords();
    if (m_tcp)
        m_tcp->releaseRecords();
    m_tcp.reset();
    m_flows.reset();
    m_udpNat.reset();
    m_relay.reset();
    m_socks.reset();
    m_listener.reset();
    m_firewall.reset();
    m_adapter.reset();
    m_port.reset();
}

void Tunnel::handlePacket(const std::uint8_t *data, std::uint32_t length)
{
    thread_local std::vector<std::uint8_t> copy;
    copy.assign(data, data + length);
    handlePacket(copy.data(), length, PacketOffload{});
}

void Tunnel::handlePacket(std::uint8_t *data, std::uint32_t length, const PacketOffload &offload)
{
    if (!m_running.load(std::memory_order_relaxed))
        return;
    const PacketInfo packet = parsePacket(data, length);
    if (!packet.valid) {
        m_counters.drop(untakenReason(packet));
        return;
    }
    if (!m_proxyReady.load(std::memory_order_relaxed) && !isEstablishedNatPacket(packet)) {
        m_counters.drop(refuseWhileNotReady(packet) ? TunnelCounters::Drop::NotReady : untakenReason(packet));
        return;
    }
    if (RoutingPolicy::isDroppedDestination(packet)) {
        m_counters.drop(TunnelCounters::Drop::FilteredDestination);
        return;
    }
    if (packet.isTcp()) {
        handleTcpPacket(packet, data, offload);
        return;
    }
    if (packet.isUdp()) {
        handleUdpPacket(packet);
        return;
    }
    // Other protocols (ICMP ...) are not carried.
    m_counters.drop(TunnelCounters::Drop::UnsupportedProtocol);
}

// While new connections are refused after a reset, the closing handshakes of
// the relays the reset ended still pass, so applications see them end at once.
bool Tunnel::isEstablishedNatPacket(const PacketInfo &packet) const
{
    if (!packet.isTcp() || packet.version != 4 || !m_listener || packet.srcIp != m_tunnelIp)
        return false;
    if (packet.srcPort == m_listener->listenPort())
        return true;
    if (packet.hasFlag(PacketInfo::kSyn) && !packet.hasFlag(PacketInfo::kAck))
        return false;
    return m_listener->findSessionByClient(packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort) != nullptr;
}

bool Tunnel::refuseWhileNotReady(const PacketInfo &packet)
{
    if (!packet.isTcp() || packet.version != 4 || !packet.hasFlag(PacketInfo::kSyn) || packet.hasFlag(PacketInfo::kAck))
        return false;
    const std::vector<std::uint8_t> reset = buildTcpPacket(packet.dstIp, packet.dstPort, packet.srcIp, packet.srcPort, 0,
                                                           packet.seq + 1, PacketInfo::kRstAck, nullptr, 0);
    sendToAdapter(reset.data(), reset.size());
    return true;
}

void Tunnel::handleTcpPacket(const PacketInfo &packet, std::uint8_t *data, const PacketOffload &offload)
{
    if (packet.version == 4 && m_listener) {
        const std::uint32_t t = m_tunnelIp;
        const std::uint16_t l = m_listener->listenPort();
        if (packet.srcIp == t && packet.srcPort == l) {
            natInbound(packet, data, offload);
            return;
        }
        if (packet.dstIp == t && packet.dstPort == l) {
            if (g_listenerPacketLog.admit())
                qWarning().noquote() << "[NAT-DROP] Packet to listener intercepted! src=" << dotted(packet.srcIp) << ":"
                                     << packet.srcPort << "dst=" << dotted(packet.dstIp) << ":" << packet.dstPort
                                     << "- Linux is routing local traffic through TUN!";
            m_counters.drop(TunnelCounters::Drop::NoTcpSession);
            return;
        }
        if (packet.srcIp == t) {
            natOutbound(packet, data, offload);
            return;
        }
    }
    toUserTcp(packet);
}

// TCP that the NAT path does not take (forwarded from other hosts, IPv6, a
// client port without a NAT session) is terminated by the user-space TCP engine.
// A super-packet of the device's segmentation offload is one large segment
// there; its checksum, complete or partial, is the kernel's own and is not
// checked again.
void Tunnel::toUserTcp(const PacketInfo &packet)
{
    if (m_tcp) {
        m_tcp->onTcpPacket(packet);
        return;
    }
    m_counters.drop(TunnelCounters::Drop::NoTcpSession);
    if (g_unhandledTcpLog.admit())
        qDebug().noquote() << "[TCP] Dropping TCP packet outside the NAT path: src=" << dotted(packet.srcIp) << ":"
                           << packet.srcPort << "dst=" << dotted(packet.dstIp) << ":" << packet.dstPort;
}

// The packet is rewritten in place and goes back whole, a super-packet with
// its offload metadata as read: the kernel cuts it (or takes it as one) itself.
void Tunnel::natOutbound(const PacketInfo &packet, std::uint8_t *data, const PacketOffload &offload)
{
    std::uint16_t natPort = 0;
    TcpNatSession created;
    if (packet.hasFlag(PacketInfo::kSyn) && !packet.hasFlag(PacketInfo::kAck)) {
        natPort = m_listener->getOrCreateSession(packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort, &created);
    } else if (const auto session =
                   m_listener->findSessionByClient(packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort)) {
        natPort = session->natPort;
    }
    if (natPort == 0) {
        toUserTcp(packet);
        return;
    }
    if (!rewriteTcpAddresses(data, packet.packetLen, m_tunnelIp + 1, natPort, m_tunnelIp, m_listener->listenPort(),
                             offload.checksumPartial)) {
        if (g_rewriteLog.admit())
            qWarning() << "[NAT-ERROR] Packet rewriting failed for NAT port" << natPort;
        m_counters.drop(TunnelCounters::Drop::Malformed);
        return;
    }
    // A new connection: its outbound side opens while the listener answers the
    // SYN (handed to a worker first, so that the worker's wake-up overlaps the write).
    if (created.natPort != 0)
        m_relay->openAhead(created);
    sendToAdapter(data, packet.packetLen, offload);
}

void Tunnel::natInbound(const PacketInfo &packet, std::uint8_t *data, const PacketOffload &offload)
{
    const auto session = m_listener->findSessionByNatPort(packet.dstPort);
    if (!session) {
        m_counters.drop(TunnelCounters::Drop::NoTcpSession);
        return;
    }
    if (!rewriteTcpAddresses(data, packet.packetLen, session->destinationAddress, session->destinationPort,
                             session->clientAddress, session->clientPort, offload.checksumPartial)) {
        m_counters.drop(TunnelCounters::Drop::Malformed);
        return;
    }
    sendToAdapter(data, packet.packetLen, offload);
}

void Tunnel::handleUdpPacket(const PacketInfo &packet)
{
    if (packet.version == 4 && m_udpNatReady) {
        const Endpoint real = m_policy.effectiveDestination(packet, m_tunnelIp);
        if (m_udpNat->forward(packet.srcIp, packet.srcPort, packet.dstIp, packet.dstPort, real.address.ipv4(), real.port,
                              packet.payload, packet.payloadLen))
            return;
        if (g_udpFallbackLog.admit())
            qWarning() << "[UDP-NAT] Forward failed, falling back to old handler";
    }
    if (!m_flows->handleUdpPacket(packet))
        m_counters.drop(TunnelCounters::Drop::UdpNotRelayed);
}

void Tunnel::resetConnections()
{
    if (!m_running.load())
        return;
    m_proxyReady.store(false);
    // Proxied relays end so that applications reconnect through the restarted
    // proxy; direct ones are left alone. UDP flows all go.
    const std::size_t relays = m_relay->closeProxiedRelays();
    const std::size_t userTcp = m_tcp->resetAll(); // each application gets an RST
    std::vector<std::shared_ptr<UdpFlow>> flows = m_flows->takeAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(kResetSettleMs));
    for (const auto &flow : flows)
        m_flows->closeFlow(flow);
    const std::size_t udpSessions = m_udpNat ? m_udpNat->closeAll() : 0;
    qDebug() << "[RESET] Closed" << relays << "proxied relay sessions," << userTcp << "user-space TCP connections,"
             << flows.size() << "UDP flows and" << udpSessions << "UDP-NAT sessions";
    flows.clear();
    // Only the TUN mode's own adapter pointed the system's resolver into the tunnel.
    if (m_adapter)
        flushDnsCache();
    qDebug() << "Connection reset complete - starting proxy health check";
    if (m_firewall) {
        qInfo() << "[RESET] 🔍 Checking if nftables filters survived connection reset...";
        m_firewall->verifyFilters();
    } else {
        qWarning() << "[RESET] No nftables filters to check - the TUN mode runs without DNS leak protection";
    }
    startReadinessTimer();
}

void Tunnel::startReadinessTimer()
{
    stopReadinessTimer();
    {
        std::lock_guard lock(m_timerMutex);
        m_timerCancel = false;
    }
    m_readinessTimer = std::thread([this] {
        qDebug() << "[RESET] Waiting 1000ms for xray to initialize...";
        {
            std::unique_lock lock(m_timerMutex);
            // Cut short by a newer reset or by stop, which start their own wait or end.
            if (m_timerCondition.wait_for(lock, std::chrono::milliseconds(kReadinessDelayMs),
                                          [this] { return m_timerCancel; }))
                return;
        }
        m_proxyReady.store(true);
        qDebug() << "[RESET] Proxy marked ready after 1000ms initialization delay";
        if (!proxyAcceptsConnections()) {
            qWarning() << "[RESET] Proxy port" << m_proxyPort << "refuses connections - proxy health check failed";
            if (m_healthCheckFailed)
                m_healthCheckFailed();
        }
    });
}

void Tunnel::stopReadinessTimer()
{
    {
        std::lock_guard lock(m_timerMutex);
        m_timerCancel = true;
    }
    m_timerCondition.notify_all();
    if (m_readinessTimer.joinable())
        m_readinessTimer.join();
}

bool Tunnel::proxyAcceptsConnections() const
{
    const std::optional<IpAddress> address = IpAddress::parse(m_proxyAddress);
    sockaddr_storage proxy{};
    const socklen_t length = address ? Endpoint{*address, m_policy.proxyPort()}.toSocketAddress(proxy) : 0;
    if (length == 0)
        return false;
    const int fd = ::socket(proxy.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return false;
    SocketHelpers::setTimeouts(fd, kHealthCheckTimeoutMs);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&proxy), length) == 0;
    ::close(fd);
    return ok;
}
