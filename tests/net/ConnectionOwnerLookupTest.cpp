#include "net/ConnectionOwnerLookup.h"
#include "tests/support/LoopbackTools.h"
#include "tests/support/TestCgroup.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

std::uint16_t localPort(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

int listener(int backlog = 16)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = loopbackAddress(0);
    bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    listen(fd, backlog);
    return fd;
}

int connectTo(std::uint16_t port, int flags = SOCK_CLOEXEC)
{
    const int fd = socket(AF_INET, SOCK_STREAM | flags, 0);
    const sockaddr_in sa = loopbackAddress(port);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa), 0);
    return fd;
}

std::string sleepPath()
{
    char resolved[PATH_MAX];
    return realpath("/bin/sleep", resolved) ? resolved : "";
}

// A child that makes its sockets (inherited across exec, as a real program's
// would be its own), reports their ports, and then runs /bin/sleep so it has
// an image path of its own.
class OwnerChild {
public:
    // kind: "tcp" connects to port, "udp" binds a UDP socket; made in the
    // cgroup of that directory when one is given.
    OwnerChild(const char *kind, std::uint16_t port, const std::string &cgroupDirectory = {})
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            if (!cgroupDirectory.empty()) {
                const int procs = open((cgroupDirectory + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
                if (procs < 0 || write(procs, "0", 1) != 1)
                    _exit(126);
                close(procs);
            }
            int sock;
            if (std::string(kind) == "tcp") {
                sock = socket(AF_INET, SOCK_STREAM, 0);
                const sockaddr_in sa = loopbackAddress(port);
                connect(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
            } else {
                sock = socket(AF_INET, SOCK_DGRAM, 0);
                const sockaddr_in sa = loopbackAddress(0);
                bind(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
            }
            const std::uint16_t p = localPort(sock);
            (void)!write(fds[1], &p, sizeof p);
            execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        (void)!read(fds[0], &m_port, sizeof m_port);
        char eof;
        // Wait until exec has happened: the pipe's write end closes with it.
        (void)!read(fds[0], &eof, 1);
        close(fds[0]);
    }
    ~OwnerChild() { stop(); }

    void stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

    pid_t pid() const { return m_pid; }
    std::uint16_t port() const { return m_port; }

private:
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

} // namespace

TEST(ConnectionOwnerLookupTcp, FindsTheChildByLocalPortAndRemoteEndpoint)
{
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    OwnerChild child("tcp", serverPort);
    ASSERT_GT(child.pid(), 0);
    const int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);

    ConnectionOwnerLookup lookup;
    EXPECT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback, serverPort), std::uint32_t(child.pid()));
    EXPECT_EQ(lookup.tcpOwnerPath(child.port(), kLoopback, serverPort), sleepPath());
    // The other end of the same connection is this process's.
    EXPECT_EQ(lookup.tcpOwnerPid(serverPort, kLoopback, child.port()), std::uint32_t(getpid()));
    // A different remote port or address does not match.
    EXPECT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback, serverPort + 1), 0u);
    EXPECT_EQ(lookup.tcpOwnerPath(child.port(), kLoopback, serverPort + 1), "");
    EXPECT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback + 1, serverPort), 0u);
    close(accepted);
    close(server);
}

TEST(ConnectionOwnerLookupTcp, AProcessNotSeenBeforeIsSearchedForInTheSocketsCgroupFirst)
{
    TestCgroup cgroup("kestd-owner-");
    if (!cgroup.ok())
        GTEST_SKIP() << "needs root and a writable cgroup v2 hierarchy";
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    OwnerChild child("tcp", serverPort, cgroup.directory());
    ASSERT_GT(child.pid(), 0);
    ConnectionOwnerLookup lookup;
    EXPECT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback, serverPort, kLoopback), std::uint32_t(child.pid()));
    EXPECT_EQ(lookup.stats().cgroupHits, 1u);
    close(server);
}

TEST(ConnectionOwnerLookupTcp, ExactLookupWithLocalAddressFindsOnlyTheConnection)
{
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    OwnerChild child("tcp", serverPort);
    ASSERT_GT(child.pid(), 0);
    const int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);

    ConnectionOwnerLookup lookup;
    EXPECT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback, serverPort, kLoopback), std::uint32_t(child.pid()));
    EXPECT_EQ(lookup.tcpOwnerPath(child.port(), kLoopback, serverPort, kLoopback), sleepPath());
    EXPECT_EQ(lookup.tcpOwnerPid(serverPort, kLoopback, child.port(), kLoopback), std::uint32_t(getpid()));
    EXPECT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback, serverPort + 1, kLoopback), 0u);
    EXPECT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback, serverPort, kLoopback + 1), 0u);
    // The kernel's lookup falls back to the listener of a local port; a
    // listener is not the connection asked for.
    EXPECT_EQ(lookup.tcpOwnerPid(serverPort, kLoopback, 9, kLoopback), 0u);
    close(accepted);
    close(server);
}

