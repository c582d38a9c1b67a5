#pragma once
// Interface settings of the tunnel's link over rtnetlink and the resolver layer:
// IPv4 address, the gateway route, MTU and forwarding with the route metric, and the
// DNS servers that point into the tunnel. Each operation returns a bool and logs.
// TunAdapter owns one per link and exposes these operations as its own.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Netlink;

class InterfaceConfig {
public:
    static constexpr std::uint32_t kMtu = 1500;
    static constexpr std::uint8_t kRouteProtocol = 3; // set up by administration, not learnt

    InterfaceConfig(std::uint32_t interfaceIndex, std::string interfaceName);
    // Puts back what the resolver layer changed for this link.
    ~InterfaceConfig();

    bool setAddress(std::uint32_t address, std::uint8_t prefixLength);
    bool setGateway(std::uint32_t gateway);
    // Linux has no interface metric: the metric becomes the priority of the routes
    // the tunnel adds on this link. Also sets MTU 1500 and IPv4 forwarding.
    bool setMetric(std::uint32_t metric);
    std::uint32_t metric() const { return m_metric; }
    bool setDnsServers(const std::string &primary, const std::string &secondary);
    bool setIpv6DnsServers(const std::string &primary, const std::string &secondary);
    // Reverts the link's resolver settings (or restores resolv.conf); idempotent.
    void restoreDns();

private:
    bool applyDns(const char *familyLabel);
    std::vector<std::string> allServers() const;

    std::uint32_t m_interfaceIndex;
    std::string m_interfaceName;
    std::uint32_t m_metric = 0;
    std::uint32_t m_gateway = 0;
    std::vector<std::string> m_ipv4Servers;
    std::vector<std::string> m_ipv6Servers;
    bool m_dnsViaResolved = false;
    bool m_dnsViaFile = false;
    std::unique_ptr<Netlink> m_netlink;
};

// Flushes the system resolver's cache; also used without a tunnel.
bool flushDnsCache();

// Writes a value under /proc/sys (e.g. "net/ipv4/conf/tun0/forwarding"); 0 or errno.
int writeSysctl(const std::string &key, const std::string &value);
