// The TUN mode end to end: the real kestd in its own network namespace with
// its TUN device, real peers upstream (dante, dnsmasq, an HTTP server), and
// ordinary programs (curl, dig, small socket clients) that use no proxy
// settings of their own.

#include "tests/support/DaemonHarness.h"
#include "tests/support/NftOwnerSocket.h"
#include "tests/support/TestCgroup.h"
#include "tests/support/UserClient.h"
#include "tests/tun/e2e/TunTopology.h"
#include "tools/KestClient.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
constexpr const char *kTunnelDns = "10.6.7.2"; // TUN IP + 1 of the default tunnel address

std::string readText(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

int countOf(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// A TCP connection from inside the daemon's namespace (made on a thread that
// entered it; the socket stays usable from any thread afterwards).
int connectFrom(NetnsFixture &net, const std::string &ns, const char *host, int port, int *error = nullptr)
{
    int fd = -1;
    int err = 0;
    net.runInside(ns, [&] {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, host, &to.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
            err = errno;
            ::close(fd);
            fd = -1;
        }
    });
    if (error)
        *error = err;
    return fd;
}

bool sendText(int fd, const std::string &text)
{
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
}

// A DNS query for a name, over UDP or TCP, optionally bound to a device with
// SO_BINDTODEVICE; prints "answered", "refused <errno>" or "timeout" (and
// writes it to a file when one is named).
constexpr const char *kDnsProbe = R"PY(
import socket, struct, sys
server, name, kind = sys.argv[1], sys.argv[2], sys.argv[3]
device = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] != "-" else None
query = struct.pack(">HHHHHH", 0x4b53, 0x0100, 1, 0, 0, 0)
query += b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0" + struct.pack(">HH", 1, 1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if kind == "udp" else socket.SOCK_STREAM)
if device:
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, device.encode())
s.settimeout(4)
try:
    s.connect((server, 53))
    if kind == "udp":
        s.send(query)
        answer = s.recv(4096)
    else:
        s.sendall(struct.pack(">H", len(query)) + query)
        answer = s.recv(4096)[2:]
    result = "answered" if len(answer) >= 12 and answer[:2] == b"\x4b\x53" else "garbled"
except socket.timeout:
    result = "timeout"
except OSError as e:
    result = "refused %d" % e.errno
print(result)
if len(sys.argv) > 5:
    open(sys.argv[5], "w").write(result)
)PY";

// A TCP echo service on port 9100 of the daemon's namespace, and a client for
// it that connects from a given source address.
constexpr const char *kEchoService = R"PY(
import socket, sys, threading
if sys.argv[1] == "serve":
    l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind(("0.0.0.0", int(sys.argv[2]))); l.listen(16)
    def echo(c):
        with c:
            d = c.recv(100)
            if d: c.sendall(d)
    while True:
        c, _ = l.accept()
        threading.Thread(target=echo, args=(c,), daemon=True).start()
else:
    s = socket.socket(); s.settimeout(4)
    s.bind((sys.argv[2], 0))
    try:
        s.connect((sys.argv[3], int(sys.argv[4]))); s.sendall(b"knock")
        print("echo" if s.recv(100) == b"knock" else "garbled")
    except OSError as e:
        print("failed", e)
)PY";

// Clients run inside the container: a slow reader (4 KiB receive buffer, 4 KiB
// every 5 ms) that prints the SHA-256 of an HTTP body; N parallel echo
// connections that print how many came back intact; a connect to a refused
// destination that prints whether it failed with ECONNREFUSED within a second.
constexpr const char *kContainerClients = R"PY(
import hashlib, socket, sys, threading, time
kind = sys.argv[1]
if kind == "slow":
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096); s.settimeout(30)
    s.connect((sys.argv[2], 80))
    s.sendall(("GET %s HTTP/1.0\r\nHost: x\r\n\r\n" % sys.argv[3]).encode())
    data = b""
    while True:
        d = s.recv(4096)
        if not d: break
        data += d; time.sleep(0.005)
    print(hashlib.sha256(data.split(b"\r\n\r\n", 1)[1]).hexdigest())
elif kind == "parallel":
    host, port, n = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]); ok = []
    def one(i):
        try:
            s = socket.create_connection((host, port), timeout=20)
            token = b"connection-%d" % i
            s.sendall(b"ECHO\n" + token); got = b""
            while len(got) < len(token):
                d = s.recv(100)
                if not d: break
                got += d
            s.close()
            if got == token: ok.append(i)
        except OSError:
            pass
    threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in threads: t.start()
    for t in threads: t.join()
    print(len(ok))
else:
    start = time.monotonic()
    try:
        socket.create_connection((sys.argv[2], int(sys.argv[3])), timeout=5); print("connected")
    except ConnectionRefusedError:
        print("refused fast" if time.monotonic() - start < 1 else "refused slowly")
    except OSError as e:
        print("failed", e)
)PY";

// True when the peer ended the connection (EOF or reset) within the time.
bool endsWithin(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll(&p, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                return true;
        }
    }
    return false;
}

// The first tool of the topology that is not installed, or "".
std::string missingTool()
{
    for (const char *tool : {"danted", "dnsmasq", "python3"}) {
        bool found = false;
        for (const char *dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"})
            found = found || ::access((std::string(dir) + tool).c_str(), X_OK) == 0;
        if (!found)
            return tool;
    }
    return {};
}
} // namespace

class TunEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!NetnsFixture::isRoot() || !missingTool().empty())
            return;
        s_topology = new TunTopology();
    }
    static void TearDownTestSuite()
    {
        delete s_topology;
        s_topology = nullptr;
    }

    void SetUp() override
    {
        if (!NetnsFixture::isRoot())
            GTEST_SKIP() << "TUN end-to-end tests need root (network namespaces, TUN devices)";
        if (const std::string tool = missingTool(); !tool.empty())
            GTEST_SKIP() << "TUN end-to-end tests need " << tool << " (packages dante-server, dnsmasq, python3)";
        ASSERT_TRUE(s_topology && s_topology->ok()) << (s_topology ? s_topology->error() : "no topology");
        ASSERT_TRUE(s_topology->startProxy());
        m_resolvConf = s_topology->dir() + "/resolv.conf";
        std::ofstream(m_resolvConf) << "nameserver 192.0.2.53\n";
        std::ofstream(s_topology->dir() + "/dnsprobe.py") << kDnsProbe;
        std::ofstream(s_topology->dir() + "/echo.py") << kEchoService;
        m_cgroup = std::make_unique<TestCgroup>("kestd-e2e-");
        ASSERT_TRUE(m_cgroup->ok()) << "no cgroup v2 hierarchy under /sys/fs/cgroup";
        ASSERT_TRUE(startDaemon());
    }

    void TearDown() override
    {
        stopWatcher();
        m_client.reset();
        m_daemon.reset();
        m_cgroup.reset();
    }

    TunTopology &topo() { return *s_topology; }
    NetnsFixture &net() { return s_topology->net(); }

    bool startDaemon(const QStringList &extraEnvironment = {})
    {
        DaemonHarness::Options options;
        options.environment = extraEnvironment;
        options.openToEveryUser = true; // for the tests' clients of other users
        // The TUN state file outlives each daemon, so a restarted one finds what a killed one left.
        options.environment << QString::fromStdString("KESTD_RESOLV_CONF=" + m_resolvConf)
                            << QString::fromStdString("KESTD_TUN_STATE=" + topo().dir() + "/tun-state")
                            << "QT_LOGGING_RULES=kestd.debug=true";
        m_daemon = std::make_unique<DaemonHarness>(options);
        bool started = false;
        {
            // The daemon inherits the namespace of the thread that starts it.
            NetnsFixture::Enter inside(topo().near());
            if (!inside.ok())
                return false;
            started = m_daemon->start();
        }
        if (!started || !m_cgroup->add(m_daemon->pid()))
            return false;
        m_client = std::make_unique<KestClient>();
        return m_client->connectTo(m_daemon->socketPath()) && startWatcher();
    }

    // A second client that keeps heartbeating, as the desktop client would, so
    // the TUN mode outlives the test's own short requests.
    bool startWatcher()
    {
        const QByteArray socket = m_daemon->socketPath().toLocal8Bit();
        m_watcher = fork();
        if (m_watcher == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execl(KESTCTL_BINARY, "kestctl", "--socket", socket.constData(), "watch", static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return m_watcher > 0;
    }

    void stopWatcher()
    {
        if (m_watcher > 0) {
            kill(m_watcher, SIGTERM);
            waitpid(m_watcher, nullptr, 0);
            m_watcher = -1;
        }
    }

    // The test's own client idles between requests and may have been timed
    // out meanwhile (the watcher keeps the TUN mode up): it reconnects then.
    QJsonObject request(QJsonObject message, int timeoutMs = 15000)
    {
        auto reply = m_client->request(message, timeoutMs);
        if (!reply && m_client->connectTo(m_daemon->socketPath()))
            reply = m_client->request(message, timeoutMs);
        return reply ? *reply : QJsonObject{{"no-reply", m_client->lastError()}};
    }

    template <typename Condition>
    static bool waitUntil(Condition condition, int timeoutMs = 5000)
    {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return condition();
    }

    QJsonObject startTun(QJsonObject extra = {})
    {
        QJsonObject message{{"action", "start-tun"},
                            {"proxy-ip", TunTopology::kProxyHost},
                            {"proxy-port", TunTopology::kProxyPort},
                            {"direct-port", TunTopology::kDirectPort},
                            {"dns-redirect-ip", TunTopology::kDnsServer}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            message.insert(it.key(), it.value());
        return request(message);
    }

    std::string near(const std::string &command) { return topo().runNear(command).output; }
    std::string routes() { return near("ip route show table main; ip rule show"); }
    std::string allRoutes() { return near("ip -4 route show table all; ip rule show"); }
    std::string tables() { return near("nft list tables"); }
    std::string dnsProbe(const std::string &server, const std::string &name, const std::string &kind,
                         const std::string &device = NetnsFixture::kVethA)
    {
        return trimmed(near("python3 " + topo().dir() + "/dnsprobe.py " + server + " " + name + " " + kind + " " + device));
    }
    std::string links() { return near("ip -o link show | cut -d: -f2"); }
    std::string whoami(const std::string &curl = "curl")
    {
        return trimmed(near(curl + " -sS -m 10 http://" + std::string(TunTopology::kServer) + "/whoami"));
    }

    static TunTopology *s_topology;
    std::string m_resolvConf;
    std::unique_ptr<DaemonHarness> m_daemon;
    std::unique_ptr<KestClient> m_client;
    std::unique_ptr<TestCgroup> m_cgroup;
    pid_t m_watcher = -1;
};

TunTopology *TunEndToEnd::s_topology = nullptr;

// Run as it stands through the offloaded device, its io_uring reader and the
// zero-copy relay, and once more (ctest's TunEndToEndWithoutOffloads) with all
// three switched off.
TEST_F(TunEndToEnd, DownloadAndUploadOf100MBThroughTheProxyKeepTheirChecksums)
{
    const std::string sum = topo().makeServedFile("big.bin", 100'000'000);
    ASSERT_EQ(startTun().value("success").toBool(), true);
    const char *offload = std::getenv("KESTD_TUN_OFFLOAD");
    const bool offloadOff = offload && std::string(offload) == "0";
    EXPECT_TRUE(m_daemon->waitForLog(offloadOff ? "[TUN] Segmentation offload switched off"
                                                : "[TUN] Segmentation offload on", 5000))
        << m_daemon->stderrText().toStdString();
    const char *ring = std::getenv("KESTD_TUN_RING");
    EXPECT_TRUE(m_daemon->waitForLog(ring && std::string(ring) == "0" ? "[TUN] Packet reader on read and poll"
                                                                      : "[TUN] Packet reader on io_uring",
                                     5000))
        << m_daemon->stderrText().toStdString();

    const std::string url = std::string("http://") + TunTopology::kServer;
    EXPECT_EQ(trimmed(near("curl -sS -m 120 " + url + "/big.bin | sha256sum | cut -d' ' -f1")), sum)
        << "the download through the tunnel changed bytes";
    EXPECT_EQ(trimmed(near("curl -sS -m 120 -T " + topo().dir() + "/www/big.bin " + url + "/upload")), sum)
        << "the upload through the tunnel changed bytes";
    const std::string log = topo().httpLog();
    EXPECT_NE(log.find(std::string("GET /big.bin ") + TunTopology::kProxyExit), std::string::npos) << log;
    EXPECT_NE(log.find(std::string("PUT /upload ") + TunTopology::kProxyExit), std::string::npos) << log;
}

TEST_F(TunEndToEnd, DnsToTunnelAddressIsAnsweredViaTheDirectPortAndTheNameIsUsedForConnect)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    const std::string answer = trimmed(near(std::string("dig +short +time=3 +tries=1 @") + kTunnelDns + " " +
                                            TunTopology::kHostName + " A"));
    EXPECT_EQ(answer, TunTopology::kServer) << "no answer from TUN IP + 1";
    // dig checks that the answer came from the address it asked.
    const std::string dns = topo().dnsLog();
    EXPECT_NE(dns.find(std::string("query[A] ") + TunTopology::kHostName + " from " + TunTopology::kDirectPortExit),
              std::string::npos)
        << "the query did not leave through the direct port's dante: " << dns;

    const int queriesBefore = countOf(topo().dnsLog(), std::string("query[A] ") + TunTopology::kHostName);
    EXPECT_EQ(whoami(), TunTopology::kProxyExit);
    // The CONNECT named the host, so the proxy resolved it itself.
    EXPECT_GT(countOf(topo().dnsLog(), std::string("query[A] ") + TunTopology::kHostName), queriesBefore)
        << "the proxy was not asked to connect by name";
}

TEST_F(TunEndToEnd, DirectProcessesExcludedAppsAndBypassIpsGoDirectEverythingElseThroughTheProxy)
{
    const std::string byName = topo().dir() + "/curl-direct";
    const std::string byPath = topo().dir() + "/curl-excluded";
    near("cp /usr/bin/curl " + byName + " && cp /usr/bin/curl " + byPath);
    ASSERT_EQ(startTun(QJsonObject{{"direct-processes", QJsonArray{"curl-direct"}},
                                   {"excluded-apps", QJsonArray{QString::fromStdString(byPath)}}})
                  .value("success")
                  .toBool(),
              true);
    EXPECT_EQ(whoami(byName), TunTopology::kVethAddress) << "a direct process went through the proxy";
    EXPECT_EQ(whoami(byPath), TunTopology::kVethAddress) << "an excluded app went through the proxy";
    EXPECT_EQ(whoami(), TunTopology::kProxyExit) << "an ordinary program did not go through the proxy";

    ASSERT_EQ(request(QJsonObject{{"action", "stop-tun"}}).value("success").toBool(), true);
    ASSERT_EQ(startTun(QJsonObject{{"bypass-ips", QJsonArray{TunTopology::kServer, "junk", 7}}})
                  .value("success")
                  .toBool(),
              true);
    EXPECT_EQ(whoami(), TunTopology::kVethAddress) << "a bypass destination went through the proxy";
}

TEST_F(TunEndToEnd, StopTunLastClientAndSigtermEachRestoreRoutesAndResolver)
{
    const std::string routesBefore = routes();
    const std::string resolverBefore = readText(m_resolvConf);

    ASSERT_EQ(startTun().value("success").toBool(), true);
    EXPECT_NE(routes().find("0.0.0.0/1 dev"), std::string::npos) << routes();
    EXPECT_NE(readText(m_resolvConf).find(kTunnelDns), std::string::npos);
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("running").toBool(), true);
    EXPECT_NE(tables().find("table inet kestd"), std::string::npos);
    EXPECT_EQ(request(QJsonObject{{"action", "stop-tun"}}).value("success").toBool(), true);
    EXPECT_EQ(routes(), routesBefore) << "stop-tun left routes behind";
    EXPECT_EQ(readText(m_resolvConf), resolverBefore) << "stop-tun left the resolver changed";
    EXPECT_EQ(tables(), "") << "stop-tun left the firewall table";

    // The last client's departure.
    ASSERT_EQ(startTun().value("success").toBool(), true);
    stopWatcher();
    m_client->close();
    EXPECT_TRUE(waitUntil([&] { return routes() == routesBefore; }));
    EXPECT_EQ(routes(), routesBefore) << "the last client's departure left routes behind";
    EXPECT_EQ(readText(m_resolvConf), resolverBefore);

    // SIGTERM, as systemctl stop.
    ASSERT_TRUE(m_client->connectTo(m_daemon->socketPath()));
    ASSERT_TRUE(startWatcher());
    ASSERT_EQ(startTun().value("success").toBool(), true);
    EXPECT_EQ(m_daemon->stop(), 0);
    EXPECT_EQ(routes(), routesBefore) << "SIGTERM left routes behind";
    EXPECT_EQ(readText(m_resolvConf), resolverBefore);
    EXPECT_EQ(tables(), "") << "SIGTERM left the firewall table";
    EXPECT_NE(m_daemon->stderrText().indexOf("Stopping TUN..."), -1);
}

