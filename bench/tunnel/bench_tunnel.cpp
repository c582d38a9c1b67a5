// Figures of the TUN mode in the end-to-end topology: the real daemon with its
// TUN device in one namespace, dante and the peers upstream (see TunTopology).
// Prints one line per figure. Needs root.

#include "socks5/Socks5Message.h"
#include "tests/support/DaemonHarness.h"
#include "tests/tun/e2e/TunTopology.h"
#include "tools/KestClient.h"

#include <QJsonObject>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::size_t kTransferBytes = 300u * 1000 * 1000;
constexpr int kSequentialConnections = 1000;
constexpr int kConcurrentConnections = 1000;
constexpr int kDnsQueries = 500;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

sockaddr_in endpoint(const char *host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

int connectDirect(const char *host, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = endpoint(host, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const void *data, std::size_t length);

bool receiveExact(int fd, std::uint8_t *out, std::size_t length)
{
    for (std::size_t got = 0; got < length;) {
        const ssize_t n = ::recv(fd, out + got, length - got, 0);
        if (n <= 0)
            return false;
        got += std::size_t(n);
    }
    return true;
}

// Through dante itself, without the tunnel: the baseline. A blocking SOCKS5
// CONNECT by address whose reply is read whole.
int connectViaSocks(const char *host, int port)
{
    const int fd = connectDirect(TunTopology::kProxyHost, TunTopology::kProxyPort);
    if (fd < 0)
        return -1;
    const auto destination = IpAddress::parse(host);
    const std::vector<std::uint8_t> request =
        Socks5Message::connectRequest(Endpoint{destination.value_or(IpAddress()), std::uint16_t(port)}, {});
    std::uint8_t reply[262];
    const bool ok = sendAll(fd, Socks5Message::kGreeting.data(), Socks5Message::kGreeting.size()) &&
                    receiveExact(fd, reply, Socks5Message::kMethodReplyLength) && reply[1] == 0 &&
                    sendAll(fd, request.data(), request.size()) &&
                    receiveExact(fd, reply, Socks5Message::kReplyPrefixLength) && reply[1] == 0 &&
                    Socks5Message::replyLength(reply) > Socks5Message::kReplyPrefixLength &&
                    receiveExact(fd, reply + Socks5Message::kReplyPrefixLength,
                                 Socks5Message::replyLength(reply) - Socks5Message::kReplyPrefixLength);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const void *data, std::size_t length)
{
    const auto *p = static_cast<const char *>(data);
    while (length) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        length -= std::size_t(n);
    }
    return true;
}

// Megabytes per second of a download (SOURCE) or an upload (SINK) of kTransferBytes.
double transfer(int fd, bool download)
{
    if (fd < 0)
        return 0;
    const auto start = Clock::now();
    std::vector<char> buffer(1 << 20, 'u');
    std::size_t moved = 0;
    if (download) {
        const std::string command = "SOURCE " + std::to_string(kTransferBytes) + "\n";
        sendAll(fd, command.data(), command.size());
        for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;)
            moved += std::size_t(n);
    } else {
        sendAll(fd, "SINK\n", 5);
        while (moved < kTransferBytes && sendAll(fd, buffer.data(), std::min(buffer.size(), kTransferBytes - moved)))
            moved += std::min(buffer.size(), kTransferBytes - moved);
        ::shutdown(fd, SHUT_WR);
        char answer[128];
        ::recv(fd, answer, sizeof answer, 0); // the sink's count: every byte has arrived
    }
    ::close(fd);
    return moved == kTransferBytes ? double(moved) / 1e6 / secondsSince(start) : 0;
}

using Connector = int (*)(const char *, int);

