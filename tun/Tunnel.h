#pragma once
// The engine of the TUN mode: owns the TUN adapter, the firewall (DNS leak
// protection), the completion port with its workers, the TCP NAT listener and
// relay, the UDP-NAT module and the UDP flow table, the routing policy and the
// DNS name cache. Configured before
// start(), started once, stopped once (a stopped tunnel is not restarted).
// Every packet read from the adapter enters through handlePacket(): filters,
// the readiness gate after a reset, the NAT path for IPv4 TCP, the user-space
// TCP engine for the TCP it does not take, UDP to the UDP-NAT module or the
// flow table.

#include "base/CompletionPort.h"
#include "net/ConnectionOwnerLookup.h"
#include "net/FirewallManager.h"
#include "packet/DnsNameCache.h"
#include "packet/PacketOffload.h"
#include "packet/RoutingPolicy.h"
#include "relay/TunnelCounters.h"
#include "tun/FlowCatalog.h"
#include "tun/ReversePathFilter.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct PacketInfo;
class AsyncSocksClient;
class CompletionDispatcher;
class PacketDevice;
class TcpConnectionTable;
class TcpNatListener;
class TcpNatRelay;
class TunAdapter;
class UdpFlowTable;
class UdpNat;

class Tunnel {
public:
    static constexpr std::uint32_t kDefaultDnsRedirectIp = RoutingPolicy::kDefaultDnsRedirectIp;
    static constexpr std::uint32_t kSessionCapacity = 0x1000000;
    static constexpr int kResetSettleMs = 100;
    static constexpr int kReadinessDelayMs = 1000;
    static constexpr int kHealthCheckTimeoutMs = 2000;
    static constexpr std::size_t kMaxProxyAddressBytes = 255;

    Tunnel(std::string proxyAddress, std::uint16_t proxyPort);
    ~Tunnel();
    Tunnel(const Tunnel &) = delete;
    Tunnel &operator=(const Tunnel &) = delete;

    // Configuration, before start().
    void setProxyIp(std::uint32_t address) { m_proxyIp = address; }
    void setDnsRedirectIp(std::uint32_t address);
    void addBypassIp(std::uint32_t address) { m_policy.addBypassIp(IpAddress::fromIpv4(address)); }
    void addProxyProcess(const std::string &name) { m_policy.addProxyProcess(name); }
    void addDirectProcess(const std::string &name) { m_policy.addDirectProcess(name); }
    void addDirectProcessPath(const std::string &path) { m_policy.addDirectProcessPath(path); }
    void setPorts(std::uint16_t proxyPort, std::uint16_t directPort);
    void setHealthCheckFailedCallback(std::function<void()> callback);
    // The interface that carried the default route before the TUN mode; direct
    // connections are bound to it. Also accepted while running.
    void setOriginalInterfaceIndex(std::uint32_t index);
    // The cgroups the firewall permits besides the daemon; also while running.
    void setPermittedCgroups(FirewallManager::PermittedCgroups cgroups);

    std::expected<void, std::string> start(const std::string &adapterName, std::uint32_t tunnelIp,
                                           std::uint8_t prefixLength, const std::string &devicePath);
    // The packet engine alone (what start() runs once the TUN device, its link,
    // the resolver and the firewall are set up) on a device of the caller's,
    // which must outlive stop(): the completion port and its workers, the NAT
    // listener on listenAddress (the tunnel IP in the TUN mode) and its relay,
    // the UDP paths, then the device's reader.
    std::expected<void, std::string> startEngine(PacketDevice &device, std::uint32_t tunnelIp,
                                                 std::uint32_t listenAddress);
    void stop();
    // Drops every proxied connection (after a proxy restart) and refuses new
    // ones for a second; then checks that the proxy port accepts connections.
    void resetConnections();
    bool isRunning() const { return m_running.load(); }
    bool isProxyReady() const { return m_proxyReady.load(); }
    // The firewall's rules are applied and all still in place.
    bool dnsProtectionActive();
    // The adapter's LUID (its ifindex), 0 when there is none or it is not running.
    std::uint64_t adapterLuid() const;
    std::string interfaceName() const;

