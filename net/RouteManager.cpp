#include "net/RouteManager.h"

#include "net/FirewallManager.h"
#include "base/IpAddress.h"
#include "net/Netlink.h"
#include "net/TunStateFile.h"

#include <QDebug>

#include <arpa/inet.h>
#include <linux/rtnetlink.h>

#include <cerrno>

namespace {

constexpr std::uint8_t kRouteProtocol = 3; // set up by administration, not learnt

const char *dotted(std::uint32_t address, std::string &storage)
{
    storage = ipv4ToString(address);
    return storage.c_str();
}

Netlink::Route netlinkRoute(const RouteManager::AddedRoute &added)
{
    Netlink::Route route;
    route.destination = added.destination;
    route.prefixLength = std::uint8_t(RouteManager::prefixLength(added.mask));
    route.gateway = added.nextHop;
    route.interfaceIndex = added.interfaceIndex;
    route.priority = added.priority;
    route.table = added.table;
    route.protocol = kRouteProtocol;
    return route;
}

std::string routeRecord(const RouteManager::AddedRoute &route)
{
    return std::string(RouteManager::kRouteRecord) + " table=" + std::to_string(route.table) +
           " dst=" + ipv4ToString(route.destination) + " prefix=" + std::to_string(RouteManager::prefixLength(route.mask)) +
           " via=" + ipv4ToString(route.nextHop) + " dev=" + std::to_string(route.interfaceIndex) +
           " metric=" + std::to_string(route.priority);
}

// The two rules of inbound replies: first the main table without the split
// routes and the default route, then the table with the original default route.
Netlink::Rule replyRule(std::uint32_t priority)
{
    Netlink::Rule rule;
    rule.priority = priority;
    rule.fwmark = FirewallManager::kInboundReplyMark;
    rule.fwmask = FirewallManager::kInboundReplyMark;
    if (priority == RouteManager::kReplyRulePriority) {
        rule.table = RouteManager::kMainTable;
        rule.suppressPrefixLength = RouteManager::kSplitPrefixLength;
    } else {
        rule.table = RouteManager::kReplyTable;
    }
    return rule;
}

std::string ruleRecord(const Netlink::Rule &rule)
{
    return std::string(RouteManager::kRuleRecord) + " priority=" + std::to_string(rule.priority) +
           " fwmark=" + std::to_string(rule.fwmark) + " mask=" + std::to_string(rule.fwmask) +
           " table=" + std::to_string(rule.table) + " suppress=" + std::to_string(rule.suppressPrefixLength);
}

std::optional<std::uint32_t> number(const std::string &record, const char *key)
{
    const auto text = TunStateFile::field(record, key);
    if (!text || text->empty() || text->find_first_not_of("0123456789") != std::string::npos || text->size() > 10)
        return std::nullopt;
    const unsigned long value = std::stoul(*text);
    return value <= 0xFFFFFFFFul ? std::optional(std::uint32_t(value)) : std::nullopt;
}

std::optional<std::uint32_t> address(const std::string &record, const char *key)
{
    const auto text = TunStateFile::field(record, key);
    in_addr parsed{};
    if (!text || inet_pton(AF_INET, text->c_str(), &parsed) != 1)
        return std::nullopt;
    return ntohl(parsed.s_addr);
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
    const int result =
        addRecordedRoute(AddedRoute{destination, kHalfMask, 0, m_tunnelIndex, metric, kMainTable, true}, RT_SCOPE_LINK);
    if (result != 0 && result != EEXIST) {
        qWarning() << "Failed to add route:" << result;
        return false;
    }
    return true;
}

// An identical route that was already there belongs to someone else: it
// serves the tunnel just as well but is neither recorded nor removed at stop.
int RouteManager::addRecordedRoute(const AddedRoute &added, std::uint8_t scope)
{
    Netlink::Route route = netlinkRoute(added);
    route.scope = scope;
    const int result = m_netlink->addRoute(route);
    if (result == 0) {
        m_added.push_back(added);
        TunStateFile::add(routeRecord(added));
    }
    return result;
}

void RouteManager::addInboundReplyRoutes(const DefaultGateway &original)
{
    std::string a;
    const AddedRoute copy{0, 0, original.gateway, original.interfaceIndex, 0, kReplyTable, true};
    const int result = addRecordedRoute(copy, original.gateway == 0 ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE);
    if (result != 0 && result != EEXIST) {
        qWarning() << "Warning: Failed to add the reply route of inbound connections:" << result;
        return;
    }
    for (const std::uint32_t priority : {kReplyRulePriority, kReplyRulePriority + 1}) {
        const Netlink::Rule rule = replyRule(priority);
        const int added = m_netlink->addRule(rule);
        if (added == 0) {
            m_addedRulePriorities.push_back(priority);
            TunStateFile::add(ruleRecord(rule));
        } else if (added != EEXIST) {
            qWarning() << "Warning: Failed to add the routing rule of inbound replies:" << added;
            return;
        }
    }
    qDebug() << "Added reply routing of inbound connections: table" << kReplyTable << "via"
             << dotted(original.gateway, a);
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
        const AddedRoute bypass{proxyAddress, kHostMask, gateway, original->interfaceIndex, kBypassMetric, kMainTable, true};
        const int result = addRecordedRoute(bypass, gateway == 0 ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE);
        if (result == 0) {
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
    addInboundReplyRoutes(DefaultGateway{gateway, original->interfaceIndex});
    return true;
}

void RouteManager::removeAll()
{
    for (const std::uint32_t priority : m_addedRulePriorities) {
        const Netlink::Rule rule = replyRule(priority);
        const int result = m_netlink->deleteRule(rule);
        if (result != 0 && result != ENOENT)
            qWarning() << "Failed to delete routing rule:" << result;
        TunStateFile::remove(ruleRecord(rule));
        qDebug() << "Removed routing rule: priority" << priority;
    }
    m_addedRulePriorities.clear();
    std::string a, b;
    for (const AddedRoute &added : m_added) {
        const int result = m_netlink->deleteRoute(netlinkRoute(added));
        if (result != 0 && result != ESRCH && result != ENOENT)
            qWarning() << "Failed to delete route:" << result;
        TunStateFile::remove(routeRecord(added));
        qDebug() << "Removed route:" << dotted(added.destination, a) << "/" << dotted(added.mask, b);
    }
    m_added.clear();
}

bool RouteManager::undoRecord(const std::string &record)
{
    Netlink netlink;
    if (TunStateFile::kindOf(record) == kRuleRecord) {
        const auto priority = number(record, "priority");
        if (!priority || (*priority != kReplyRulePriority && *priority != kReplyRulePriority + 1))
            return false;
        // Only the rule this manager makes at that priority, whatever the record says beyond it.
        const int result = netlink.deleteRule(replyRule(*priority));
        if (result == 0)
            qInfo() << "Removed routing rule left by an earlier run: priority" << *priority;
        return result == 0;
    }
    const auto table = number(record, "table");
    const auto prefix = number(record, "prefix");
    const auto destination = address(record, "dst");
    const auto gateway = address(record, "via");
    const auto device = number(record, "dev");
    const auto metric = number(record, "metric");
    if (!table || !prefix || *prefix > 32 || !destination || !gateway || !device || !metric)
        return false;
    const std::uint32_t mask = *prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - *prefix);
    const int result =
        netlink.deleteRoute(netlinkRoute(AddedRoute{*destination, mask, *gateway, *device, *metric, *table, true}));
    std::string a, b;
    if (result == 0)
        qInfo() << "Removed route left by an earlier run:" << dotted(*destination, a) << "/" << *prefix << "via"
                << dotted(*gateway, b);
    return result == 0;
}
