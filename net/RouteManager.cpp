#include "net/RouteManager.h"

#include "base/IpAddress.h"
#include "net/Netlink.h"

#include <QDebug>

#include <linux/rtnetlink.h>

#include <cerrno>

namespace {

constexpr std::uint8_t kRouteProtocol = 3; // set up by administration, not learnt

const char *dotted(std::uint32_t address, std::string &storage)
{
    storage = ipv4ToString(address);
    return storage.c_str();
}

} // namespace

std::optional<DefaultGateway> findDefaultGateway(std::uint32_t excludedInterfaceIndex)
{
    Netlink netlink;
    const auto routes = netlink.routes(RT_TABLE_MAIN);
    if (!routes)
        return std::nullopt;
    const Netlink::Route *best = nullptr;
    for (const Netlink::Route &route : *routes) {
        if (route.prefixLength != 0 || route.type != RTN_UNICAST || route.interfaceIndex == 0)
            continue;
        // The tunnel's own gateway route is a default route too; it is never the original.
        if (excludedInterfaceIndex != 0 && route.interfaceIndex == excludedInterfaceIndex)
            continue;
        if (!best || route.priority < best->priority)
            best = &route;
    }
    if (!best)
        return std::nullopt;
    return DefaultGateway{best->gateway, best->interfaceIndex};
}

RouteManager::RouteManager() : m_netlink(std::make_unique<Netlink>()) {}

RouteManager::~RouteManager()
{
    removeAll();
}

void RouteManager::initialise(std::uint64_t tunnelLuid)
{
    m_luid = tunnelLuid;
    m_tunnelIndex = 0;
    if (tunnelLuid != 0 && tunnelLuid <= 0xFFFFFFFFu && m_netlink->link(std::uint32_t(tunnelLuid)))
        m_tunnelIndex = std::uint32_t(tunnelLuid);
}

int RouteManager::prefixLength(std::uint32_t mask)
{
    int length = 0;
    while (length < 32 && (mask & (0x80000000u >> length)))
        ++length;
    return length;
}

std::uint32_t RouteManager::tunnelRouteMetric()
{
    const auto routes = m_netlink->routes(RT_TABLE_MAIN);
    if (!routes)
        return 0;
    for (const Netlink::Route &route : *routes) {
        if (route.interfaceIndex == m_tunnelIndex && route.gateway == 0 && route.type == RTN_UNICAST) {
            qDebug() << "Using metric from existing interface routes:" << route.priority;
            return route.priority;
        }
    }
    return 0;
}

bool RouteManager::addSplitRoute(std::uint32_t destination, std::uint32_t tunnelAddress, std::uint32_t metric)
{
    (void)tunnelAddress; // on-link: the route needs no next hop on Linux
    Netlink::Route route;
    route.destination = destination;
    route.prefixLength = 1;
    route.interfaceIndex = m_tunnelIndex;
    route.priority = metric;
    route.protocol = kRouteProtocol;
    route.scope = RT_SCOPE_LINK;
    const int result = m_netlink->addRoute(route);
    if (result != 0 && result != EEXIST) {
        qWarning() << "Failed to add route:" << result;
        return false;
    }
    // An identical route that was already there belongs to someone else: it
    // serves the tunnel just as well but is not removed at stop.
    if (result == 0)
        m_added.push_back(AddedRoute{destination, kHalfMask, 0, m_tunnelIndex, metric, true});
    return true;
}

bool RouteManager::setupFullTunnel(std::uint32_t tunnelAddress, std::uint32_t proxyAddress,
                                   std::uint32_t gatewayOverride)
{
    const auto original = findDefaultGateway(m_tunnelIndex);
    if (!original) {
        qWarning() << "Failed to get original default gateway";
        return false;
    }
    const std::uint32_t gateway = gatewayOverride != 0 ? gatewayOverride : original->gateway;
    std::string a, b;
    qDebug() << "Original gateway:" << dotted(gateway, a) << "(ifIndex=" << original->interfaceIndex << ")";
    qDebug() << "Tunnel interface index:" << m_tunnelIndex;

    if ((proxyAddress & kLoopbackMask) == kLoopbackNetwork) {
        qDebug() << "Skipping proxy bypass route for localhost";
    } else if (proxyAddress == 0) {
        qDebug() << "No proxy address: no proxy bypass route";
    } else {
        Netlink::Route bypass;
        bypass.destination = proxyAddress;
        bypass.prefixLength = 32;
        bypass.gateway = gateway;
        bypass.interfaceIndex = original->interfaceIndex;
        bypass.priority = kBypassMetric;
        bypass.protocol = kRouteProtocol;
        bypass.scope = gateway == 0 ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
        const int result = m_netlink->addRoute(bypass);
        if (result == 0) {
            m_added.push_back(
                AddedRoute{proxyAddress, kHostMask, gateway, original->interfaceIndex, kBypassMetric, true});
            qDebug() << "Added proxy bypass route:" << dotted(proxyAddress, a) << "via" << dotted(gateway, b);
        } else if (result == EEXIST) {
            // Already present (an administrator's own): used, never removed by us.
            qDebug() << "Proxy bypass route already present:" << dotted(proxyAddress, a) << "via" << dotted(gateway, b);
        } else {
            qWarning() << "Warning: Failed to add proxy bypass route:" << result;
        }
    }

    qDebug() << "Adding split default routes as DIRECT (on-link) routes";
    const std::uint32_t metric = tunnelRouteMetric();
    qDebug() << "Using rtnetlink to add routes...";
    if (!addSplitRoute(0x00000000, tunnelAddress, metric)) {
        qWarning() << "Failed to add first split route (0.0.0.0/1)";
        return false;
    }
    if (!addSplitRoute(0x80000000, tunnelAddress, metric)) {
        qWarning() << "Failed to add second split route (128.0.0.0/1)";
        return false;
    }
    return true;
}

void RouteManager::removeAll()
{
    std::string a, b;
    for (const AddedRoute &added : m_added) {
        Netlink::Route route;
        route.destination = added.destination;
        route.prefixLength = std::uint8_t(prefixLength(added.mask));
        route.gateway = added.nextHop;
        route.interfaceIndex = added.interfaceIndex;
        route.priority = added.priority;
        route.protocol = kRouteProtocol;
        const int result = m_netlink->deleteRoute(route);
        if (result != 0 && result != ESRCH && result != ENOENT)
            qWarning() << "Failed to delete route:" << result;
        qDebug() << "Removed route:" << dotted(added.destination, a) << "/" << dotted(added.mask, b);
    }
    m_added.clear();
}
