#include "process/InterfaceDnsOverride.h"

#include "net/Netlink.h"
#include "net/SystemResolver.h"
#include "base/DaemonLog.h"

#include <arpa/inet.h>
#include <net/if.h>

namespace {

bool isIpAddress(const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    unsigned char buffer[16];
    return !text.contains(QChar(0)) && (inet_pton(AF_INET, bytes.constData(), buffer) == 1
                                        || inet_pton(AF_INET6, bytes.constData(), buffer) == 1);
}

} // namespace

InterfaceDnsOverride::InterfaceDnsOverride(const QString &address, const QString &iface, QObject *parent)
    : QObject(parent)
    , m_address(address)
    , m_iface(iface)
{
    m_pollTimer.setInterval(kPollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &InterfaceDnsOverride::poll);
}

InterfaceDnsOverride::~InterfaceDnsOverride()
{
    restore();
}

void InterfaceDnsOverride::start()
{
    qCInfo(lcKestd) << "[ProcessManager] Configuring DNS for interface" << m_iface << "to" << m_address;
    // The resolver file is written as root: only an address goes into it.
    if (!isIpAddress(m_address)) {
        qCWarning(lcKestd) << "[ProcessManager] Cannot set DNS - not an IP address:" << m_address;
        finish(false);
        return;
    }
    qCInfo(lcKestd) << "[ProcessManager] Waiting for interface" << m_iface << "to be UP (max" << kWaitLimitMs
                    << "ms)";
    m_clock.start();
    m_pollTimer.start();
    poll();
}

std::optional<std::uint32_t> InterfaceDnsOverride::upLinkIndex() const
{
    const QByteArray name = m_iface.toUtf8();
    if (name.isEmpty() || name.size() >= IFNAMSIZ || name.contains('\0'))
        return std::nullopt;
    Netlink netlink;
    const auto link = netlink.link(name.toStdString());
    constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
    if (!link || (link->flags & kUp) != kUp)
        return std::nullopt;
    return link->index;
}

void InterfaceDnsOverride::poll()
{
    const qint64 elapsed = m_clock.elapsed();
    if (const auto index = upLinkIndex()) {
        qCInfo(lcKestd) << "[ProcessManager] Interface" << m_iface << "is UP after" << elapsed << "ms";
        finish(apply(*index));
        return;
    }
    if (elapsed >= kWaitLimitMs) {
        qCWarning(lcKestd) << "[ProcessManager] Interface" << m_iface << "not UP after" << elapsed
                           << "ms (timeout:" << kWaitLimitMs << "ms)";
        qCWarning(lcKestd) << "[ProcessManager] Cannot set DNS - interface" << m_iface << "not found";
        finish(false);
    }
}

bool InterfaceDnsOverride::apply(std::uint32_t interfaceIndex)
{
    const std::vector<std::string> servers{m_address.toStdString()};
    if (SystemResolver::resolvedRunning()) {
        std::string error;
        if (SystemResolver::setLinkDns(interfaceIndex, servers, &error) != 0) {
            qCWarning(lcKestd) << "[ProcessManager] Failed to set NameServer resolver value:"
                               << QString::fromStdString(error);
            return false;
        }
        m_applied = Applied::LinkServer;
        m_interfaceIndex = interfaceIndex;
    } else {
        if (const int error = SystemResolver::rewriteResolvConf(servers); error != 0) {
            qCWarning(lcKestd) << "[ProcessManager] Failed to set NameServer resolver value:" << error;
            return false;
        }
        m_applied = Applied::ResolverFile;
    }
    qCInfo(lcKestd) << "[ProcessManager] DNS server set successfully to" << m_address << "for interface" << m_iface;
    return true;
}

void InterfaceDnsOverride::restore()
{
    if (m_applied == Applied::LinkServer) {
        std::string error;
        // The link usually went with its process, which reverted it already.
        SystemResolver::revertLink(m_interfaceIndex, &error);
    } else if (m_applied == Applied::ResolverFile) {
        if (const int error = SystemResolver::restoreResolvConf(); error != 0)
            qCWarning(lcKestd) << "[ProcessManager] Failed to put back the resolver file:" << error;
        else
            qCInfo(lcKestd) << "[ProcessManager] Resolver file put back after the DNS override for interface"
                            << m_iface;
    }
    m_applied = Applied::Nothing;
}

void InterfaceDnsOverride::finish(bool applied)
{
    m_pollTimer.stop();
    emit finished(applied);
}
