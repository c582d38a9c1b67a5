#pragma once
// The one rtnetlink helper of the daemon: addresses, IPv4 routes and link settings,
// each a single request answered by the kernel's acknowledgement. Results are 0 or a
// positive errno (EEXIST, ESRCH ...); callers log with their own texts.
// An object holds one netlink socket; its operations may be called from any thread.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mnl_socket;

class Netlink {
public:
    // One IPv4 route of a routing table. Addresses in host order; gateway 0 = on-link.
    struct Route {
        std::uint32_t destination = 0;
        std::uint8_t prefixLength = 0;
        std::uint32_t gateway = 0;
        std::uint32_t interfaceIndex = 0;
        std::uint32_t priority = 0; // the route metric
        std::uint32_t table = 254;  // main
        std::uint8_t protocol = 3;  // boot: set up by an administrator tool
        std::uint8_t scope = 0;     // universe; link for on-link routes
        std::uint8_t type = 1;      // unicast
    };

    // One IPv4 routing rule that sends packets carrying a mark to a table.
    struct Rule {
        std::uint32_t priority = 0;
        std::uint32_t fwmark = 0;
        std::uint32_t fwmask = 0;
        std::uint32_t table = 254;
        int suppressPrefixLength = -1; // -1: none
    };

    struct Link {
        std::uint32_t index = 0;
        std::string name;
        std::string alias;
        unsigned flags = 0; // IFF_*
        std::uint32_t mtu = 0;
        std::uint32_t txQueueLength = 0;
    };

    // The kernel keeps at most this many bytes of a link alias, its terminator included.
    static constexpr std::size_t kMaxAliasBytes = 256;

    Netlink();
    ~Netlink();
    Netlink(const Netlink &) = delete;
    Netlink &operator=(const Netlink &) = delete;

    // False when the socket could not be opened (openError() tells why).
    bool isOpen() const { return m_socket != nullptr; }
    int openError() const { return m_openError; }

    int addAddress(std::uint32_t interfaceIndex, std::uint32_t address, std::uint8_t prefixLength);
    // Adds a route; EEXIST when the same route is there. An existing route to the same
    // destination with the same priority but another next hop is kept first.
    int addRoute(const Route &route);
    // Deletes the route matching destination, prefix, table, interface, gateway and
    // priority; ESRCH when there is none.
    int deleteRoute(const Route &route);
    // Every IPv4 route of a table in the kernel's order (empty optional on failure).
    std::optional<std::vector<Route>> routes(std::uint32_t table = 254);

    // Adds a rule; EEXIST when an identical rule is there.
    int addRule(const Rule &rule);
    // Deletes the rule matching priority, mark, mask, table and suppression; ENOENT when none.
    int deleteRule(const Rule &rule);
    // Every IPv4 routing rule (empty optional on failure).
    std::optional<std::vector<Rule>> rules();

    int setLinkUp(std::uint32_t interfaceIndex, bool up);
    int setLinkMtu(std::uint32_t interfaceIndex, std::uint32_t mtu);
    // EINVAL for an alias of kMaxAliasBytes or more.
    int setLinkAlias(std::uint32_t interfaceIndex, const std::string &alias);
    int setLinkTxQueueLength(std::uint32_t interfaceIndex, std::uint32_t length);
    int deleteLink(const std::string &name);
    std::optional<Link> link(std::uint32_t interfaceIndex);
    std::optional<Link> link(const std::string &name);
    // The IPv4 addresses of an interface, host order (empty optional on failure).
    std::optional<std::vector<std::uint32_t>> addresses(std::uint32_t interfaceIndex);

private:
    int transact(void *message, void (*onReply)(const void *, void *), void *context);
    int changeLink(std::uint32_t interfaceIndex, unsigned flags, unsigned change, int attribute,
                   const void *value, std::size_t length);
    std::optional<Link> queryLink(std::uint32_t interfaceIndex, const std::string &name);

    std::mutex m_mutex; // one request at a time on the socket
    mnl_socket *m_socket = nullptr;
    std::uint32_t m_portId = 0;
    std::uint32_t m_sequence = 0;
    int m_openError = 0;
};
