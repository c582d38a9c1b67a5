// Figures for the tunnel's building blocks: packets per second for parsing,
// building and rewriting 64- and 1500-byte packets, the same with the
// tunnel's counters bumped for every packet by two threads at once, and
// microseconds per connection owner lookup with 1000 sockets open in 20 processes.

#include "net/ConnectionOwnerLookup.h"
#include "net/SockDiag.h"
#include "packet/PacketCodec.h"
#include "relay/TunnelCounters.h"
#include "tests/support/TestCgroup.h"

#include <QtGlobal>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <string>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr int kChildren = 20;
constexpr int kPairsPerChild = 25; // 2 sockets each: 1000 sockets in all

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void quietHandler(QtMsgType, const QMessageLogContext &, const QString &) {}

std::vector<std::uint8_t> packetOfSize(std::size_t total)
{
    const std::vector<std::uint8_t> payload(total - 40, 0x61);
    return buildTcpPacket(0x0A060701, 40000, 0x5DB8D822, 443, 1, 2, PacketInfo::kPshAck,
                          payload.data(), payload.size());
}

void benchCodec(std::size_t size)
{
    const int iterations = size < 100 ? 5000000 : 2000000;
    std::vector<std::uint8_t> packet = packetOfSize(size);
    volatile std::uint64_t sink = 0;

    auto start = Clock::now();
    for (int i = 0; i < iterations; ++i) {
        const PacketInfo info = parsePacket(packet.data(), packet.size());
        sink = sink + info.dstPort + info.payloadLen;
    }
    const double parse = iterations / secondsSince(start);

    const std::vector<std::uint8_t> payload(size - 40, 0x62);
    start = Clock::now();
    for (int i = 0; i < iterations; ++i) {
        const auto built = buildTcpPacket(0x5DB8D822, 443, 0x0A060701, 40000, std::uint32_t(i), 7,
                                          PacketInfo::kPshAck, payload.data(), payload.size());
        sink = sink + built[35];
    }
    const double build = iterations / secondsSince(start);

    start = Clock::now();
    for (int i = 0; i < iterations; ++i) {
        rewriteTcpAddresses(packet.data(), packet.size(), 0x0A060702, std::uint16_t(30000 + (i & 1023)),
                            0x0A060701, 41000);
        sink = sink + packet[37];
    }
    const double rewrite = iterations / secondsSince(start);

    std::printf("codec %4zu-byte packets: parse %6.1f Mpps, build %5.2f Mpps (%.2f Gbit/s), "
                "rewrite %5.2f Mpps (%.2f Gbit/s)\n",
                size, parse / 1e6, build / 1e6, build * size * 8 / 1e9, rewrite / 1e6,
                rewrite * size * 8 / 1e9);
}

// Parse and rewrite on two threads at once, as the reader and a worker
// would, with or without bumping the shared counters for every packet
// (more often than the tunnel does: bytes are counted per relay completion);
// packets per second.
double packetPathRate(bool counted, TunnelCounters &counters)
{
    constexpr int kPackets = 1000000;
    auto run = [&] {
        std::vector<std::uint8_t> packet = packetOfSize(1500);
        for (int i = 0; i < kPackets; ++i) {
            const PacketInfo info = parsePacket(packet.data(), packet.size());
            rewriteTcpAddresses(packet.data(), packet.size(), 0x0A060702, std::uint16_t(30000 + (i & 1023)),
                                0x0A060701, 41000);
            if (counted) {
                counters.addUp(info.payloadLen);
                counters.drop(TunnelCounters::Drop::NoTcpSession);
            }
        }
    };
    const auto start = Clock::now();
    std::thread other(run);
    run();
    other.join();
    return 2 * kPackets / secondsSince(start);
}

// Plain and counted runs alternate, so that the machine's drift falls on both;
// the median of the ratios.
void benchCounters()
{
    TunnelCounters counters;
    std::vector<double> plain;
    std::vector<double> counted;
    std::vector<double> ratios;
    for (int round = 0; round < 9; ++round) {
        plain.push_back(packetPathRate(false, counters));
        counted.push_back(packetPathRate(true, counters));
        ratios.push_back(counted.back() / plain.back());
    }
    for (std::vector<double> *figures : {&plain, &counted, &ratios})
        std::sort(figures->begin(), figures->end());
    const auto packets = counters.totals().dropped[std::size_t(TunnelCounters::Drop::NoTcpSession)];
    std::printf("packet path, 1500-byte packets on 2 threads: %.2f Mpps plain, %.2f Mpps counting every packet, "
                "ratio %.3f (medians of 9 alternating rounds, %llu packets counted)\n",
                plain[4] / 1e6, counted[4] / 1e6, ratios[4], static_cast<unsigned long long>(packets));
}