TEST_F(TunEndToEnd, SigkilledDaemonLeavesNoTunDeviceNorFilterAndTheNextStartUndoesEverythingElse)
{
    const std::string key = std::string("net.ipv4.conf.") + NetnsFixture::kVethA + ".rp_filter";
    near("sysctl -q -w " + key + "=1");
    const std::string resolverBefore = readText(m_resolvConf);
    const std::string routesBefore = allRoutes();
    ASSERT_EQ(startTun().value("success").toBool(), true);
    ASSERT_NE(links().find("kest"), std::string::npos);
    // A managed process started after the filters: it must not hold them.
    const QJsonObject core = request(QJsonObject{
        {"action", "start"}, {"process-id", "core"}, {"executable", "/bin/sleep"}, {"arguments", QJsonArray{"60"}}});
    ASSERT_EQ(core.value("status").toString(), "started");
    const pid_t corePid =
        pid_t(request(QJsonObject{{"action", "status"}, {"process-id", "core"}}).value("pid").toInteger());
    ASSERT_GT(corePid, 0);
    m_daemon->signal(SIGKILL);
    m_daemon->waitExit(5000);
    stopWatcher();
    EXPECT_EQ(links().find("kest"), std::string::npos) << "a TUN device outlived the daemon: " << links();
    EXPECT_EQ(routes().find("0.0.0.0/1"), std::string::npos) << "a split route outlived the daemon";
    EXPECT_EQ(tables(), "") << "the firewall table outlived the daemon (its managed process still runs)";
    EXPECT_EQ(::kill(corePid, 0), 0) << "the managed process";
    EXPECT_NE(readText(m_resolvConf), resolverBefore) << "(the killed daemon could not restore it)";
    EXPECT_NE(allRoutes(), routesBefore) << "(the killed daemon could not remove its proxy route and rules)";
    EXPECT_EQ(trimmed(near("sysctl -n " + key)), "2") << "(nor put back the strict filter)";

    ASSERT_TRUE(startDaemon());
    EXPECT_EQ(allRoutes(), routesBefore) << "the next start did not undo the routes and rules";
    EXPECT_EQ(readText(m_resolvConf), resolverBefore) << "the next start did not restore the resolver";
    EXPECT_EQ(trimmed(near("sysctl -n " + key)), "1") << "the next start did not restore the filter";
    near("sysctl -q -w " + key + "=0");
    ::kill(corePid, SIGKILL); // the killed daemon's core, which nothing else ends
}

TEST_F(TunEndToEnd, ResetConnectionsEndsOpenConnectionsRefusesSynsForASecondThenServes)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    const int open = connectFrom(net(), topo().near(), TunTopology::kServer, TunTopology::kTcpServicePort);
    ASSERT_GE(open, 0);
    ASSERT_TRUE(sendText(open, "ECHO\nping"));
    char echo[4] = {};
    ASSERT_EQ(::recv(open, echo, 4, MSG_WAITALL), 4);

    EXPECT_EQ(request(QJsonObject{{"action", "reset-connections"}}).value("status").toString(), "success");
    EXPECT_TRUE(endsWithin(open, 3000)) << "an open proxied connection survived the reset";
    ::close(open);

    int error = 0;
    const int refused = connectFrom(net(), topo().near(), TunTopology::kServer, TunTopology::kTcpServicePort, &error);
    EXPECT_LT(refused, 0) << "a connection was accepted right after the reset";
    EXPECT_EQ(error, ECONNREFUSED) << "the SYN was not answered with RST+ACK";
    if (refused >= 0)
        ::close(refused);
    // UDP is dropped in that second as well.
    std::string udpAnswer = "none";
    net().runInside(topo().near(), [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        timeval tv{0, 300000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(TunTopology::kUdpEchoPort);
        inet_pton(AF_INET, TunTopology::kServer, &to.sin_addr);
        ::sendto(fd, "during", 6, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        char buffer[16];
        if (::recv(fd, buffer, sizeof buffer, 0) > 0)
            udpAnswer = "answered";
        ::close(fd);
    });
    EXPECT_EQ(udpAnswer, "none") << "a UDP datagram passed while new traffic is refused";

    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(whoami(), TunTopology::kProxyExit) << "no new connection after the readiness delay";
}

TEST_F(TunEndToEnd, ProxyKilledMidTransferEndsConnectionsAndTheDaemonServesOnceItIsBack)
{
    topo().makeServedFile("slow.bin", 60'000'000);
    ASSERT_EQ(startTun().value("success").toBool(), true);
    const std::string url = std::string("http://") + TunTopology::kServer + "/slow.bin";
    const int transfer = net().spawn(topo().near(), "exec curl -sS -m 60 --limit-rate 4M -o /dev/null " + url);
    // What is buffered on the way when the proxy dies (socket buffers grown
    // for super-packets: several MB) still drains at that rate; the exit
    // status, not the time, tells an ended transfer from a finished one.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    topo().killProxy();

    int status = 0;
    bool ended = false;
    for (int i = 0; i < 300 && !ended; ++i) {
        ended = waitpid(transfer, &status, WNOHANG) == transfer;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(ended) << "the transfer did not end when the proxy died";
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the transfer reported success";
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("running").toBool(), true);

    ASSERT_TRUE(topo().startProxy());
    EXPECT_EQ(whoami(), TunTopology::kProxyExit) << "no service after the proxy came back";
}

TEST_F(TunEndToEnd, ResetFindingTheProxyDownPushesServerDead)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    topo().killProxy();
    EXPECT_EQ(request(QJsonObject{{"action", "reset-connections"}}).value("status").toString(), "success");
    const auto event = m_client->waitEvent("server-dead", 6000);
    EXPECT_TRUE(event.has_value()) << "no server-dead event after the health check failed";
}

