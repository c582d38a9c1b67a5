#include "net/ConnectionOwnerLookup.h"
#include "tests/tun/LogCapture.h"
#include "tun/CompletionDispatcher.h"
#include "tun/CompletionPort.h"
#include "tun/RoutingPolicy.h"
#include "tun/TcpNatRelay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <mutex>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::uint32_t kLoopback = 0x7F000001;

int listenOnLoopback(std::uint16_t *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(fd, 16);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

int connectTo(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    address.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

std::string receiveAll(int fd)
{
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return out;
        out.append(buffer, std::size_t(n));
    }
}

bool sendAll(int fd, const std::string &data)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}
} // namespace

// The relay over a direct connection (a bypass destination on loopback): the
// application's end is one side of a loopback pair whose other side stands for
// the socket the NAT listener accepted.
class TcpNatRelayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_port.create());
        m_policy.addBypassIp(kLoopback);
        m_relay = std::make_unique<TcpNatRelay>(m_port, TcpNatRelay::Settings{"127.0.0.1", &m_policy, nullptr, nullptr});
        m_relay->setSessionEndedCallback([this](const TcpNatSession &session) {
            std::lock_guard lock(m_endedMutex);
            m_endedNatPorts.push_back(session.natPort);
        });
        m_dispatcher = std::make_unique<CompletionDispatcher>(
            m_port, CompletionDispatcher::Routes{nullptr, m_relay.get(), nullptr, nullptr, nullptr});
        m_relay->start();
        m_dispatcher->start(2);
        m_server = listenOnLoopback(&m_serverPort);
    }

    void TearDown() override
    {
        m_dispatcher->stop();
        m_relay->stop();
        m_port.close();
        m_relay->releaseRecords();
        if (m_peer.joinable())
            m_peer.join();
        ::close(m_server);
    }

    // Opens a relayed connection to the test's server; returns the application's end.
    int openRelayed()
    {
        std::uint16_t pairPort = 0;
        const int pairListener = listenOnLoopback(&pairPort);
        const int application = connectTo(pairPort);
        const int accepted = ::accept4(pairListener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(pairListener);
        TcpNatSession session;
        session.clientAddress = kLoopback;
        session.clientPort = 1;
        session.destinationAddress = kLoopback;
        session.destinationPort = m_serverPort;
        session.natPort = kNatPort;
        m_relay->setUpRelay(accepted, session);
        return application;
    }

    template <typename Body>
    void servePeer(Body body)
    {
        m_peer = std::thread([this, body] {
            const int fd = ::accept(m_server, nullptr, nullptr);
            body(fd);
            ::close(fd);
        });
    }

    std::vector<std::uint16_t> endedNatPorts()
    {
        std::lock_guard lock(m_endedMutex);
        return m_endedNatPorts;
    }

    static constexpr std::uint16_t kNatPort = 31234;
    CompletionPort m_port;
    RoutingPolicy m_policy;
    std::mutex m_endedMutex;
    std::vector<std::uint16_t> m_endedNatPorts;
    std::unique_ptr<TcpNatRelay> m_relay;
    std::unique_ptr<CompletionDispatcher> m_dispatcher;
    int m_server = -1;
    std::uint16_t m_serverPort = 0;
    std::thread m_peer;
};

TEST_F(TcpNatRelayTest, DestinationSendingTenBytesThenClosingReachesTheApplicationWhole)
{
    servePeer([](int fd) { sendAll(fd, "0123456789"); });
    const int app = openRelayed();
    EXPECT_EQ(receiveAll(app), "0123456789");
    ::close(app);
}

TEST_F(TcpNatRelayTest, ApplicationHalfCloseIsPassedOnAndTheAnswerStillArrives)
{
    servePeer([](int fd) {
        const std::string request = receiveAll(fd); // until the application's FIN
        sendAll(fd, "got " + std::to_string(request.size()));
    });
    const int app = openRelayed();
    ASSERT_TRUE(sendAll(app, std::string(3'000'000, 'u')));
    ::shutdown(app, SHUT_WR);
    EXPECT_EQ(receiveAll(app), "got 3000000");
    ::close(app);
}

