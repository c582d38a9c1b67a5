#pragma once
// The tunnel's routing policy: which flows go through the proxy core's SOCKS5
// port and which go direct (expressed as the direct port), the DNS redirect, and
// the destination filter applied to every packet read from the adapter.
// Filled before the tunnel starts and only read while it runs, so the packet
// paths read it without locks.

#include "base/Endpoint.h"
#include "packet/PacketInfo.h"

#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>

class RoutingPolicy {
public:
    static constexpr std::uint16_t kDefaultProxyPort = 10808;
    static constexpr std::uint16_t kDefaultDirectPort = 20808;
    static constexpr std::uint32_t kDefaultDnsRedirectIp = 0x08080808; // 8.8.8.8
    static constexpr std::uint16_t kDnsPort = 53;

    // Rule sets. Names and paths are stored as passed in (UTF-8); every
    // comparison lowercases both sides and ignores one trailing ".exe", so the
    // rule "Chrome.EXE" matches the file /opt/google/chrome/chrome.
    void addBypassIp(const IpAddress &address);
    void addDirectProcess(const std::string &name);
    void addDirectProcessPath(const std::string &path);
    // Only logged: a proxy process goes through the proxy as every program
    // without a direct rule does.
    void addProxyProcess(const std::string &name);
    void setDnsRedirectIp(std::uint32_t address);
    void setProxyPort(std::uint16_t port) { m_proxyPort = port; }
    void setDirectPort(std::uint16_t port) { m_directPort = port; }

    std::uint16_t proxyPort() const { return m_proxyPort; }
    std::uint16_t directPort() const { return m_directPort; }
    std::uint32_t dnsRedirectIp() const { return m_dnsRedirectIp; }
    const std::set<IpAddress> &bypassIps() const { return m_bypassIps; }
    const std::set<std::string> &directProcesses() const { return m_directProcesses; }
    const std::set<std::string> &directProcessPaths() const { return m_directProcessPaths; }

    // True when the choice for this destination depends on the owning process:
    // only then do new UDP flows look their owner up.
    bool needsOwner(const IpAddress &destination, std::uint16_t dstPort) const;

    // The proxy port or the direct port for a new flow, TCP or UDP. ownerPath is
    // the owning process's image path, empty when unknown.
    std::uint16_t choosePort(const std::string &ownerPath, const IpAddress &destination,
                             std::uint16_t dstPort) const;

    // Destinations no flow is made for (loopback, multicast, broadcast,
    // link-local); such packets are dropped without a reply.
    static bool isDroppedDestination(const PacketInfo &packet);

    // Where the flow really goes: a query to the tunnel's DNS address (T + 1)
    // port 53 goes to the DNS redirect address; anything else keeps its destination.
    Endpoint effectiveDestination(const PacketInfo &packet, std::uint32_t tunnelIp) const;

    // True for a flow to the tunnel's own DNS (T + 1 or the DNS redirect
    // address, port 53), addressed as the application addressed it: only its
    // answers may name addresses, or any program could put names on addresses
    // that CONNECT requests then carry.
    bool isTunnelDns(const Endpoint &addressed, std::uint32_t tunnelIp) const;

private:
    std::set<IpAddress> m_bypassIps;
    std::set<std::string> m_directProcesses;
    std::set<std::string> m_directProcessPaths;
    // Lowercased, ".exe"-stripped forms used for matching.
    std::unordered_set<std::wstring> m_directProcessKeys;
    std::unordered_set<std::wstring> m_directPathKeys;
    std::uint16_t m_proxyPort = kDefaultProxyPort;
    std::uint16_t m_directPort = kDefaultDirectPort;
    std::uint32_t m_dnsRedirectIp = kDefaultDnsRedirectIp;
};
