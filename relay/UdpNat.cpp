#include "relay/UdpNat.h"

#include "packet/RoutingPolicy.h"

#include <QDebug>

UdpNat::~UdpNat()
{
    shutdown();
    releaseRecords();
}

bool UdpNat::initialise(const UdpAssociations::Context &context)
{
    UdpAssociations::Path path;
    path.tag = "[UDP-NAT]";
    path.dataKey = kCompletionKey;
    path.controlKey = kCompletionKey;
    path.maxFlows = kMaxSessions;
    path.handshakeTimeoutMs = kHandshakeTimeoutMs;
    m_sessions = std::make_unique<UdpAssociations>(context, path);
    if (!m_sessions->isUsable())
        return false;
    m_sessions->setRunning(true);
    m_dnsPool = std::make_unique<DnsAssociationPool>(context);
    m_dnsPool->setRunning(true);
    qDebug().noquote() << "[UDP-NAT] Initialized with proxy" << QString::fromStdString(context.proxyAddress.toString())
                       << ":" << context.policy->proxyPort() << "(proxy) /" << context.policy->directPort()
                       << "(direct)";
    return true;
}

void UdpNat::attach(CompletionDispatcher &dispatcher)
{
    if (m_sessions)
        m_sessions->attach(dispatcher);
    if (m_dnsPool)
        m_dnsPool->attach(dispatcher);
}

bool UdpNat::forward(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t addressedDestination,
                     std::uint16_t addressedPort, std::uint32_t realDestination, std::uint16_t realPort,
                     const std::uint8_t *payload, std::size_t length)
{
    if (!m_sessions)
        return false;
    const UdpNatKey key{Endpoint::fromIpv4(sourceAddress, sourcePort),
                        Endpoint::fromIpv4(addressedDestination, addressedPort)};
    if (m_dnsPool && m_dnsPool->takes(key, length))
        return m_dnsPool->forward(key, Endpoint::fromIpv4(realDestination, realPort), payload, length);
    return m_sessions->send(key, Endpoint::fromIpv4(realDestination, realPort), payload, length % 65536);
}

bool UdpNat::onReceiveCompleted(const CompletionPort::Completion &completion)
{
    return m_sessions && m_sessions->onCompletion(completion);
}

std::size_t UdpNat::sweepIdle(std::int64_t nowNs)
{
    return m_sessions ? m_sessions->sweepIdle(nowNs) : 0;
}

void UdpNat::shutdown()
{
    if (!m_sessions || !m_sessions->isRunning())
        return;
    m_sessions->setRunning(false);
    m_sessions->closeAll();
    m_dnsPool->setRunning(false);
    m_dnsPool->closeAll();
    qDebug() << "[UDP-NAT] Shutdown complete";
}

std::size_t UdpNat::closeAll()
{
    if (m_dnsPool)
        m_dnsPool->closeAll();
    return m_sessions ? m_sessions->closeAll() : 0;
}

void UdpNat::releaseRecords()
{
    if (m_sessions)
        m_sessions->releaseRecords();
    if (m_dnsPool)
        m_dnsPool->releaseRecords();
}

std::size_t UdpNat::sessionCount() const
{
    return m_sessions ? m_sessions->flowCount() : 0;
}

void UdpNat::appendFlows(std::vector<FlowEntry> &flows) const
{
    if (m_sessions)
        m_sessions->appendFlows(flows);
    if (m_dnsPool)
        m_dnsPool->appendFlows(flows);
}