double sequentialRate(Connector connector)
{
    const auto start = Clock::now();
    int done = 0;
    for (int i = 0; i < kSequentialConnections; ++i) {
        const int fd = connector(TunTopology::kServer, TunTopology::kTcpServicePort);
        if (fd < 0)
            continue;
        char ten[16];
        std::size_t got = 0;
        if (sendAll(fd, "TEN-THEN-CLOSE\n", 15))
            for (ssize_t n; (n = ::recv(fd, ten, sizeof ten, 0)) > 0;)
                got += std::size_t(n);
        done += got == 10;
        ::close(fd);
    }
    return done / secondsSince(start);
}

// Opens kConcurrentConnections echo connections and checks each; the seconds
// taken, the count working, and fn called while all are open.
template <typename WhileOpen>
double openConcurrent(Connector connector, int *working, WhileOpen whileOpen)
{
    const auto start = Clock::now();
    std::vector<int> open;
    for (int i = 0; i < kConcurrentConnections; ++i) {
        const int fd = connector(TunTopology::kServer, TunTopology::kTcpServicePort);
        if (fd >= 0 && sendAll(fd, "ECHO\nx", 6))
            open.push_back(fd);
    }
    *working = 0;
    for (int fd : open) {
        char x;
        *working += ::recv(fd, &x, 1, 0) == 1;
    }
    const double seconds = secondsSince(start);
    whileOpen();
    for (int fd : open)
        ::close(fd);
    return seconds;
}

double cpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long rssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

std::vector<std::uint8_t> dnsQuery(std::uint16_t id)
{
    std::vector<std::uint8_t> q = {std::uint8_t(id >> 8), std::uint8_t(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    for (const char *label : {"www", "kest", "test"}) {
        q.push_back(std::uint8_t(std::strlen(label)));
        q.insert(q.end(), label, label + std::strlen(label));
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    return q;
}

// Round-trip times in milliseconds; a new socket (a new flow) per query when fresh.
std::vector<double> dnsLatencies(bool freshFlows)
{
    std::vector<double> out;
    const sockaddr_in server = endpoint("10.6.7.2", 53);
    int fd = -1;
    for (int i = 0; i < kDnsQueries; ++i) {
        if (fd < 0 || freshFlows) {
            if (fd >= 0)
                ::close(fd);
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            timeval tv{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        const auto query = dnsQuery(std::uint16_t(i));
        const auto start = Clock::now();
        ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr *>(&server), sizeof server);
        std::uint8_t answer[512];
        if (::recv(fd, answer, sizeof answer, 0) > 0)
            out.push_back(secondsSince(start) * 1000);
    }
    ::close(fd);
    std::sort(out.begin(), out.end());
    return out;
}

double percentile(const std::vector<double> &sorted, double p)
{
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())))];
}
} // namespace