    // The packet entry (adapter reader thread). The packet may be rewritten in
    // place; offload is what the device said about it (a TCP super-packet,
    // a partial checksum), passed on with it to whichever path takes it.
    void handlePacket(std::uint8_t *data, std::uint32_t length, const PacketOffload &offload);
    // The same for a packet the caller keeps: taken as a plain packet, on a copy.
    void handlePacket(const std::uint8_t *data, std::uint32_t length);

    const RoutingPolicy &policy() const { return m_policy; }
    DnsNameCache &nameCache() { return m_names; }
    std::uint32_t tunnelIp() const { return m_tunnelIp; }
    std::uint32_t proxyIp() const { return m_proxyIp; }
    std::uint16_t listenPort() const;
    std::size_t relaySessionCount() const;
    std::size_t udpFlowCount() const;
    std::size_t udpNatSessionCount() const;
    std::size_t userTcpConnectionCount() const;
    std::size_t workerCount() const;
    const ReversePathFilter &reversePathFilter() const { return m_rpFilter; }
    // Totals since start(), and the live flows.
    const TunnelCounters &counters() const { return m_counters; }
    const FlowCatalog &flowCatalog() const { return m_catalog; }

private:
    bool sendToAdapter(const std::uint8_t *packet, std::size_t length, const PacketOffload &offload = {});
    void startFirewall(std::uint32_t dnsAddress);
    // data is the packet's own (mutable) buffer, which packet points into.
    void handleTcpPacket(const PacketInfo &packet, std::uint8_t *data, const PacketOffload &offload);
    void natOutbound(const PacketInfo &packet, std::uint8_t *data, const PacketOffload &offload);
    void natInbound(const PacketInfo &packet, std::uint8_t *data, const PacketOffload &offload);
    // True when the packet opened a connection, which was refused.
    bool refuseWhileNotReady(const PacketInfo &packet);
    bool isEstablishedNatPacket(const PacketInfo &packet) const;
    void handleUdpPacket(const PacketInfo &packet);
    void toUserTcp(const PacketInfo &packet);
    void startReadinessTimer();
    void stopReadinessTimer();
    bool proxyAcceptsConnections() const;
    void releaseEngine();

    std::string m_proxyAddress;
    std::uint16_t m_proxyPort;
    std::uint32_t m_tunnelIp = 0;
    std::uint32_t m_proxyIp = 0;
    RoutingPolicy m_policy;
    std::atomic<std::uint32_t> m_originalInterfaceIndex{0};
    DnsNameCache m_names;
    ConnectionOwnerLookup m_owners;
    ReversePathFilter m_rpFilter;
    std::function<void()> m_healthCheckFailed;
    TunnelCounters m_counters;
    FlowCatalog m_catalog{m_names, m_owners};

    std::unique_ptr<CompletionPort> m_port;
    std::unique_ptr<CompletionDispatcher> m_dispatcher;
    std::unique_ptr<AsyncSocksClient> m_socks;
    std::unique_ptr<TunAdapter> m_adapter;
    PacketDevice *m_device = nullptr; // the adapter, or the device startEngine() was given
    std::unique_ptr<FirewallManager> m_firewall;
    FirewallManager::PermittedCgroups m_permittedCgroups;
    std::unique_ptr<TcpNatListener> m_listener;
    std::unique_ptr<TcpNatRelay> m_relay;
    std::unique_ptr<TcpConnectionTable> m_tcp;
    std::unique_ptr<UdpNat> m_udpNat;
    bool m_udpNatReady = false;
    std::unique_ptr<UdpFlowTable> m_flows;

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_proxyReady{true};
    std::mutex m_timerMutex;
    std::condition_variable m_timerCondition;
    bool m_timerCancel = false;
    std::thread m_readinessTimer;
};
