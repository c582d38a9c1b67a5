#pragma once
// Full-tunnel routing for the TUN mode: a host route that keeps the proxy reachable
// through the original default gateway, and the two halves of the IPv4 space on the
// TUN link, which win over the default route without touching it. Every route added
// is recorded and removed again by removeAll (also at destruction).
//
// With the split routes come the routes of inbound connections' replies, which
// the firewall marks (FirewallManager::kInboundReplyMark): a rule that looks
// them up in the main table without its routes of prefix length 0 and 1 (so
// that the subnets' own routes still serve), then a rule that sends them to a
// table of the daemon's own (kReplyTable) holding a copy of the original
// default route. Everything added is also written into the TUN state file, so
// a start after a killed run removes it (undoRecord); what was there before
// (EEXIST) is used but never recorded, never removed.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Netlink;

struct DefaultGateway {
    std::uint32_t gateway = 0;        // host order; 0 for a default route without next hop
    std::uint32_t interfaceIndex = 0;
};

// The main table's default route with the lowest metric that is not on the given
// interface (the tunnel's own link; 0 excludes nothing).
std::optional<DefaultGateway> findDefaultGateway(std::uint32_t excludedInterfaceIndex = 0);

class RouteManager {
public:
    struct AddedRoute {
        std::uint32_t destination = 0; // host order
        std::uint32_t mask = 0;        // host order
        std::uint32_t nextHop = 0;
        std::uint32_t interfaceIndex = 0;
        std::uint32_t priority = 0;
        std::uint32_t table = 254; // main
        bool active = true;
    };

    static constexpr std::uint32_t kBypassMetric = 1;
    static constexpr std::uint32_t kLoopbackNetwork = 0x7F000000;
    static constexpr std::uint32_t kLoopbackMask = 0xFF000000;
    static constexpr std::uint32_t kHalfMask = 0x80000000;
    static constexpr std::uint32_t kHostMask = 0xFFFFFFFF;
    static constexpr std::uint32_t kMainTable = 254;
    static constexpr std::uint32_t kReplyTable = 19284;
    static constexpr std::uint32_t kReplyRulePriority = 4810; // and the next one
    static constexpr int kSplitPrefixLength = 1;
    static constexpr const char *kRouteRecord = "route";
    static constexpr const char *kRuleRecord = "rule";

    RouteManager();
    ~RouteManager();
    RouteManager(const RouteManager &) = delete;
    RouteManager &operator=(const RouteManager &) = delete;

    // The LUID of the TUN adapter, which on Linux is its interface index.
    void initialise(std::uint64_t tunnelLuid);
    std::uint32_t tunnelInterfaceIndex() const { return m_tunnelIndex; }
    bool setupFullTunnel(std::uint32_t tunnelAddress, std::uint32_t proxyAddress, std::uint32_t gatewayOverride);
    void removeAll();
    const std::vector<AddedRoute> &addedRoutes() const { return m_added; }
    const std::vector<std::uint32_t> &addedRulePriorities() const { return m_addedRulePriorities; }

    static int prefixLength(std::uint32_t mask);
    // Start-up recovery: removes the route or rule a killed run recorded.
    static bool undoRecord(const std::string &record);

private:
    bool addSplitRoute(std::uint32_t destination, std::uint32_t tunnelAddress, std::uint32_t metric);
    std::uint32_t tunnelRouteMetric();
    // 0 (added and recorded), EEXIST (already there, not ours) or an errno.
    int addRecordedRoute(const AddedRoute &route, std::uint8_t scope);
    void addInboundReplyRoutes(const DefaultGateway &original);

    std::uint64_t m_luid = 0;
    std::uint32_t m_tunnelIndex = 0;
    std::vector<AddedRoute> m_added;
    std::vector<std::uint32_t> m_addedRulePriorities;
    std::unique_ptr<Netlink> m_netlink;
};
