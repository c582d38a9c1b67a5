#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "tun/TcpNatListener.h"
#include "tests/support/LoopbackTools.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::uint32_t kTunnel = 0x0A060701; // 10.6.7.1
constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kServerA = 0xC6120A0A;
constexpr std::uint32_t kServerB = 0xC6120A0B;

} // namespace

TEST(TcpNatListener, NatPortsCountFrom30000AndRetransmittedSynsKeepTheirPort)
{
    TcpNatListener listener;
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40000, kServerA, 80), 30000);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40001, kServerA, 80), 30001);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40000, kServerA, 80), 30000) << "a SYN retransmission";
    const auto session = listener.findSessionByNatPort(30001);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->clientPort, 40001);
    EXPECT_EQ(session->destinationAddress, kServerA);
    EXPECT_EQ(listener.findSessionByClient(kTunnel, 40000, kServerA, 80)->natPort, 30000);
    EXPECT_FALSE(listener.findSessionByClient(kTunnel, 40002, kServerA, 80));
}

// One local port may carry connections to several destinations at once: each
// keeps its own session, and packets of one are never rewritten into the other.
TEST(TcpNatListener, ConnectionsFromOneClientPortToTwoDestinationsKeepSeparateSessions)
{
    TcpNatListener listener;
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40000, kServerA, 80), 30000);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40000, kServerB, 443), 30001);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40000, kServerA, 80), 30000) << "retransmitted SYN of the first";
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40000, kServerB, 443), 30001) << "retransmitted SYN of the second";
    EXPECT_EQ(listener.findSessionByClient(kTunnel, 40000, kServerA, 80)->natPort, 30000);
    EXPECT_EQ(listener.findSessionByClient(kTunnel, 40000, kServerB, 443)->natPort, 30001);
    EXPECT_FALSE(listener.findSessionByClient(kTunnel, 40000, kServerA, 443)) << "another destination port";
    EXPECT_EQ(listener.findSessionByNatPort(30000)->destinationAddress, kServerA);
    EXPECT_EQ(listener.findSessionByNatPort(30001)->destinationAddress, kServerB);
    EXPECT_EQ(listener.sessionCount(), 2u);
}

TEST(TcpNatListener, PortCounterWrapsPastZeroAndSkipsPortsOfOpenConnections)
{
    TcpNatListener listener;
    listener.setNextNatPort(65535);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 1000, kServerA, 80), 65535);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 1001, kServerA, 80), 1) << "port 0 means no NAT session";

    listener.setNextNatPort(30000);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40000, kServerA, 80), 30000);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40001, kServerA, 80), 30001);
    listener.setNextNatPort(30000); // as after a wrap-around
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40002, kServerA, 80), 30002) << "30000 and 30001 are still open";

    // The first connection ends: its port goes to the next new connection, and
    // its client entry goes with it.
    const TcpNatSession first = *listener.findSessionByNatPort(30000);
    listener.endSession(first);
    EXPECT_TRUE(listener.findSessionByClient(kTunnel, 40000, kServerA, 80)) << "still translates its closing packets";
    listener.setNextNatPort(30000);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40003, kServerB, 443), 30000);
    EXPECT_FALSE(listener.findSessionByClient(kTunnel, 40000, kServerA, 80));
    EXPECT_EQ(listener.findSessionByNatPort(30000)->clientPort, 40003);
    // A late end of the old connection leaves the port's new owner alone.
    listener.endSession(first);
    listener.setNextNatPort(30000);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 40004, kServerA, 80), 30003);
    EXPECT_EQ(listener.sessionCount(), 6u);
}

// A real accept: the connection's source port names the NAT session, as the
// rewritten packets from T + 1 do in the tunnel.
TEST(TcpNatListener, AcceptHandsTheSessionOfTheRemotePortToTheCallbackAndClosesUnknownOnes)
{
    CompletionPort port;
    ASSERT_TRUE(port.create());
    TcpNatListener listener;
    std::atomic<int> accepted{0};
    std::atomic<int> lastClientPort{0};
    std::uint16_t listenPort = 0;
    ASSERT_TRUE(listener.startListener(kLoopback, 0, &listenPort, &port, [&](int socket, const TcpNatSession &s) {
        lastClientPort = s.clientPort;
        ++accepted;
        ::close(socket);
    }));
    ASSERT_NE(listenPort, 0);
    CompletionDispatcher dispatcher(port);
    listener.attach(dispatcher);
    dispatcher.start(2);

    auto connectFrom = [&](std::uint16_t sourcePort) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(kLoopback);
        local.sin_port = htons(sourcePort);
        if (sourcePort) {
            EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
        }
        local.sin_port = htons(listenPort);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
        return fd;
    };
    // A client port with a session: its NAT port is the source port used.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(kLoopback);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    socklen_t length = sizeof any;
    getsockname(probe, reinterpret_cast<sockaddr *>(&any), &length);
    const std::uint16_t freePort = ntohs(any.sin_port);
    ::close(probe);
    listener.setNextNatPort(freePort);
    ASSERT_EQ(listener.getOrCreateSession(kTunnel, 41000, kServerA, 80), freePort);

    const int known = connectFrom(freePort);
    EXPECT_TRUE(eventually([&] { return accepted.load() == 1; }));
    EXPECT_EQ(lastClientPort.load(), 41000);
    // No session for an arbitrary source port: closed, and the listener goes on.
    const int unknown = connectFrom(0);
    char byte;
    EXPECT_EQ(::recv(unknown, &byte, 1, 0), 0) << "an accept without NAT session was not closed";
    const int again = connectFrom(freePort == 65535 ? 0 : 0);
    EXPECT_EQ(::recv(again, &byte, 1, 0), 0);
    EXPECT_EQ(accepted.load(), 1);
    for (int fd : {known, unknown, again})
        ::close(fd);
    dispatcher.stop();
    listener.stopListener();
    EXPECT_EQ(listener.sessionCount(), 0u);
}

// Out of descriptors, the accept fails and would fail again at once: it is
// posted again after a pause instead of spinning a worker, and the connection
// waiting in the queue is accepted once descriptors are free again.
TEST(TcpNatListener, AcceptFailingForWantOfDescriptorsIsRetriedAfterAPauseNotSpun)
{
    CompletionPort port;
    ASSERT_TRUE(port.create());
    TcpNatListener listener;
    std::atomic<int> accepted{0};
    std::uint16_t listenPort = 0;
    ASSERT_TRUE(listener.startListener(kLoopback, 0, &listenPort, &port, [&](int socket, const TcpNatSession &) {
        ++accepted;
        ::close(socket);
    }));
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(kLoopback);
    ASSERT_EQ(::bind(client, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    getsockname(client, reinterpret_cast<sockaddr *>(&local), &length);
    listener.setNextNatPort(ntohs(local.sin_port));
    listener.getOrCreateSession(kTunnel, 42000, kServerA, 80);
    CompletionDispatcher dispatcher(port);
    listener.attach(dispatcher);
    dispatcher.start(2);

    // Every descriptor below a lowered limit in use: the accept gets EMFILE.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd; fillers.size() < 256 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    local.sin_port = htons(listenPort);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::uint64_t handledWhileExhausted = dispatcher.handled();
    for (int fd : fillers)
        ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_GE(handledWhileExhausted, 1u) << "the accept did not fail";
    EXPECT_LE(handledWhileExhausted, 10u) << "the failing accept was posted again at once";
    EXPECT_TRUE(eventually([&] { return accepted.load() == 1; })) << "the accept was not re-armed";
    dispatcher.stop();
    listener.stopListener();
    ::close(client);
}