TEST_F(TunEndToEnd, SecondStartIsRefusedAndJunkKeysTakeTheirDefaults)
{
    const QJsonObject first = startTun(QJsonObject{{"adapter-name", 42}, {"bypass-ips", "not-an-array"},
                                                   {"direct-processes", QJsonArray{1, QJsonObject{}, ""}},
                                                   {"proxy-processes", QJsonValue::Null}});
    ASSERT_EQ(first.value("success").toBool(), true) << QJsonDocument(first).toJson().toStdString();
    EXPECT_EQ(first.value("adapter-name").toString(), "kest-default-tun");
    const QJsonObject second = startTun(QJsonObject{{"adapter-name", "other"}});
    EXPECT_EQ(second.value("success").toBool(true), false);
    EXPECT_EQ(second.value("error").toString(), "TUN already running");
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("adapter-name").toString(), "kest-default-tun");
    EXPECT_EQ(whoami(), TunTopology::kProxyExit);
}

// Random and truncated IPv4 packets routed into the TUN (the kernel fills in
// only the IP checksum and length) must leave the daemon serving.
TEST_F(TunEndToEnd, MalformedPacketsFromTheTunLeaveTheDaemonServing)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    bool sent = false;
    net().runInside(topo().near(), [&] {
        const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
        if (raw < 0)
            return;
        std::mt19937 random(1234);
        std::uint8_t packet[1500];
        for (int i = 0; i < 20000; ++i) {
            const std::size_t length = 20 + random() % (i % 3 == 0 ? 40 : 1480);
            for (std::size_t b = 0; b < length; ++b)
                packet[b] = std::uint8_t(random());
            packet[0] = std::uint8_t(0x40 | (random() % 16)); // IPv4, any header length
            const std::uint8_t protocols[] = {6, 17, 1, 47, std::uint8_t(random())};
            packet[9] = protocols[random() % 5];
            // Not a fragment: the firewall's connection tracking would hold fragments
            // back for a reassembly that never completes, and they would not reach the TUN.
            packet[6] &= 0x40, packet[7] = 0;
            packet[12] = 10, packet[13] = 6, packet[14] = 7, packet[15] = 1; // from the tunnel address
            const std::uint32_t destination = 0xC6120000 | (random() & 0xFFFF); // 198.18.x.y, routed into the TUN
            const std::uint32_t wire = htonl(destination);
            std::memcpy(packet + 16, &wire, 4);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(destination);
            ::sendto(raw, packet, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        }
        ::close(raw);
        sent = true;
    });
    ASSERT_TRUE(sent) << "no raw socket";
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("running").toBool(), true);
    EXPECT_EQ(whoami(), TunTopology::kProxyExit) << "the daemon stopped serving after malformed packets";
    // Each is counted under the reason it was dropped for.
    QJsonObject status;
    const auto dropped = [&](const char *reason) { return status.value("dropped")[reason].toInteger(); };
    EXPECT_TRUE(waitUntil([&] {
        status = request(QJsonObject{{"action", "tun-status"}});
        return dropped("malformed") > 0 && dropped("unsupported-protocol") > 0;
    })) << QJsonDocument(status).toJson().toStdString();
    EXPECT_FALSE(m_daemon->waitExit(0).has_value()) << "the daemon died";
}

TEST_F(TunEndToEnd, UdpThroughTheProxySurvivesTheProxyEndingItsControlConnection)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    // One socket, so both exchanges belong to the same flow.
    const std::string script = std::string("import socket, sys, time\n"
                                           "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                           "s.settimeout(3)\n"
                                           "s.bind(('0.0.0.0', 47001))\n"
                                           "s.sendto(b'one', ('") + TunTopology::kServer + "', 7))\n"
                                           "print(s.recvfrom(100))\n"
                                           "open('" + topo().dir() + "/udp-step', 'w').write('1')\n"
                                           "while open('" + topo().dir() + "/udp-step').read() != '2': time.sleep(0.05)\n"
                                           "for i in range(20):\n"
                                           "    s.sendto(b'two', ('" + TunTopology::kServer + "', 7))\n"
                                           "    try:\n"
                                           "        print(s.recvfrom(100)); break\n"
                                           "    except socket.timeout: pass\n";
    std::ofstream(topo().dir() + "/udp.py") << script;
    std::ofstream(topo().dir() + "/udp-step") << "0";
    const std::string out = topo().dir() + "/udp.out";
    const int client = net().spawn(topo().near(), "exec python3 " + topo().dir() + "/udp.py > " + out + " 2>&1");
    ASSERT_TRUE(waitUntil([&] { return readText(topo().dir() + "/udp-step") == "1"; }, 8000)) << readText(out);
    topo().killProxy();
    ASSERT_TRUE(topo().startProxy());
    std::ofstream(topo().dir() + "/udp-step") << "2";
    int status = 0;
    waitUntil([&] { return waitpid(client, &status, WNOHANG) == client; }, 70000);
    const std::string answers = readText(out);
    EXPECT_NE(answers.find("(b'one', ('198.18.0.10', 7))"), std::string::npos) << answers;
    EXPECT_NE(answers.find("(b'two', ('198.18.0.10', 7))"), std::string::npos)
        << "the flow did not recover after the proxy ended the association: " << answers;
}

TEST_F(TunEndToEnd, TenThousandUdpFlowsFromDistinctPortsLeaveTheDaemonBoundedAndServing)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    const std::string script = std::string("import socket\n"
                                           "for batch in range(20):\n"
                                           "    socks = []\n"
                                           "    for i in range(500):\n"
                                           "        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                           "        s.sendto(b'x', ('") + TunTopology::kServer + "', 7))\n"
                                           "        socks.append(s)\n"
                                           "    for s in socks: s.close()\n";
    std::ofstream(topo().dir() + "/flows.py") << script;
    const auto started = std::chrono::steady_clock::now();
    near("python3 " + topo().dir() + "/flows.py");
    // Every datagram is taken by the daemon's one reader thread in turn.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int descriptors =
        std::stoi(near("ls /proc/" + std::to_string(m_daemon->pid()) + "/fd | wc -l"));
    RecordProperty("seconds", std::to_string(seconds));
    EXPECT_LT(descriptors, 3000) << "UDP sessions are not bounded";
    EXPECT_EQ(whoami(), TunTopology::kProxyExit) << "no TCP service after 10 000 UDP flows";
    EXPECT_EQ(trimmed(near(std::string("dig +short +time=3 +tries=2 @") + kTunnelDns + " " + TunTopology::kHostName)),
              TunTopology::kServer)
        << "no DNS service after 10 000 UDP flows";
}