TEST(ConnectionOwnerLookupTcp, ExitedOwnerGivesEmptyPathAndPidPlaceholder)
{
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    OwnerChild child("tcp", serverPort);
    const int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    const pid_t pid = child.pid();
    ConnectionOwnerLookup lookup;
    ASSERT_EQ(lookup.tcpOwnerPid(child.port(), kLoopback, serverPort), std::uint32_t(pid));
    child.stop();
    // The socket went with its owner (a TIME_WAIT row has no holder).
    EXPECT_EQ(lookup.tcpOwnerPath(child.port(), kLoopback, serverPort), "");
    EXPECT_EQ(ConnectionOwnerLookup::processImagePath(std::uint32_t(pid)), "[PID:" + std::to_string(pid) + "]");
    EXPECT_EQ(ConnectionOwnerLookup::processImagePath(ConnectionOwnerLookup::kSystemPid), ":System");
    close(accepted);
    close(server);
}

TEST(ConnectionOwnerLookupTcp, CachedHolderIsVerifiedBeforeUse)
{
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    const int mine = connectTo(serverPort, 0);
    const int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    const std::uint16_t port = localPort(mine);

    ConnectionOwnerLookup lookup;
    ASSERT_EQ(lookup.tcpOwnerPid(port, kLoopback, serverPort), std::uint32_t(getpid()));
    ASSERT_EQ(lookup.tcpOwnerPid(port, kLoopback, serverPort), std::uint32_t(getpid()));
    EXPECT_EQ(lookup.stats().cacheHits, 1u);

    // Hand the socket to a child and drop it here: the cached holder is stale.
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    usleep(100000);
    close(mine);
    EXPECT_EQ(lookup.tcpOwnerPid(port, kLoopback, serverPort), std::uint32_t(child));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(accepted);
    close(server);
}

TEST(ConnectionOwnerLookupTcp, RecentOwnerIsSearchedBeforeAFullScan)
{
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    ConnectionOwnerLookup lookup;
    const int first = connectTo(serverPort);
    ASSERT_EQ(lookup.tcpOwnerPid(localPort(first), kLoopback, serverPort), std::uint32_t(getpid()));
    const auto afterFirst = lookup.stats();
    // Opened while the first stays open: at one of the next descriptors.
    const int second = connectTo(serverPort);
    EXPECT_EQ(lookup.tcpOwnerPid(localPort(second), kLoopback, serverPort), std::uint32_t(getpid()));
    const auto afterSecond = lookup.stats();
    EXPECT_EQ(afterSecond.fullScans, afterFirst.fullScans);
    EXPECT_EQ(afterSecond.recentOwnerHits, afterFirst.recentOwnerHits + 1);
    EXPECT_EQ(afterSecond.descriptorHits, afterFirst.descriptorHits + 1);

    // Past the descriptors tried one by one: the recent owner's own directory.
    std::vector<int> between;
    for (int i = 0; i <= ConnectionOwnerLookup::kDescriptorsAhead; ++i)
        between.push_back(dup(second));
    const int third = connectTo(serverPort);
    EXPECT_EQ(lookup.tcpOwnerPid(localPort(third), kLoopback, serverPort), std::uint32_t(getpid()));
    const auto afterThird = lookup.stats();
    EXPECT_EQ(afterThird.fullScans, afterFirst.fullScans);
    EXPECT_EQ(afterThird.recentOwnerHits, afterSecond.recentOwnerHits + 1);
    EXPECT_EQ(afterThird.descriptorHits, afterSecond.descriptorHits);
    for (int fd : between)
        close(fd);
    close(first);
    close(second);
    close(third);
    close(server);
}

// Connections of this process, each looked up once with its local address,
// to a listener that accepts none of them.
class HeldConnections {
public:
    explicit HeldConnections(int count)
        : m_server(listener(64))
        , m_serverPort(localPort(m_server))
    {
        for (int i = 0; i < count; ++i)
            m_held.push_back(open());
    }
    ~HeldConnections()
    {
        for (int fd : m_held)
            if (fd >= 0)
                close(fd);
        close(m_server);
    }
    // The connection ends as the tunnel sees it, and its socket is closed.
    void end(int i)
    {
        lookup.tcpConnectionEnded(localPort(m_held[std::size_t(i)]), kLoopback, m_serverPort, kLoopback);
        close(m_held[std::size_t(i)]);
        m_held[std::size_t(i)] = -1;
    }
    // A new connection in its place (at the lowest free descriptor).
    void replace(int i) { m_held[std::size_t(i)] = open(); }
    int fd(int i) const { return m_held[std::size_t(i)]; }
    int server() const { return m_server; }

    ConnectionOwnerLookup lookup;

private:
    int open()
    {
        const int fd = connectTo(m_serverPort);
        EXPECT_EQ(lookup.tcpOwnerPid(localPort(fd), kLoopback, m_serverPort, kLoopback), std::uint32_t(getpid()));
        return fd;
    }

