#pragma once
// The TUN mode's test world: NetnsFixture's two namespaces, "a" where the
// daemon runs with its TUN device, and "b" upstream holding real peers on
// addresses that only the tunnel's split routes reach from "a":
//   198.18.0.10  HTTP server (GET files, PUT /upload answers the SHA-256,
//                GET /whoami answers the peer address) and a TCP service on
//                port 9000 (SINK, SOURCE n, ECHO, TEN-THEN-CLOSE), UDP echo on 7,
//                UDP on 8 answering the sender's address
//   198.18.0.53  dnsmasq: www.kest.test -> 198.18.0.10, logs every query; UDP
//                on 8 answering the sender's address
//   10.231.0.2   dante on port 1080 (the proxy port, leaves from 198.18.0.1)
//                and on 1081 (the direct port, leaves from 198.18.0.2)
//   fd6b::2      the TCP service on port 9000 over IPv6 (the veth's far end;
//                the near end is fd6b::1)
// The upstream dante resolves names through the dnsmasq, so a CONNECT by name
// shows up in its query log. On demand, a "container": a namespace of its own
// behind the daemon's, joined by the veth c0 (172.31.0.1, in "a") / c1
// (172.31.0.2), its default route through "a", which forwards (as docker0
// does): its connections reach the TUN device with its own source address.
// Everything is removed at destruction.

#include "tests/support/NetnsFixture.h"

#include <string>

class TunTopology {
public:
    static constexpr const char *kServer = "198.18.0.10";
    static constexpr const char *kDnsServer = "198.18.0.53";
    static constexpr const char *kProxyExit = "198.18.0.1";
    static constexpr const char *kDirectPortExit = "198.18.0.2";
    static constexpr const char *kProxyHost = "10.231.0.2";
    static constexpr const char *kVethAddress = "10.231.0.1";
    static constexpr const char *kHostName = "www.kest.test";
    static constexpr const char *kFarIpv6 = "fd6b::2";
    static constexpr const char *kNearIpv6 = "fd6b::1";
    static constexpr int kProxyPort = 1080;
    static constexpr int kDirectPort = 1081;
    static constexpr int kTcpServicePort = 9000;
    static constexpr int kUdpEchoPort = 7;
    static constexpr int kUdpWhoamiPort = 8;
    static constexpr int kSilentProxyPort = 1090;
    static constexpr const char *kContainerAddress = "172.31.0.2";
    static constexpr const char *kContainerGateway = "172.31.0.1";
    static constexpr const char *kContainerVeth = "c0"; // the daemon's end

    TunTopology();
    ~TunTopology();
    TunTopology(const TunTopology &) = delete;
    TunTopology &operator=(const TunTopology &) = delete;

    bool ok() const { return m_ok; }
    const std::string &error() const { return m_error; }
    NetnsFixture &net() { return m_net; }
    const std::string &near() const { return m_net.a(); }
    const std::string &far() const { return m_net.b(); }
    // Scratch directory shared with the peers (server files, logs).
    const std::string &dir() const { return m_dir; }

    // Runs a shell command in the daemon's namespace.
    NetnsFixture::Result runNear(const std::string &command) const { return m_net.run(near(), command); }

    // The container namespace (see above); startContainer is idempotent.
    bool startContainer();
    void stopContainer();
    const std::string &container() const { return m_container; }
    NetnsFixture::Result runInContainer(const std::string &command) const { return m_net.run(m_container, command); }
    // A file of the given size of random bytes served at /name; its SHA-256.
    std::string makeServedFile(const std::string &name, std::size_t bytes);

    bool startProxy();
    // A SOCKS5 port on the proxy host that accepts and never answers; its pid.
    int startSilentProxy();
    void killProxy(); // SIGKILL, as a crash
    bool proxyRunning() const { return m_proxyPid > 0; }
    std::string dnsLog() const;
    // Where the HTTP server saw requests come from, in order.
    std::string httpLog() const;

private:
    bool build();
    int spawnDante(int port, const char *exitAddress);
    bool waitForPort(const std::string &ns, const std::string &host, int port);

    NetnsFixture m_net;
    std::string m_dir;
    std::string m_etcNetns;
    int m_proxyPid = -1;
    std::string m_container;
    std::string m_forwardingBefore;
    bool m_ok = false;
    std::string m_error;
};