// Two downloads at once, an ordinary program of another user through the proxy
// and a direct process of root's, after a DNS answer through the tunnel named
// their server: each is listed with its owner, host, route and growing bytes;
// the other user sees only its own; the totals cover both transfers.
TEST_F(TunEndToEnd, ConnectionListingShowsEachDownloadAndAnotherUserOnlyItsOwnWhileTheTotalsAddUp)
{
    // No polkit to ask: the other user is not authorized.
    m_client.reset();
    stopWatcher();
    m_daemon.reset();
    ASSERT_TRUE(startDaemon({"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/kestd-test-bus"}));
    // Large enough that the downloads outlast what the socket buffers take at once.
    constexpr std::size_t kFileBytes = 40'000'000;
    topo().makeServedFile("slow.bin", kFileBytes);
    const std::string direct = topo().dir() + "/curl-direct";
    near("cp /usr/bin/curl " + direct);
    ASSERT_EQ(startTun(QJsonObject{{"direct-processes", QJsonArray{"curl-direct"}}}).value("success").toBool(), true);
    ASSERT_EQ(trimmed(near(std::string("dig +short +time=3 +tries=1 @") + kTunnelDns + " " + TunTopology::kHostName)),
              TunTopology::kServer);

    const std::string url = std::string(" -sS -m 90 --limit-rate 2M -o /dev/null http://") + TunTopology::kServer +
                            "/slow.bin";
    const int proxied = net().spawn(topo().near(), "exec setpriv --reuid=65534 --regid=65534 --clear-groups curl" + url);
    const int directed = net().spawn(topo().near(), "exec " + direct + url);
    const auto listing = [&] { return request(QJsonObject{{"action", "tun-connections"}}); };
    const auto downloads = [&](const QJsonObject &reply) {
        std::map<std::string, QJsonObject> byRoute;
        for (const QJsonValue &flow : reply.value("connections").toArray())
            if (flow["protocol"] == "tcp" && flow["destination"] == TunTopology::kServer &&
                flow["destination-port"] == 80 && flow["bytes-down"].toInteger() > 0)
                byRoute[flow["route"].toString().toStdString()] = flow.toObject();
        return byRoute;
    };
    QJsonObject first;
    ASSERT_TRUE(waitUntil([&] { return downloads(first = listing()).size() == 2; }, 10000))
        << QJsonDocument(first).toJson().toStdString();
    EXPECT_EQ(first.value("success").toBool(), true);
    EXPECT_EQ(first.value("total").toInteger(), first.value("connections").toArray().size());
    const QJsonObject viaProxy = downloads(first)["proxy"];
    const QJsonObject viaDirect = downloads(first)["direct"];
    EXPECT_EQ(viaProxy["process"].toString().toStdString(), near("readlink -fn /usr/bin/curl"));
    EXPECT_EQ(viaDirect["process"].toString().toStdString(), direct);
    for (const QJsonObject &flow : {viaProxy, viaDirect}) {
        EXPECT_EQ(flow["host"], TunTopology::kHostName);
        EXPECT_EQ(flow["source"], "10.6.7.1");
        EXPECT_GT(flow["bytes-up"].toInteger(), 0) << "the request was not counted";
        EXPECT_GE(flow["age-ms"].toInteger(), 0);
    }
    QJsonObject later;
    EXPECT_TRUE(waitUntil([&] {
        const auto now = downloads(later = listing());
        return now.size() == 2 && now.at("proxy")["bytes-down"].toInteger() > viaProxy["bytes-down"].toInteger() &&
               now.at("direct")["bytes-down"].toInteger() > viaDirect["bytes-down"].toInteger();
    })) << "the byte counts did not grow";

    UserClient nobody;
    ASSERT_TRUE(nobody.connectTo(m_daemon->socketPath()));
    const auto own = nobody->request(QJsonObject{{"action", "tun-connections"}}, 15000);
    ASSERT_TRUE(own.has_value());
    const QJsonArray ownFlows = own->value("connections").toArray();
    EXPECT_EQ(own->value("total").toInteger(), ownFlows.size());
    ASSERT_EQ(ownFlows.size(), 1) << QJsonDocument(*own).toJson().toStdString();
    EXPECT_EQ(ownFlows[0]["source-port"], viaProxy["source-port"]) << "another user saw a flow not of its own";

    int status = 0;
    EXPECT_EQ(waitpid(proxied, &status, 0), proxied);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(waitpid(directed, &status, 0), directed);
    EXPECT_EQ(status, 0);
    const QJsonObject totals = request(QJsonObject{{"action", "tun-status"}});
    EXPECT_GE(totals.value("bytes-down").toInteger(), qint64(2 * kFileBytes)) << QJsonDocument(totals).toJson().toStdString();
    EXPECT_GE(totals.value("bytes-up").toInteger(),
              viaProxy["bytes-up"].toInteger() + viaDirect["bytes-up"].toInteger());
    EXPECT_GE(totals.value("dns-answered").toInteger(), 1);
    EXPECT_TRUE(totals.value("tcp-relays").isDouble() && totals.value("udp-sessions").isDouble());
    EXPECT_EQ(totals.value("dropped").toObject().size(), 7);

    ASSERT_EQ(request(QJsonObject{{"action", "stop-tun"}}).value("success").toBool(), true);
    EXPECT_EQ(listing(), (QJsonObject{{"success", false}, {"error", "TUN not running"}}));
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("bytes-up"), QJsonValue::Undefined);
}

TEST_F(TunEndToEnd, KestctlStartsTheTunModeWithKeyValuesAndJsonArrays)
{
    const std::string ctl = std::string(KESTCTL_BINARY) + " --socket " + m_daemon->socketPath().toStdString();
    const NetnsFixture::Result started = topo().runNear(
        ctl + " start-tun proxy-ip=" + TunTopology::kProxyHost + " proxy-port=" +
        std::to_string(TunTopology::kProxyPort) + " direct-port=" + std::to_string(TunTopology::kDirectPort) +
        " dns-redirect-ip=" + TunTopology::kDnsServer + " 'bypass-ips=[\"" + TunTopology::kServer + "\"]'");
    EXPECT_EQ(started.exitCode, 0) << started.output;
    EXPECT_NE(started.output.find("\"success\": true"), std::string::npos) << started.output;
    EXPECT_EQ(whoami(), TunTopology::kVethAddress) << "the bypass-ips array did not arrive as an array";
    const NetnsFixture::Result status = topo().runNear(ctl + " tun-status");
    EXPECT_NE(status.output.find("\"running\": true"), std::string::npos) << status.output;
    const NetnsFixture::Result stopped = topo().runNear(ctl + " stop-tun");
    EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
    EXPECT_EQ(topo().runNear(ctl + " stop-tun").exitCode, 1) << "stop-tun while stopped is a failure reply";
}