struct Connection {
    pid_t owner;
    std::uint16_t localPort;
    std::uint16_t remotePort;
};

std::uint16_t portOf(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A child holding kPairsPerChild loopback connections (both ends); it reports
// the (client port, server port) of each and then waits to be killed. Made in
// the cgroup of that directory when one is given.
pid_t startHolder(std::vector<Connection> &out, const std::string &cgroupDirectory = {})
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (!cgroupDirectory.empty()) {
            std::ofstream procs(cgroupDirectory + "/cgroup.procs");
            procs << 0 << std::flush;
        }
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(kLoopback);
        bind(server, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(server, kPairsPerChild);
        sa.sin_port = htons(portOf(server));
        for (int i = 0; i < kPairsPerChild; ++i) {
            const int c = socket(AF_INET, SOCK_STREAM, 0);
            connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
            accept(server, nullptr, nullptr);
            const std::uint16_t ports[2] = {portOf(c), ntohs(sa.sin_port)};
            (void)!write(fds[1], ports, sizeof ports);
        }
        close(fds[1]);
        pause();
        _exit(0);
    }
    close(fds[1]);
    std::uint16_t ports[2];
    while (read(fds[0], ports, sizeof ports) == sizeof ports)
        out.push_back({pid, ports[0], ports[1]});
    close(fds[0]);
    return pid;
}

int processCount()
{
    int n = 0;
    DIR *dir = opendir("/proc");
    while (const dirent *e = dir ? readdir(dir) : nullptr)
        n += e->d_name[0] >= '0' && e->d_name[0] <= '9';
    if (dir)
        closedir(dir);
    return n;
}

template <typename F>
double microsecondsPer(int count, F &&f)
{
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        f(i);
    return secondsSince(start) * 1e6 / count;
}