TEST_F(TcpNatRelayTest, LargeTransferBothWaysKeepsEveryByteInOrder)
{
    std::string data(24 * 1024 * 1024, '\0');
    std::mt19937 random(7);
    for (char &c : data)
        c = char(random());
    servePeer([](int fd) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !sendAll(fd, std::string(buffer, std::size_t(n))))
                break;
        }
    });
    const int app = openRelayed();
    std::string echoed;
    std::thread reader([&] { echoed = receiveAll(app); });
    ASSERT_TRUE(sendAll(app, data));
    ::shutdown(app, SHUT_WR);
    reader.join();
    EXPECT_TRUE(echoed == data) << "echoed " << echoed.size() << " of " << data.size() << " bytes, or out of order";
    ::close(app);
}

TEST_F(TcpNatRelayTest, ClosingARelayWithReceivesPendingEndsBothSidesAndLeavesNothingBehind)
{
    std::atomic<bool> peerSawEnd{false};
    servePeer([&](int fd) { peerSawEnd = receiveAll(fd).empty(); });
    const int app = openRelayed();
    for (int i = 0; i < 200 && m_relay->sessionCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(m_relay->sessionCount(), 1u);
    EXPECT_TRUE(endedNatPorts().empty());
    m_relay->closeRelay(1);
    EXPECT_EQ(receiveAll(app), "");
    m_peer.join();
    EXPECT_TRUE(peerSawEnd.load());
    EXPECT_EQ(m_relay->sessionCount(), 0u);
    m_relay->closeRelay(1); // twice is harmless
    EXPECT_EQ(endedNatPorts(), std::vector<std::uint16_t>{kNatPort}) << "the NAT port is freed once";
    ::close(app);
}

TEST_F(TcpNatRelayTest, UnreachableDirectDestinationClosesTheApplicationConnection)
{
    ::close(m_server); // nothing listens on the destination port any more
    m_server = ::socket(AF_INET, SOCK_STREAM, 0);
    const int app = openRelayed();
    EXPECT_EQ(receiveAll(app), "");
    EXPECT_EQ(m_relay->sessionCount(), 0u);
    EXPECT_EQ(endedNatPorts(), std::vector<std::uint16_t>{kNatPort}) << "a relay never set up frees its NAT port";
    ::close(app);
}

// The relay asks who owns each connection; one owned by the relaying process
// itself came back through the tunnel and would be relayed in a loop.
TEST(TcpNatRelayOwner, ConnectionOfTheRelayingProcessItselfIsRefused)
{
    LogCapture log;
    CompletionPort port;
    ASSERT_TRUE(port.create());
    RoutingPolicy policy;
    ConnectionOwnerLookup owners;
    TcpNatRelay relay(port, TcpNatRelay::Settings{"127.0.0.1", &policy, nullptr, &owners});
    relay.start();
    std::uint16_t pairPort = 0;
    const int pairListener = listenOnLoopback(&pairPort);
    const int application = connectTo(pairPort);
    const int accepted = ::accept4(pairListener, nullptr, nullptr, SOCK_CLOEXEC);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(application, reinterpret_cast<sockaddr *>(&local), &length);
    TcpNatSession session;
    session.clientAddress = kLoopback;
    session.clientPort = ntohs(local.sin_port);
    session.destinationAddress = kLoopback;
    session.destinationPort = pairPort;
    relay.setUpRelay(accepted, session);
    EXPECT_EQ(receiveAll(application), "") << "the looping connection was not closed";
    EXPECT_EQ(log.count("Refusing a connection of the daemon itself"), 1);
    EXPECT_EQ(relay.sessionCount(), 0u);
    relay.stop();
    ::close(application);
    ::close(pairListener);
}
