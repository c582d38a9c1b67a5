#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "tun/TcpNatListener.h"
#include "tests/support/LoopbackTools.h"
#include "tests/support/ManualClock.h"

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
constexpr std::int64_t kLifetime = TcpNatListener::kUnacceptedSessionLifetimeNs;

// A TCP socket bound to a loopback port of the system's choosing and kept
// until it connects from there, so no one else takes the port meanwhile. The
// listener sees that port as the NAT port, as it sees T + 1's in the tunnel.
class BoundClient {
public:
    BoundClient()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = loopbackAddress(0);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    ~BoundClient() { ::close(m_fd); }
    std::uint16_t port() const { return m_port; }
    bool connectTo(std::uint16_t port)
    {
        const sockaddr_in to = loopbackAddress(port);
        return ::connect(m_fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
    }
    // True when the other side closed the connection.
    bool closedByPeer()
    {
        char byte;
        return ::recv(m_fd, &byte, 1, 0) == 0;
    }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// A listener on loopback with its completion workers.
struct RunningListener {
    explicit RunningListener(const ManualClock &clock) : listener(clock.clock())
    {
        if (!port.create())
            return;
        started = listener.startListener(kLoopback, 0, &listenPort, &port, [this](int socket, const TcpNatSession &s) {
            lastClientPort = s.clientPort;
            ++accepted;
            ::close(socket); // the session stays active, as while its relay runs
        });
        listener.attach(dispatcher);
        dispatcher.start(2);
    }
    ~RunningListener()
    {
        dispatcher.stop();
        listener.stopListener();
    }
    CompletionPort port;
    TcpNatListener listener;
    CompletionDispatcher dispatcher{port};
    std::uint16_t listenPort = 0;
    bool started = false;
    std::atomic<int> accepted{0};
    std::atomic<int> lastClientPort{0};
};
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
    ManualClock clock;
    RunningListener running(clock);
    ASSERT_TRUE(running.started);
    BoundClient known;
    running.listener.setNextNatPort(known.port());
    ASSERT_EQ(running.listener.getOrCreateSession(kTunnel, 41000, kServerA, 80), known.port());
    ASSERT_TRUE(known.connectTo(running.listenPort));
    EXPECT_TRUE(eventually([&] { return running.accepted.load() == 1; }));
    EXPECT_EQ(running.lastClientPort.load(), 41000);
    // No session for an arbitrary source port: closed, and the listener goes on.
    for (int i = 0; i < 2; ++i) {
        BoundClient unknown;
        ASSERT_TRUE(unknown.connectTo(running.listenPort));
        EXPECT_TRUE(unknown.closedByPeer()) << "an accept without NAT session was not closed";
    }
    EXPECT_EQ(running.accepted.load(), 1);
    running.dispatcher.stop();
    running.listener.stopListener();
    EXPECT_EQ(running.listener.sessionCount(), 0u);
}

// An accepted connection keeps its NAT port for as long as it is open; one
// whose handshake with the listener never completed gives it up after 180 s,
// not before. Were an open connection's port handed out, its packets and the
// new connection's would be crossed.
TEST(TcpNatListener, OpenConnectionsKeepTheirPortUnacceptedOnesGiveItUpAfter180Seconds)
{
    ManualClock clock;
    RunningListener running(clock);
    ASSERT_TRUE(running.started);
    TcpNatListener &listener = running.listener;
    BoundClient client;
    listener.setNextNatPort(client.port());
    ASSERT_EQ(listener.getOrCreateSession(kTunnel, 41000, kServerA, 80), client.port());
    ASSERT_TRUE(client.connectTo(running.listenPort));
    ASSERT_TRUE(eventually([&] { return running.accepted.load() == 1; }));
    const std::uint16_t unaccepted = listener.getOrCreateSession(kTunnel, 41001, kServerA, 80);

    clock.advance(kLifetime - 1);
    listener.setNextNatPort(unaccepted);
    EXPECT_NE(listener.getOrCreateSession(kTunnel, 41002, kServerA, 80), unaccepted) << "expired before 180 s";
    clock.advance(1);
    listener.setNextNatPort(client.port());
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 41003, kServerB, 443), unaccepted)
        << "the open connection's port was handed out, or the unaccepted one's kept";
    const auto open = listener.findSessionByClient(kTunnel, 41000, kServerA, 80);
    ASSERT_TRUE(open) << "the open connection lost its session";
    EXPECT_EQ(open->natPort, client.port());
    EXPECT_EQ(listener.findSessionByNatPort(client.port()), open);
    EXPECT_FALSE(listener.findSessionByClient(kTunnel, 41001, kServerA, 80)) << "its port went, its entry stayed";
}

// With every NAT port held by an open connection a new one gets none (0: the
// tunnel does not take it) rather than a port in use; a port comes free as
// soon as its connection ends.
TEST(TcpNatListener, FullPortSpaceHandsOutNoPortInUse)
{
    ManualClock clock; // stands still: no session expires
    TcpNatListener listener(clock.clock());
    for (std::uint32_t clientPort = 1; clientPort <= 65535; ++clientPort)
        ASSERT_NE(listener.getOrCreateSession(kTunnel, std::uint16_t(clientPort), kServerA, 80), 0);
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 1, kServerB, 443), 0) << "a port in use was handed out";
    EXPECT_EQ(listener.sessionCount(), 65535u);
    EXPECT_EQ(listener.findSessionByNatPort(30000)->clientPort, 1);
    listener.endSession(*listener.findSessionByNatPort(30006));
    EXPECT_EQ(listener.getOrCreateSession(kTunnel, 1, kServerB, 443), 30006);
    EXPECT_EQ(listener.findSessionByNatPort(30000)->clientPort, 1);
}

// Out of descriptors, the accept fails and would fail again at once: it is
// posted again only after a pause, not spun on, and the connection waiting in
// the queue is accepted once descriptors are free again.
TEST(TcpNatListener, AcceptFailingForWantOfDescriptorsIsRetriedAfterAPauseNotSpun)
{
    ManualClock clock;
    RunningListener running(clock);
    ASSERT_TRUE(running.started);
    BoundClient client;
    running.listener.setNextNatPort(client.port());
    running.listener.getOrCreateSession(kTunnel, 42000, kServerA, 80);

    // Every descriptor below a lowered limit in use: the accept gets EMFILE.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd; fillers.size() < 256 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    ASSERT_TRUE(client.connectTo(running.listenPort));
    EXPECT_TRUE(eventually([&] { return running.dispatcher.handled() >= 1; })) << "the accept did not fail";
    clock.advance(TcpNatListener::kAcceptRetryDelayNs);
    EXPECT_TRUE(eventually([&] { return running.dispatcher.handled() >= 2; })) << "no retry after the pause";
    for (int fd : fillers)
        ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    clock.advance(TcpNatListener::kAcceptRetryDelayNs);

    EXPECT_TRUE(eventually([&] { return running.accepted.load() == 1; })) << "the accept was not re-armed";
    EXPECT_EQ(running.dispatcher.handled(), 3u) << "the failing accept was posted again without a pause";
}