void benchOwnerLookup()
{
    std::vector<Connection> connections;
    std::vector<pid_t> holders;
    for (int i = 0; i < kChildren; ++i)
        holders.push_back(startHolder(connections));
    std::printf("owner lookup: %zu connections (%zu sockets) in %d processes, %d processes on the machine\n",
                connections.size(), connections.size() * 2, kChildren, processCount());

    int wrong = 0;
    const int n = static_cast<int>(connections.size());
    // The NAT path knows the connection's local address and passes it.
    auto check = [&](ConnectionOwnerLookup &lookup, const Connection &c, std::uint32_t localIp) {
        if (lookup.tcpOwnerPid(c.localPort, kLoopback, c.remotePort, localIp) != std::uint32_t(c.owner))
            ++wrong;
    };

    const double exactDiag = microsecondsPer(n, [&](int i) {
        (void)SockDiag::findTcpExact(AF_INET, kLoopback, connections[i].localPort, kLoopback,
                                     connections[i].remotePort);
    });
    const double walkDiag = microsecondsPer(n / 5, [&](int i) {
        (void)SockDiag::findTcp(AF_INET, connections[i].localPort, kLoopback, connections[i].remotePort);
    });
    ConnectionOwnerLookup cold;
    const double full = microsecondsPer(200, [&](int i) {
        cold.clearCache();
        check(cold, connections[(i * 37) % n], kLoopback);
    });
    ConnectionOwnerLookup firstTime;
    const double first = microsecondsPer(n, [&](int i) { check(firstTime, connections[i], kLoopback); });
    const auto stats = firstTime.stats();
    const double warm = microsecondsPer(n * 10, [&](int i) { check(firstTime, connections[i % n], kLoopback); });
    const double path = microsecondsPer(n, [&](int i) {
        (void)firstTime.tcpOwnerPath(connections[i].localPort, kLoopback, connections[i].remotePort, kLoopback);
    });
    const double tripleOnly = microsecondsPer(n / 5, [&](int i) { check(firstTime, connections[i], 0); });
    ConnectionOwnerLookup missing;
    const double miss = microsecondsPer(n, [&](int i) {
        (void)missing.tcpOwnerPid(connections[i].localPort, kLoopback, 1, kLoopback);
    });

    std::printf("  inet_diag exact lookup alone          %8.1f us\n", exactDiag);
    std::printf("  inet_diag filtered table walk alone   %8.1f us\n", walkDiag);
    std::printf("  cold lookup (scan of every process)   %8.1f us\n", full);
    {
        // A program in a cgroup of its own, as a desktop starts each one.
        TestCgroup cgroup("kestd-bench-");
        std::vector<Connection> own;
        const pid_t holder = cgroup.ok() ? startHolder(own, cgroup.directory()) : -1;
        if (holder > 0 && !own.empty()) {
            const double inCgroup = microsecondsPer(200, [&](int i) {
                cold.clearCache();
                check(cold, own[std::size_t(i) % own.size()], kLoopback);
            });
            std::printf("  cold lookup, owner in its own cgroup  %8.1f us\n", inCgroup);
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
    }
    std::printf("  each connection looked up once        %8.1f us  (%llu full scans, %llu recent-owner hits of which %llu "
                "without a directory read, %llu cache hits)\n",
                first, (unsigned long long)stats.fullScans, (unsigned long long)stats.recentOwnerHits,
                (unsigned long long)stats.descriptorHits, (unsigned long long)stats.cacheHits);
    std::printf("  repeated lookup (verified cache)      %8.1f us\n", warm);
    std::printf("  lookup with the image path            %8.1f us\n", path);
    std::printf("  port triple only (no local address)   %8.1f us\n", tripleOnly);
    std::printf("  no such connection                    %8.1f us\n", miss);
    std::printf("  wrong owners: %d\n", wrong);

    // UDP: the table is hashed by port and small, so a filtered walk is cheap.
    std::vector<int> udp;
    std::vector<std::uint16_t> udpPorts;
    for (int i = 0; i < 200; ++i) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(kLoopback);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        udp.push_back(fd);
        udpPorts.push_back(portOf(fd));
    }
    ConnectionOwnerLookup udpLookup;
    int udpWrong = 0;
    const double udpFirst = microsecondsPer(200, [&](int i) {
        udpWrong += udpLookup.udpOwnerPid(udpPorts[i]) != std::uint32_t(getpid());
    });
    const double udpWarm = microsecondsPer(2000, [&](int i) {
        udpWrong += udpLookup.udpOwnerPid(udpPorts[i % 200]) != std::uint32_t(getpid());
    });
    std::printf("  UDP by local port, first / repeated   %8.1f / %.1f us (200 sockets, wrong owners: %d)\n",
                udpFirst, udpWarm, udpWrong);
    for (int fd : udp)
        close(fd);

    for (pid_t pid : holders) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// A program that keeps many connections and replaces one now and then (a
// browser): each new socket reuses the lowest free descriptor, anywhere
// among the held ones, mostly the one the connection that ended had.
void benchOwnerChurn()
{
    constexpr int kHeld = 150;
    constexpr int kReplaced = 300;
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(kLoopback);
    bind(server, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    listen(server, 16);
    sa.sin_port = htons(portOf(server));
    auto open = [&] {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        return std::pair{c, accept4(server, nullptr, nullptr, SOCK_CLOEXEC)};
    };
    std::vector<std::pair<int, int>> held;
    for (int i = 0; i < kHeld; ++i)
        held.push_back(open());
    ConnectionOwnerLookup lookup;
    for (const auto &[c, a] : held)
        (void)lookup.tcpOwnerPid(portOf(c), kLoopback, ntohs(sa.sin_port), kLoopback);
    const auto before = lookup.stats();
    unsigned seed = 12345;
    int wrong = 0;
    double total = 0;
    for (int i = 0; i < kReplaced; ++i) {
        seed = seed * 1103515245u + 12345u;
        auto &pair = held[(seed >> 16) % kHeld];
        // The tunnel sees the connection end and says so.
        lookup.tcpConnectionEnded(portOf(pair.first), kLoopback, ntohs(sa.sin_port), kLoopback);
        close(pair.first);
        close(pair.second);
        pair = open();
        const auto start = Clock::now();
        wrong += lookup.tcpOwnerPid(portOf(pair.first), kLoopback, ntohs(sa.sin_port), kLoopback) !=
                 std::uint32_t(getpid());
        total += secondsSince(start);
    }
    const auto after = lookup.stats();
    std::printf("  one of %d held connections replaced   %8.1f us  (%llu of %d found without a directory read, "
                "wrong owners: %d)\n",
                kHeld, total * 1e6 / kReplaced, (unsigned long long)(after.descriptorHits - before.descriptorHits),
                kReplaced, wrong);
    for (const auto &[c, a] : held) {
        close(c);
        close(a);
    }
    close(server);
}

} // namespace

int main()
{
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_NOFILE, &limit);
    qInstallMessageHandler(quietHandler);
    benchCodec(64);
    benchCodec(1500);
    benchCounters();
    benchOwnerLookup();
    benchOwnerChurn();
    return 0;
}