    int m_server;
    std::uint16_t m_serverPort;
    std::vector<int> m_held;
};

constexpr int kSpacing = ConnectionOwnerLookup::kDescriptorsAhead + 2; // out of each other's reach

TEST(ConnectionOwnerLookupTcp, DescriptorsOfEndedConnectionsAreTriedBeforeADirectoryRead)
{
    HeldConnections held(46);
    // One more connection ends than are kept, the highest first: the lowest
    // descriptors are kept, as the next sockets take the lowest free ones.
    std::vector<int> ended;
    for (int i = 46 - kSpacing; i > 0; i -= kSpacing)
        ended.push_back(i);
    ASSERT_EQ(ended.size(), ConnectionOwnerLookup::kFreedDescriptors + 1);
    for (int i : ended)
        held.end(i);
    const auto before = held.lookup.stats();
    for (auto i = ended.rbegin(); i != ended.rend() - 1; ++i)
        held.replace(*i);
    EXPECT_EQ(held.lookup.stats().descriptorHits, before.descriptorHits + ConnectionOwnerLookup::kFreedDescriptors);
}

TEST(ConnectionOwnerLookupTcp, AFreedDescriptorTakenByAnotherFileIsDropped)
{
    HeldConnections held(50);
    // Every kept descriptor is taken by another file at once.
    std::vector<int> files;
    for (std::size_t i = 1; i <= ConnectionOwnerLookup::kFreedDescriptors; ++i)
        held.end(int(i) * kSpacing - 4);
    for (std::size_t i = 0; i < ConnectionOwnerLookup::kFreedDescriptors; ++i)
        files.push_back(dup(held.server()));
    // A connection ending above them, and then the next: tried again only
    // once the lookup between has dropped the taken ones.
    held.end(45);
    held.replace(45);
    held.end(40);
    const auto before = held.lookup.stats();
    held.replace(40);
    EXPECT_EQ(held.lookup.stats().descriptorHits, before.descriptorHits + 1);
    for (int fd : files)
        close(fd);
}

TEST(ConnectionOwnerLookupTcp, DualStackSocketToIpv4PeerIsFound)
{
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    const int v6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(v6, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(serverPort);
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &sa.sin6_addr);
    if (connect(v6, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0)
        GTEST_SKIP() << "IPv6 sockets are not available here";
    ConnectionOwnerLookup lookup;
    EXPECT_EQ(lookup.tcpOwnerPid(localPort(v6), kLoopback, serverPort), std::uint32_t(getpid()));
    EXPECT_EQ(lookup.tcpOwnerPid(localPort(v6), kLoopback, serverPort, kLoopback), std::uint32_t(getpid()));
    close(v6);
    close(server);
}

TEST(ConnectionOwnerLookupUdp, FindsTheChildByLocalPortOrByTheSocketThatReceivesFromTheRemoteEnd)
{
    constexpr std::uint32_t kRemote = 0x0A0B0C0D;
    OwnerChild child("udp", 0);
    ASSERT_GT(child.pid(), 0);
    ConnectionOwnerLookup lookup;
    EXPECT_EQ(lookup.udpOwnerPid(child.port()), std::uint32_t(child.pid()));
    EXPECT_EQ(lookup.udpOwnerPath(child.port()), sleepPath());
    EXPECT_EQ(lookup.udpOwnerPid(child.port(), kLoopback, kRemote, 53), std::uint32_t(child.pid()));
    EXPECT_EQ(lookup.udpOwnerPid(child.port(), 0x0A060701, kRemote, 53), 0u)
        << "a socket bound to loopback does not receive what is sent to another address";
    child.stop();
    EXPECT_EQ(lookup.udpOwnerPid(child.port()), 0u);
    EXPECT_EQ(lookup.udpOwnerPid(child.port(), kLoopback, kRemote, 53), 0u);
    EXPECT_EQ(lookup.udpOwnerPath(child.port()), "");
}

TEST(ConnectionOwnerLookupThreads, ConcurrentLookupsAllFindTheirOwners)
{
    const int server = listener();
    const std::uint16_t serverPort = localPort(server);
    std::vector<int> clients;
    for (int i = 0; i < 16; ++i)
        clients.push_back(connectTo(serverPort));
    OwnerChild child("tcp", serverPort);
    ConnectionOwnerLookup lookup;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 25; ++round) {
                const int fd = clients[std::size_t((t * 5 + round) % 16)];
                if (lookup.tcpOwnerPid(localPort(fd), kLoopback, serverPort, kLoopback) != std::uint32_t(getpid()))
                    ++wrong;
                if (lookup.tcpOwnerPid(child.port(), kLoopback, serverPort, kLoopback) != std::uint32_t(child.pid()))
                    ++wrong;
                if (round % 8 == 0)
                    lookup.clearCache();
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(wrong, 0);
    for (int fd : clients)
        close(fd);
    close(server);
}
