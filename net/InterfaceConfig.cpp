#include "net/InterfaceConfig.h"

#include "base/IpAddress.h"
#include "net/Netlink.h"
#include "net/SystemResolver.h"

#include <QDebug>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

QString text(const std::string &value)
{
    return QString::fromStdString(value);
}

void logServers(const char *label, const std::string &primary, const std::string &secondary)
{
    qDebug() << label << text(primary);
    if (!secondary.empty())
        qDebug() << "  Secondary:" << text(secondary);
}

std::vector<std::string> serverList(const std::string &primary, const std::string &secondary)
{
    std::vector<std::string> servers;
    if (!primary.empty())
        servers.push_back(primary);
    if (!secondary.empty())
        servers.push_back(secondary);
    return servers;
}

} // namespace

int writeSysctl(const std::string &key, const std::string &value)
{
    const std::string path = "/proc/sys/" + key;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const ssize_t n = ::write(fd, value.data(), value.size());
    const int result = n == ssize_t(value.size()) ? 0 : (n < 0 ? errno : EIO);
    ::close(fd);
    return result;
}

InterfaceConfig::InterfaceConfig(std::uint32_t interfaceIndex, std::string interfaceName)
    : m_interfaceIndex(interfaceIndex), m_interfaceName(std::move(interfaceName)),
      m_netlink(std::make_unique<Netlink>())
{
}

InterfaceConfig::~InterfaceConfig()
{
    restoreDns();
}

bool InterfaceConfig::setAddress(std::uint32_t address, std::uint8_t prefixLength)
{
    const int result = m_netlink->addAddress(m_interfaceIndex, address, prefixLength);
    if (result == 0 || result == EEXIST)
        return true;
    qWarning() << "Failed to set IP address:" << result;
    return false;
}

bool InterfaceConfig::setGateway(std::uint32_t gateway)
{
    Netlink::Route route;
    route.gateway = gateway;
    route.interfaceIndex = m_interfaceIndex;
    route.priority = m_metric;
    route.protocol = kRouteProtocol;
    const int result = m_netlink->addRoute(route);
    if (result == 0 || result == EEXIST) {
        m_gateway = gateway;
        qDebug().nospace() << "Set interface gateway to " << ipv4ToString(gateway).c_str();
        return true;
    }
    qWarning() << "Failed to set gateway:" << result;
    return false;
}

bool InterfaceConfig::setMetric(std::uint32_t metric)
{
    const auto link = m_netlink->link(m_interfaceIndex);
    if (!link) {
        qWarning() << "[KEST-TUN] Failed to get interface entry:" << ENODEV;
        return false;
    }
    // Linux has no automatic interface metric, so that flag is always off.
    qWarning() << "[KEST-TUN] Current metric:" << m_metric << "AutoMetric:" << false;
    int result = m_netlink->setLinkMtu(m_interfaceIndex, kMtu);
    if (result == 0)
        result = writeSysctl("net/ipv4/conf/" + m_interfaceName + "/forwarding", "1");
    if (result == 0 && m_gateway != 0 && metric != m_metric) {
        // The gateway route was added with the old priority: move it to the new one.
        Netlink::Route old;
        old.gateway = m_gateway;
        old.interfaceIndex = m_interfaceIndex;
        old.priority = m_metric;
        old.protocol = kRouteProtocol;
        Netlink::Route moved = old;
        moved.priority = metric;
        result = m_netlink->addRoute(moved);
        if (result == EEXIST)
            result = 0;
        if (result == 0) {
            const int removed = m_netlink->deleteRoute(old);
            if (removed != 0 && removed != ESRCH)
                result = removed;
        }
    }
    if (result != 0) {
        qWarning() << "[KEST-TUN] Failed to set interface metric:" << result;
        return false;
    }
    m_metric = metric;
    qWarning() << "[KEST-TUN] ✓ Set interface metric to" << metric << "with ForwardingEnabled and MTU" << kMtu;
    return true;
}

std::vector<std::string> InterfaceConfig::allServers() const
{
    std::vector<std::string> servers = m_ipv4Servers;
    servers.insert(servers.end(), m_ipv6Servers.begin(), m_ipv6Servers.end());
    return servers;
}

bool InterfaceConfig::setDnsServers(const std::string &primary, const std::string &secondary)
{
    m_ipv4Servers = serverList(primary, secondary);
    if (SystemResolver::resolvedRunning()) {
        std::string error;
        if (SystemResolver::setLinkDns(m_interfaceIndex, allServers(), &error) == 0) {
            m_dnsViaResolved = true;
            logServers("DNS servers configured via API:", primary, secondary);
            return true;
        }
        qWarning() << "SetLinkDNS failed:" << text(error) << ", falling back to resolver";
    }
    const int result = SystemResolver::rewriteResolvConf(allServers());
    if (result != 0) {
        qWarning() << "Failed to set DNS servers in resolver:" << result;
        return false;
    }
    m_dnsViaFile = true;
    logServers("DNS servers configured (resolver):", primary, secondary);
    return true;
}

bool InterfaceConfig::setIpv6DnsServers(const std::string &primary, const std::string &secondary)
{
    m_ipv6Servers = serverList(primary, secondary);
    int result = 0;
    std::string error;
    if (m_dnsViaResolved) {
        if (SystemResolver::setLinkDns(m_interfaceIndex, allServers(), &error) != 0)
            result = EIO;
    } else if (m_dnsViaFile || !m_ipv6Servers.empty()) {
        // Nothing to clear while the file carries no server of this link.
        result = SystemResolver::rewriteResolvConf(allServers());
        if (result == 0)
            m_dnsViaFile = true;
    }
    if (result != 0) {
        qWarning() << "Failed to set IPv6 DNS servers in resolver:" << result << text(error);
        return false;
    }
    logServers("IPv6 DNS servers configured:", primary, secondary);
    return true;
}

void InterfaceConfig::restoreDns()
{
    if (m_dnsViaResolved) {
        std::string error;
        // The link itself usually disappears first, which reverts it as well.
        SystemResolver::revertLink(m_interfaceIndex, &error);
        m_dnsViaResolved = false;
    }
    if (m_dnsViaFile) {
        if (const int result = SystemResolver::restoreResolvConf(); result != 0)
            qWarning() << "Failed to restore the resolver file:" << text(SystemResolver::resolvConfPath()) << result;
        m_dnsViaFile = false;
    }
}

bool flushDnsCache()
{
    if (!SystemResolver::resolvedRunning()) {
        // glibc keeps no cache of its own: with no caching resolver there is nothing to flush.
        qDebug() << "No caching resolver runs; nothing to flush";
        return true;
    }
    std::string error;
    if (SystemResolver::flushCaches(&error) == 0) {
        qDebug() << "✓ DNS resolver cache flushed";
        return true;
    }
    qWarning() << "Failed to flush DNS resolver cache" << text(error);
    return false;
}
