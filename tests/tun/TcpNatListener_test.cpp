#include "tun/CompletionDispatcher.h"
#include "tun/CompletionPort.h"
#include "tun/TcpNatListener.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr std::uint32_t kTunnel = 0x0A060701; // 10.6.7.1
constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kServerA = 0xC6120A0A;
constexpr std::uint32_t kServerB = 0xC6120A0B;

template <typename Condition>
bool waitFor(Condition condition)
{
    for (int i = 0; i < 200 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}
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
    CompletionDispatcher dispatcher(port, CompletionDispatcher::Routes{&listener, nullptr, nullptr, nullptr, nullptr});
    dispatcher.start(2);

    auto connectFrom = [&](std::uint16_t sourcePort) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(kLoopback);
        local.sin_port = htons(sourcePort);
        if (sourcePort)
            EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
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
    EXPECT_TRUE(waitFor([&] { return accepted.load() == 1; }));
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