TEST_F(TunEndToEnd, StrictReversePathFilterIsLoosenedForDirectConnectionsAndRestoredAtStop)
{
    const std::string key = std::string("net.ipv4.conf.") + NetnsFixture::kVethA + ".rp_filter";
    near("sysctl -q -w " + key + "=1");
    const std::string byName = topo().dir() + "/curl-direct";
    near("cp /usr/bin/curl " + byName);
    ASSERT_EQ(startTun(QJsonObject{{"direct-processes", QJsonArray{"curl-direct"}}}).value("success").toBool(), true);
    EXPECT_EQ(trimmed(near("sysctl -n " + key)), "2") << "a strict filter would drop the direct replies";
    EXPECT_EQ(whoami(byName), TunTopology::kVethAddress) << "no direct connection with strict filtering";
    EXPECT_EQ(request(QJsonObject{{"action", "stop-tun"}}).value("success").toBool(), true);
    EXPECT_EQ(trimmed(near("sysctl -n " + key)), "1") << "the strict filter was not put back";
    near("sysctl -q -w " + key + "=0");
}

TEST_F(TunEndToEnd, DnsPastTheTunnelIsRefusedAtOnceWhileTheTunnelsDnsTheManagedProcessesAndTheDaemonStillResolve)
{
    const std::string server = TunTopology::kDnsServer;
    EXPECT_EQ(dnsProbe(server, "before.kest.test", "udp"), "answered") << "no bound DNS before the TUN mode";
    const std::string digDirect = topo().dir() + "/dig-direct";
    near("cp /usr/bin/dig " + digDirect);
    ASSERT_EQ(startTun(QJsonObject{{"direct-processes", QJsonArray{"dig-direct"}}}).value("success").toBool(), true);
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("dns-protection").toBool(), true);

    // Bound to the physical link, past the tunnel: refused at once, never sent.
    EXPECT_EQ(dnsProbe(server, "leak-udp.kest.test", "udp").rfind("refused", 0), 0u);
    EXPECT_EQ(dnsProbe(server, "leak-tcp.kest.test", "tcp"), "refused 111");
    EXPECT_EQ(topo().dnsLog().find("leak-"), std::string::npos) << "a refused query reached the resolver";
    // The tunnel's own DNS answers.
    EXPECT_EQ(trimmed(near(std::string("dig +short +time=3 +tries=1 @") + kTunnelDns + " " + TunTopology::kHostName)),
              TunTopology::kServer);

    // A managed process (the proxy core's place) still reaches the resolver past the tunnel.
    const std::string managedResult = topo().dir() + "/managed.result";
    ASSERT_EQ(request(QJsonObject{{"action", "start"}, {"process-id", "core"}, {"executable", "/usr/bin/python3"},
                                  {"arguments", QJsonArray{QString::fromStdString(topo().dir() + "/dnsprobe.py"),
                                                           TunTopology::kDnsServer, "managed.kest.test", "udp",
                                                           NetnsFixture::kVethA, QString::fromStdString(managedResult)}}})
                  .value("status")
                  .toString(),
              "started");
    EXPECT_TRUE(waitUntil([&] { return !readText(managedResult).empty(); }, 8000));
    EXPECT_EQ(readText(managedResult), "answered") << "the managed process's DNS was refused";
    // The daemon's own direct connection to port 53 (for a direct process's TCP query).
    EXPECT_EQ(trimmed(near(digDirect + " +tcp +short +time=3 +tries=1 @" + server + " " + TunTopology::kHostName)),
              TunTopology::kServer);
    EXPECT_NE(topo().dnsLog().find("query[A] www.kest.test from 10.231.0.1"), std::string::npos)
        << "the direct query did not leave by the physical link";

    ASSERT_EQ(request(QJsonObject{{"action", "stop-tun"}}).value("success").toBool(), true);
    EXPECT_EQ(tables(), "");
    EXPECT_EQ(dnsProbe(server, "after.kest.test", "udp"), "answered") << "bound DNS not back after stop-tun";
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("dns-protection").toBool(true), false);
}

TEST_F(TunEndToEnd, Ipv6IsRefusedWhileTheTunModeRunsAndWorksAgainAfterStopTun)
{
    const std::string connect =
        std::string("timeout 5 bash -c 'echo ECHO > /dev/tcp/") + TunTopology::kFarIpv6 + "/" +
        std::to_string(TunTopology::kTcpServicePort) + "' 2>&1; echo rc=$?";
    EXPECT_NE(near(connect).find("rc=0"), std::string::npos) << "no IPv6 before the TUN mode";
    ASSERT_EQ(startTun().value("success").toBool(), true);
    const std::string refused = near(connect);
    EXPECT_EQ(refused.find("rc=0"), std::string::npos) << "IPv6 passed the tunnel";
    EXPECT_EQ(refused.find("rc=124"), std::string::npos) << "IPv6 was dropped, not refused: " << refused;
    ASSERT_EQ(request(QJsonObject{{"action", "stop-tun"}}).value("success").toBool(), true);
    EXPECT_NE(near(connect).find("rc=0"), std::string::npos) << "IPv6 not back after stop-tun";
}

TEST_F(TunEndToEnd, ARuleThatVanishedIsReportedByTheCheckAtTheNextReset)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    const std::string table = near("nft -a list table inet kestd");
    const std::size_t rule = table.find("comment \"block ipv4 dns\"");
    ASSERT_NE(rule, std::string::npos) << table;
    const std::uint64_t handle = std::stoull(table.substr(table.find("# handle ", rule) + 9));
    // By hand it is refused: the table is the daemon's alone...
    EXPECT_NE(near("nft delete rule inet kestd output handle " + std::to_string(handle) + " 2>&1").find(
                  "Operation not permitted"),
              std::string::npos);
    // ... so it vanishes through the daemon's own socket.
    std::string error;
    ASSERT_TRUE(deleteRuleAsOwner(m_daemon->pid(), "kestd", "output", handle, &error)) << error;
    EXPECT_EQ(request(QJsonObject{{"action", "reset-connections"}}).value("status").toString(), "success");
    const std::string missing = "[FILTER-CHECK] ❌ Filter ID " + std::to_string(handle) + " is MISSING! Error: 2";
    EXPECT_TRUE(m_daemon->waitForLog(QString::fromStdString(missing), 5000)) << m_daemon->stderrText().toStdString();
    EXPECT_TRUE(m_daemon->stderrText().contains("filters exist, 1 are MISSING"));
    EXPECT_TRUE(m_daemon->stderrText().contains("[FILTER-CHECK] 🔥🔥🔥 FILTERS DISAPPEARED WITHOUT CLEANUP! 🔥🔥🔥"));
    EXPECT_FALSE(m_daemon->stderrText().contains("m_firewall is NULL"));
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("dns-protection").toBool(true), false);
}