int main()
{
    if (geteuid() != 0) {
        std::puts("bench_tunnel: needs root (network namespaces, TUN device)");
        return 0;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    TunTopology topo;
    if (!topo.ok()) {
        std::printf("bench_tunnel: topology failed: %s\n", topo.error().c_str());
        return 1;
    }
    const std::string resolv = topo.dir() + "/resolv.conf";
    std::ofstream(resolv) << "nameserver 192.0.2.53\n";
    DaemonHarness::Options options;
    options.environment << QString::fromStdString("KESTD_RESOLV_CONF=" + resolv);
    DaemonHarness daemon(options);
    {
        NetnsFixture::Enter inside(topo.near());
        if (!daemon.start())
            return 1;
    }
    const pid_t keeper = topo.net().spawn(topo.near(), std::string("exec ") + KESTCTL_BINARY + " --socket " +
                                                           daemon.socketPath().toStdString() + " watch > /dev/null");
    (void)keeper;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // Baseline first, without the tunnel: straight through dante.
    double socksDown = 0, socksUp = 0, socksPerSecond = 0, socksOpenSeconds = 0;
    int socksOpened = 0;
    topo.net().runInside(topo.near(), [&] {
        socksDown = transfer(connectViaSocks(TunTopology::kServer, TunTopology::kTcpServicePort), true);
        socksUp = transfer(connectViaSocks(TunTopology::kServer, TunTopology::kTcpServicePort), false);
        socksPerSecond = sequentialRate(connectViaSocks);
        socksOpenSeconds = openConcurrent(connectViaSocks, &socksOpened, [] {});
    });

    KestClient client;
    client.connectTo(daemon.socketPath());
    const auto reply = client.request(QJsonObject{{"action", "start-tun"},
                                                  {"proxy-ip", TunTopology::kProxyHost},
                                                  {"proxy-port", TunTopology::kProxyPort},
                                                  {"direct-port", TunTopology::kDirectPort},
                                                  {"dns-redirect-ip", TunTopology::kDnsServer}},
                                      15000);
    if (!reply || !reply->value("success").toBool()) {
        std::puts("bench_tunnel: start-tun failed");
        return 1;
    }

    // KESTD_BENCH_TUN_MTU=N runs the figures with another MTU on the TUN link
    // (the interface configuration sets 1500), to see what the packet size costs.
    if (const char *mtu = std::getenv("KESTD_BENCH_TUN_MTU"); mtu && *mtu) {
        topo.runNear("ip link set dev $(ip -o link show | grep -o 'kest[0-9a-f]*' | head -1) mtu " + std::string(mtu));
        std::printf("TUN link MTU set to %s for this run\n", mtu);
    }
    double tunDown = 0, tunUp = 0, cpuPerGb = 0, perSecond = 0, openSeconds = 0;
    long rssIdle = rssKb(daemon.pid()), rssOpen = 0;
    int opened = 0;
    std::vector<double> warm, fresh;
    topo.net().runInside(topo.near(), [&] {
        const double cpuBefore = cpuSeconds(daemon.pid());
        tunDown = transfer(connectDirect(TunTopology::kServer, TunTopology::kTcpServicePort), true);
        tunUp = transfer(connectDirect(TunTopology::kServer, TunTopology::kTcpServicePort), false);
        cpuPerGb = (cpuSeconds(daemon.pid()) - cpuBefore) / (2.0 * double(kTransferBytes) / 1e9);

        perSecond = sequentialRate(connectDirect);
        openSeconds = openConcurrent(connectDirect, &opened, [&] { rssOpen = rssKb(daemon.pid()); });

        warm = dnsLatencies(false);
        fresh = dnsLatencies(true);
    });

    std::printf("tcp download through tunnel: %.0f MB/s, through SOCKS5 without TUN: %.0f MB/s, ratio %.2f\n", tunDown,
                socksDown, socksDown > 0 ? tunDown / socksDown : 0);
    std::printf("tcp upload through tunnel: %.0f MB/s, through SOCKS5 without TUN: %.0f MB/s, ratio %.2f\n", tunUp,
                socksUp, socksUp > 0 ? tunUp / socksUp : 0);
    std::printf("daemon CPU per GB relayed: %.2f s\n", cpuPerGb);
    std::printf("sequential short connections through tunnel: %.0f per second, through SOCKS5 without TUN: %.0f\n",
                perSecond, socksPerSecond);
    std::printf("concurrent open connections through tunnel: %d of %d echoing, opened in %.2f s; "
                "through SOCKS5 without TUN: %d in %.2f s\n",
                opened, kConcurrentConnections, openSeconds, socksOpened, socksOpenSeconds);
    std::printf("daemon RSS: %ld KiB idle tunnel, %ld KiB with %d connections open\n", rssIdle, rssOpen, opened);
    std::printf("dns via TUN IP + 1, one flow: p50 %.2f ms, p99 %.2f ms (%zu answers)\n", percentile(warm, 0.5),
                percentile(warm, 0.99), warm.size());
    std::printf("dns via TUN IP + 1, new flow per query: p50 %.2f ms, p99 %.2f ms (%zu answers)\n",
                percentile(fresh, 0.5), percentile(fresh, 0.99), fresh.size());
    client.close();
    daemon.stop();
    return 0;
}
