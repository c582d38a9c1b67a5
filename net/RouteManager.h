#pragma once
// Full-tunnel routing for the TUN mode: a host route that keeps the proxy reachable
// through the original default gateway, and the two halves of the IPv4 space on the
// TUN link, which win over the default route without touching it. Every route added
// is recorded and removed again by removeAll (also at destruction).

#include <cstdint>
#include <memory>
#include <optional>
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
        bool active = true;
    };

    static constexpr std::uint32_t kBypassMetric = 1;
    static constexpr std::uint32_t kLoopbackNetwork = 0x7F000000;
    static constexpr std::uint32_t kLoopbackMask = 0xFF000000;
    static constexpr std::uint32_t kHalfMask = 0x80000000;
    static constexpr std::uint32_t kHostMask = 0xFFFFFFFF;

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

    static int prefixLength(std::uint32_t mask);

private:
    bool addSplitRoute(std::uint32_t destination, std::uint32_t tunnelAddress, std::uint32_t metric);
    std::uint32_t tunnelRouteMetric();

    std::uint64_t m_luid = 0;
    std::uint32_t m_tunnelIndex = 0;
    std::vector<AddedRoute> m_added;
    std::unique_ptr<Netlink> m_netlink;
};