TEST_F(TunEndToEnd, InboundConnectionsFromOutsideTheSubnetAndToAForwardedContainerAreAnsweredWhileTunRuns)
{
    // The container, its service published on port 8080 of the veth address by a destination NAT.
    struct Cleanup {
        std::function<void()> run;
        ~Cleanup() { run(); }
    } cleanup{[&] {
        near("nft delete table ip ktpublish");
        topo().stopContainer();
    }};
    ASSERT_TRUE(topo().startContainer());
    ASSERT_EQ(near("nft add table ip ktpublish && "
                   "nft add chain ip ktpublish pre { type nat hook prerouting priority dstnat\\; } && "
                   "nft add rule ip ktpublish pre iif a0 tcp dport 8080 dnat to 172.31.0.2:9100 && echo ok"),
              "ok\n");
    const int service = net().spawn(topo().near(), "exec python3 " + topo().dir() + "/echo.py serve 9100");
    const int published = net().spawn(topo().container(), "exec python3 " + topo().dir() + "/echo.py serve 9100");
    const auto knock = [&](const char *source, int port) {
        return trimmed(net().run(topo().far(), "python3 " + topo().dir() + "/echo.py knock " + source + " " +
                                                   TunTopology::kVethAddress + " " + std::to_string(port)).output);
    };
    ASSERT_TRUE(waitUntil([&] { return knock(TunTopology::kServer, 9100) == "echo" && knock(TunTopology::kServer, 8080) == "echo"; }))
        << "the services do not answer even before the TUN mode";

    ASSERT_EQ(startTun().value("success").toBool(), true);
    EXPECT_EQ(knock(TunTopology::kServer, 9100), "echo") << "a local service's replies went into the tunnel";
    EXPECT_EQ(knock(TunTopology::kServer, 8080), "echo") << "a published container's replies went into the tunnel";
    EXPECT_EQ(knock(TunTopology::kProxyHost, 9100), "echo") << "a connection from the veth's own subnet broke";
    EXPECT_EQ(whoami(), TunTopology::kProxyExit) << "outgoing traffic no longer takes the tunnel";

    ::kill(service, SIGKILL);
    ::kill(published, SIGKILL);
}

TEST_F(TunEndToEnd, AClientInAnApplicationUnitOfItsOwnIsPermittedWhileConnected)
{
    ASSERT_EQ(startTun().value("success").toBool(), true);
    TestCgroup unit("app-kest-e2e-", ".scope");
    ASSERT_TRUE(unit.ok());
    const std::string ctl = std::string(KESTCTL_BINARY) + " --socket " + m_daemon->socketPath().toStdString();
    const std::string permit = "protect ipv4 kest " + unit.path();
    const int client = net().spawn(topo().near(), "echo $$ > " + unit.directory() + "/cgroup.procs && exec " + ctl +
                                                      " watch > /dev/null");
    EXPECT_TRUE(waitUntil([&] { return near("nft list table inet kestd").find(permit) != std::string::npos; }))
        << near("nft list table inet kestd");
    EXPECT_EQ(countOf(near("nft list table inet kestd"), "protect ipv4 kest"), 1)
        << "the test's own clients, outside any application unit, were permitted";
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("dns-protection").toBool(), true);
    ::kill(client, SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return near("nft list table inet kestd").find(permit) == std::string::npos; }))
        << "the departed client stays permitted";
}

// UDP takes the same route as TCP would: a program named in
// "direct-processes" and a "bypass-ips" address go through the direct port
// (whose SOCKS5 server leaves from an address of its own), any other UDP
// through the proxy port. The far side answers with the address it saw.
TEST_F(TunEndToEnd, UdpOfDirectProcessesAndToBypassAddressesGoesThroughTheDirectPortOtherUdpThroughTheProxy)
{
    const std::string direct = topo().dir() + "/python-direct";
    near("cp \"$(readlink -f /usr/bin/python3)\" " + direct);
    ASSERT_EQ(startTun(QJsonObject{{"direct-processes", QJsonArray{"python-direct"}},
                                   {"bypass-ips", QJsonArray{TunTopology::kDnsServer}}})
                  .value("success")
                  .toBool(),
              true);
    const std::string script = topo().dir() + "/udp-whoami.py";
    std::ofstream(script) << "import socket\n"
                             "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                             "s.settimeout(2)\n"
                             "for host in ('"
                          << TunTopology::kServer << "', '" << TunTopology::kDnsServer
                          << "'):\n"
                             "    for attempt in range(3):\n"
                             "        s.sendto(b'who', (host, "
                          << TunTopology::kUdpWhoamiPort
                          << "))\n"
                             "        try:\n"
                             "            print(host, s.recvfrom(100)[0].decode()); break\n"
                             "        except socket.timeout: pass\n";
    const std::string ordinary = near("python3 " + script);
    const std::string directed = near(direct + " " + script);
    const std::string server = TunTopology::kServer;
    const std::string bypass = TunTopology::kDnsServer;
    EXPECT_NE(ordinary.find(server + " " + TunTopology::kProxyExit), std::string::npos)
        << "another program's UDP did not go through the proxy port: " << ordinary;
    EXPECT_NE(ordinary.find(bypass + " " + TunTopology::kDirectPortExit), std::string::npos)
        << "UDP to a bypass address did not go through the direct port: " << ordinary;
    EXPECT_NE(directed.find(server + " " + TunTopology::kDirectPortExit), std::string::npos)
        << "UDP of a direct process did not go through the direct port: " << directed;
}

// A proxy port that accepts and never answers: 500 new connections and 500 UDP
// flows sent to it each end after the handshake bound, DNS through the direct
// port's SOCKS5 server keeps being answered meanwhile, and the daemon runs the
// same threads throughout.
TEST_F(TunEndToEnd, SilentProxyEndsConnectionsAndUdpFlowsAfterTheHandshakeBoundWhileTheDirectPortServes)
{
    const int silent = topo().startSilentProxy();
    ASSERT_GT(silent, 0);
    ASSERT_EQ(startTun(QJsonObject{{"proxy-port", TunTopology::kSilentProxyPort}}).value("success").toBool(), true);
    const std::string proc = "/proc/" + std::to_string(m_daemon->pid());
    const auto threads = [&] { return std::stoi(near("ls " + proc + "/task | wc -l")); };
    const auto descriptors = [&] { return std::stoi(near("ls " + proc + "/fd | wc -l")); };
    const auto dns = [&] {
        return trimmed(near(std::string("dig +short +time=3 +tries=1 @") + kTunnelDns + " " + TunTopology::kHostName));
    };
    ASSERT_EQ(dns(), TunTopology::kServer);
    const int threadsBefore = threads();
    const int descriptorsBefore = descriptors();

    const std::string script = topo().dir() + "/storm.py";
    std::ofstream(script) << "import select, socket, time\n"
                             "start = time.time()\n"
                             "conns = []\n"
                             "for i in range(500):\n"
                             "    c = socket.socket(); c.setblocking(False)\n"
                             "    try: c.connect(('" << TunTopology::kServer << "', " << TunTopology::kTcpServicePort
                          << "))\n"
                             "    except BlockingIOError: pass\n"
                             "    conns.append(c)\n"
                             "udps = []\n"
                             "for i in range(500):\n"
                             "    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                             "    u.sendto(b'x', ('" << TunTopology::kServer << "', " << TunTopology::kUdpEchoPort
                          << "))\n"
                             "    udps.append(u)\n"
                             "poller = select.poll()\n"
                             "byFd = {c.fileno(): c for c in conns}\n"
                             "for fd in byFd: poller.register(fd, select.POLLIN)\n"
                             "ended = {}\n"
                             "while len(ended) < len(conns) and time.time() - start < 60:\n"
                             "    for fd, event in poller.poll(500):\n"
                             "        try: data = byFd[fd].recv(100)\n"
                             "        except BlockingIOError: continue\n"
                             "        except OSError: data = b''\n"
                             "        if not data:\n"
                             "            ended[fd] = time.time() - start; poller.unregister(fd)\n"
                             "print('ended', len(ended), 'first %.1f last %.1f' % (min(ended.values() or [0]), "
                             "max(ended.values() or [0])))\n";
    const std::string out = topo().dir() + "/storm.out";
    const int storm = net().spawn(topo().near(), "exec python3 " + script + " > " + out + " 2>&1");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(dns(), TunTopology::kServer) << "DNS through the direct port waited for the silent proxy";
    const int threadsDuring = threads();
    int status = 0;
    ASSERT_TRUE(waitUntil([&] { return waitpid(storm, &status, WNOHANG) == storm; }, 70000)) << readText(out);
    const std::string report = readText(out);
    int ended = 0;
    double first = 0, last = 0;
    std::sscanf(report.c_str(), "ended %d first %lf last %lf", &ended, &first, &last);
    EXPECT_EQ(ended, 500) << "connections outlived the handshake bound: " << report;
    EXPECT_GE(first, 5.0) << "connections ended before the handshake bound: " << report;
    EXPECT_LE(last, 30.0) << report;
    // The query during the storm keeps its DNS session (2 sockets) until it is
    // idle, and a thread that looked an owner up keeps its sock_diag socket.
    EXPECT_TRUE(waitUntil([&] { return descriptors() <= descriptorsBefore + 2 + threadsBefore; }, 15000))
        << "the daemon still holds " << descriptors() << " descriptors, " << descriptorsBefore << " before";
    EXPECT_EQ(dns(), TunTopology::kServer);
    const int threadsAfter = threads();
    EXPECT_EQ(threadsDuring, threadsBefore);
    EXPECT_EQ(threadsAfter, threadsBefore);
    RecordProperty("threads_before", threadsBefore);
    RecordProperty("threads_during", threadsDuring);
    RecordProperty("threads_after", threadsAfter);
    std::printf("silent proxy: %s; daemon threads %d before, %d during, %d after\n", trimmed(report).c_str(),
                threadsBefore, threadsDuring, threadsAfter);
    kill(silent, SIGKILL);
    waitpid(silent, nullptr, 0);
}

// A container behind the daemon's namespace (forwarded, as docker0 does): its
// connections reach the TUN device with its own source address, so the
// user-space TCP engine carries them.
class TunContainer : public TunEndToEnd {
protected:
    void SetUp() override
    {
        TunEndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(topo().startContainer());
        std::ofstream(topo().dir() + "/clients.py") << kContainerClients;
        ASSERT_EQ(startTun().value("success").toBool(), true);
    }
    void TearDown() override
    {
        TunEndToEnd::TearDown();
        if (s_topology)
            topo().stopContainer();
    }
    std::string inContainer(const std::string &command) { return trimmed(topo().runInContainer(command).output); }
    std::string clients(const std::string &arguments)
    {
        return inContainer("python3 " + topo().dir() + "/clients.py " + arguments);
    }
};

TEST_F(TunContainer, LargeTransfersASlowReaderAndManyParallelConnectionsArriveIntact)
{
    const std::string sum = topo().makeServedFile("big.bin", 100'000'000);
    const std::string slowSum = topo().makeServedFile("slow5.bin", 5'000'000);
    const std::string url = std::string("http://") + TunTopology::kServer;
    EXPECT_EQ(inContainer("curl -sS -m 120 " + url + "/big.bin | sha256sum | cut -d' ' -f1"), sum)
        << "the download through the engine changed bytes";
    EXPECT_EQ(inContainer("curl -sS -m 120 -T " + topo().dir() + "/www/big.bin " + url + "/upload"), sum)
        << "the upload through the engine changed bytes";
    EXPECT_EQ(clients(std::string("slow ") + TunTopology::kServer + " /slow5.bin"), slowSum)
        << "a slow reader lost or repeated bytes";
    EXPECT_EQ(clients(std::string("parallel ") + TunTopology::kServer + " 9000 200"), "200")
        << "not every parallel connection completed";
    const std::string log = topo().httpLog();
    EXPECT_NE(log.find(std::string("GET /big.bin ") + TunTopology::kProxyExit), std::string::npos) << log;
    EXPECT_NE(log.find(std::string("PUT /upload ") + TunTopology::kProxyExit), std::string::npos) << log;
    EXPECT_EQ(log.find(std::string(" ") + TunTopology::kContainerAddress), std::string::npos)
        << "the container's traffic bypassed the proxy: " << log;
}

TEST_F(TunContainer, TcpDnsToTheTunnelAddressIsAnsweredFromTheContainerAndFromTheDaemonsNamespace)
{
    const std::string dig = std::string("dig +tcp +short +time=3 +tries=1 @") + kTunnelDns + " " + TunTopology::kHostName + " A";
    EXPECT_EQ(inContainer(dig), TunTopology::kServer) << "no TCP DNS answer through the engine";
    EXPECT_EQ(trimmed(near(dig)), TunTopology::kServer) << "no TCP DNS answer through the NAT path";
}

TEST_F(TunContainer, RefusedDestinationsResetsAndAProxyDeathEndConnectionsAtOnce)
{
    // Nothing listens on port 9999 of the server: the proxy refuses the CONNECT.
    EXPECT_EQ(clients(std::string("refused ") + TunTopology::kServer + " 9999"), "refused fast");

    int open = connectFrom(net(), topo().container(), TunTopology::kServer, TunTopology::kTcpServicePort);
    ASSERT_GE(open, 0);
    ASSERT_TRUE(sendText(open, "ECHO\nping"));
    char echo[4] = {};
    ASSERT_EQ(::recv(open, echo, 4, MSG_WAITALL), 4);
    EXPECT_EQ(request(QJsonObject{{"action", "reset-connections"}}).value("status").toString(), "success");
    EXPECT_TRUE(endsWithin(open, 1000)) << "an engine connection survived the reset";
    ::close(open);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(inContainer(std::string("curl -sS -m 10 http://") + TunTopology::kServer + "/whoami"),
              TunTopology::kProxyExit) << "no new connection a second after the reset";

    open = connectFrom(net(), topo().container(), TunTopology::kServer, TunTopology::kTcpServicePort);
    ASSERT_GE(open, 0);
    ASSERT_TRUE(sendText(open, "SOURCE 1000000000\n"));
    char block[65536];
    ASSERT_GT(::recv(open, block, sizeof block, MSG_WAITALL), 0);
    topo().killProxy();
    EXPECT_TRUE(endsWithin(open, 10000)) << "the connection hung when the proxy died";
    ::close(open);
    EXPECT_EQ(request(QJsonObject{{"action", "tun-status"}}).value("running").toBool(), true);
    ASSERT_TRUE(topo().startProxy());
    EXPECT_EQ(inContainer(std::string("curl -sS -m 10 http://") + TunTopology::kServer + "/whoami"),
              TunTopology::kProxyExit) << "no service after the proxy came back";
}
