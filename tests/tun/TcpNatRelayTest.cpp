#include "tun/TcpNatRelay.h"

#include "base/Clock.h"
#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "net/ConnectionOwnerLookup.h"
#include "packet/DnsNameCache.h"
#include "packet/RoutingPolicy.h"
#include "socks5/AsyncSocksClient.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackTools.h"
#include "tests/support/SocksTestServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::uint32_t kLoopback = 0x7F000001;

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

// A connected loopback pair: returns the application's end (reads bounded as
// connectTo's), *accepted the end that stands for the socket the NAT listener accepted.
int applicationPair(int *accepted)
{
    const int application = connectedLoopbackPair(accepted);
    timeval tv{10, 0};
    setsockopt(application, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return application;
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
        m_policy.addBypassIp(IpAddress::fromIpv4(kLoopback));
        m_relay = std::make_unique<TcpNatRelay>(
            m_port, TcpNatRelay::Settings{IpAddress::fromIpv4(kLoopback), &m_policy, nullptr, nullptr, &m_socks, 0, true,
                                          &m_counters});
        m_relay->setSessionEndedCallback([this](const TcpNatSession &session) {
            std::lock_guard lock(m_endedMutex);
            m_endedNatPorts.push_back(session.natPort);
        });
        m_socks.attach(m_dispatcher);
        m_relay->attach(m_dispatcher);
        m_relay->start();
        m_dispatcher.start(2);
        m_server = listenOnLoopback(&m_serverPort);
    }

    void TearDown() override
    {
        m_dispatcher.stop();
        m_socks.cancelAll();
        m_relay->stop();
        m_port.close();
        m_relay->releaseRecords();
        m_socks.releaseRecords();
        if (m_peer.joinable())
            m_peer.join();
        ::close(m_server);
    }

    // The NAT session of a connection to the test's server.
    TcpNatSession sessionToServer(std::int64_t created = 0) const
    {
        TcpNatSession session;
        session.clientAddress = kLoopback;
        session.clientPort = 1;
        session.destinationAddress = kLoopback;
        session.destinationPort = m_serverPort;
        session.natPort = kNatPort;
        session.created = created;
        return session;
    }

    // Opens a relayed connection to the test's server, as the listener's
    // accept of the session does; returns the application's end.
    int openRelayed(const TcpNatSession &session)
    {
        int accepted = -1;
        const int application = applicationPair(&accepted);
        m_relay->setUpRelay(accepted, session);
        return application;
    }
    int openRelayed() { return openRelayed(sessionToServer()); }

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
    CompletionDispatcher m_dispatcher{m_port};
    AsyncSocksClient m_socks{m_port};
    RoutingPolicy m_policy;
    TunnelCounters m_counters;
    std::mutex m_endedMutex;
    std::vector<std::uint16_t> m_endedNatPorts;
    std::unique_ptr<TcpNatRelay> m_relay;
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

namespace {
// TCP_NODELAY of this process's socket connected to peerPort on loopback; -1 when there is none.
int noDelayOfSocketTo(std::uint16_t peerPort)
{
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != peerPort)
            continue;
        int value = 0;
        socklen_t size = sizeof value;
        if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &size) == 0)
            return value;
    }
    return -1;
}
} // namespace

// A small write is passed on at once on both of the relay's sockets, not held
// back until the one before it is acknowledged.
TEST_F(TcpNatRelayTest, BothSocketsOfARelaySendSmallWritesWithoutDelay)
{
    servePeer([](int fd) {
        sendAll(fd, "x");
        receiveAll(fd); // until the application closes
    });
    const int app = openRelayed();
    char x = 0;
    ASSERT_EQ(::recv(app, &x, 1, 0), 1);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(app, reinterpret_cast<sockaddr *>(&local), &length);
    EXPECT_EQ(noDelayOfSocketTo(m_serverPort), 1) << "the destination socket";
    EXPECT_EQ(noDelayOfSocketTo(ntohs(local.sin_port)), 1) << "the application's accepted socket";
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
    LogCapture log;
    EXPECT_FALSE(m_relay->logDiagnostics()) << "no diagnostics line without connections";
    std::atomic<bool> peerSawEnd{false};
    servePeer([&](int fd) { peerSawEnd = receiveAll(fd).empty(); });
    const int app = openRelayed();
    for (int i = 0; i < 200 && m_relay->sessionCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(m_relay->sessionCount(), 1u);
    EXPECT_TRUE(m_relay->logDiagnostics());
    EXPECT_TRUE(log.contains("[TCP-DIAG] Total connections: 1 CONNECTING: 0 H_GREETING: 0 H_AUTH: 0 H_REQUEST: 0 "
                             "H_RESPONSE: 0 ESTABLISHED: 1"))
        << log.all();
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

// While the relay is open it is listed with its endpoints, route and bytes
// each way (spliced or not); the totals keep its bytes after it has ended.
TEST_F(TcpNatRelayTest, OpenRelayIsListedWithItsBytesAndTheTotalsKeepThemAfterItEnds)
{
    servePeer([](int fd) {
        sendAll(fd, std::string(2000, 'd'));
        receiveAll(fd); // until the application's FIN
    });
    const int app = openRelayed();
    ASSERT_TRUE(sendAll(app, std::string(1000, 'u')));
    std::vector<FlowEntry> flows;
    for (int i = 0; i < 200 && (flows.empty() || flows[0].stats->bytesUp() < 1000 ||
                                flows[0].stats->bytesDown() < 2000); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        flows.clear();
        m_relay->appendFlows(flows);
    }
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_TRUE(flows[0].tcp);
    EXPECT_TRUE(flows[0].direct);
    EXPECT_EQ(flows[0].source, Endpoint::fromIpv4(kLoopback, 1));
    EXPECT_EQ(flows[0].destination, Endpoint::fromIpv4(kLoopback, m_serverPort));
    EXPECT_EQ(flows[0].stats->bytesUp(), 1000u);
    EXPECT_EQ(flows[0].stats->bytesDown(), 2000u);

    ::shutdown(app, SHUT_WR);
    EXPECT_EQ(receiveAll(app), std::string(2000, 'd'));
    for (int i = 0; i < 200 && m_relay->sessionCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    flows.clear();
    m_relay->appendFlows(flows);
    EXPECT_TRUE(flows.empty()) << "an ended relay is still listed";
    const TunnelCounters::Totals totals = m_counters.totals();
    EXPECT_EQ(totals.bytesUp, 1000u);
    EXPECT_EQ(totals.bytesDown, 2000u);
    ::close(app);
}

TEST_F(TcpNatRelayTest, UnreachableDirectDestinationClosesTheApplicationConnection)
{
    ::close(m_server); // nothing listens on the destination port any more
    m_server = ::socket(AF_INET, SOCK_STREAM, 0);
    const int app = openRelayed();
    EXPECT_EQ(receiveAll(app), "");
    EXPECT_EQ(m_relay->sessionCount(), 0u);
    for (int i = 0; i < 200 && endedNatPorts().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(endedNatPorts(), std::vector<std::uint16_t>{kNatPort}) << "a relay never set up frees its NAT port";
    ::close(app);
}

// The outbound connection opened on the SYN is the one the accept relays,
// whether it came up before the accept or comes up after it.
TEST_F(TcpNatRelayTest, ConnectionOpenedAheadIsRelayedOnceItsAcceptComes)
{
    // Shared with the peer thread, which may outlive a failed assertion here.
    auto reached = std::make_shared<std::atomic<bool>>(false);
    servePeer([reached](int fd) {
        reached->store(true);
        sendAll(fd, "0123456789");
    });
    m_relay->openAhead(sessionToServer(1));
    ASSERT_TRUE(eventually([&] { return reached->load(); })) << "nothing was opened before the accept";
    const int app = openRelayed(sessionToServer(1));
    EXPECT_EQ(receiveAll(app), "0123456789");
    EXPECT_EQ(m_relay->openedAheadCount(), 0u);
    ::close(app);
    m_peer.join();

    servePeer([](int fd) { sendAll(fd, "abc"); });
    m_relay->openAhead(sessionToServer(2));
    const int second = openRelayed(sessionToServer(2)); // most likely before it is up
    EXPECT_EQ(receiveAll(second), "abc");
    ::close(second);
}

// An outbound connection that failed before the accept closes the
// application's connection at the accept, and its NAT port is freed.
TEST_F(TcpNatRelayTest, OpeningAheadThatFailedClosesTheApplicationConnectionAtItsAccept)
{
    ::close(m_server); // nothing listens on the destination port any more
    m_server = ::socket(AF_INET, SOCK_STREAM, 0);
    m_relay->openAhead(sessionToServer(1));
    ASSERT_TRUE(eventually([&] { return m_relay->openingCount() == 0; }));
    EXPECT_TRUE(endedNatPorts().empty()) << "the session is the listener's until its accept";
    const int app = openRelayed(sessionToServer(1));
    EXPECT_EQ(receiveAll(app), "");
    EXPECT_TRUE(eventually([&] { return endedNatPorts() == std::vector<std::uint16_t>{kNatPort}; }));
    ::close(app);
}

// A SYN whose connection the listener never accepts does not keep an outbound
// connection open: past its time it is closed, and an accept after that (or a
// session that is not the one opened ahead) opens its own.
TEST_F(TcpNatRelayTest, OpeningAheadNeverTakenUpIsClosedAndALaterAcceptOpensItsOwn)
{
    // Shared with the peer thread, which may outlive a failed assertion here.
    auto unclaimed = std::make_shared<std::string>("not closed");
    auto reached = std::make_shared<std::atomic<bool>>(false);
    servePeer([unclaimed, reached](int fd) {
        reached->store(true);
        *unclaimed = receiveAll(fd);
    });
    m_relay->openAhead(sessionToServer(1));
    ASSERT_TRUE(eventually([&] { return reached->load(); })) << "the connection did not come up";
    m_relay->sweepOpenedAhead(monotonicNanoseconds() + TcpNatRelay::kOpenAheadClaimNs / 2);
    EXPECT_EQ(m_relay->openedAheadCount(), 1u) << "closed before its time";
    m_relay->sweepOpenedAhead(monotonicNanoseconds() + TcpNatRelay::kOpenAheadClaimNs);
    m_peer.join();
    EXPECT_EQ(*unclaimed, "") << "the unclaimed connection was not closed";
    EXPECT_EQ(m_relay->openedAheadCount(), 0u);
    EXPECT_TRUE(endedNatPorts().empty()) << "the listener still holds the session";

    servePeer([](int fd) { sendAll(fd, "own"); });
    const int app = openRelayed(sessionToServer(1));
    EXPECT_EQ(receiveAll(app), "own");
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
    AsyncSocksClient socks(port);
    TcpNatRelay relay(port, TcpNatRelay::Settings{IpAddress::fromIpv4(kLoopback), &policy, nullptr, &owners, &socks});
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

namespace {

// The proxied connections of these tests: the relay with its own port and
// SOCKS5 client, the proxy on loopback, the destination named to it only.
class ProxiedRelay {
public:
    explicit ProxiedRelay(std::uint16_t proxyPort, DnsNameCache *names = nullptr)
    {
        m_port.create();
        m_policy.setProxyPort(proxyPort);
        m_policy.addBypassIp(IpAddress::fromIpv4(kLoopback));
        m_relay = std::make_unique<TcpNatRelay>(
            m_port, TcpNatRelay::Settings{IpAddress::fromIpv4(kLoopback), &m_policy, names, nullptr, &m_socks});
        m_relay->setSessionEndedCallback([this](const TcpNatSession &) { ++m_ended; });
        m_socks.attach(m_dispatcher);
        m_relay->attach(m_dispatcher);
        m_relay->start();
        m_dispatcher.start(2);
    }
    ~ProxiedRelay()
    {
        m_dispatcher.stop();
        m_socks.cancelAll(); // handshakes in flight end before the port closes
        m_relay->stop();
        m_port.close();
        m_relay->releaseRecords();
        m_socks.releaseRecords();
    }

    // A new relayed connection to the destination; the application's end.
    int open(std::uint32_t destination, std::uint16_t port, std::uint16_t clientPort)
    {
        int accepted = -1;
        const int application = applicationPair(&accepted);
        TcpNatSession session;
        session.clientAddress = kLoopback;
        session.clientPort = clientPort;
        session.destinationAddress = destination;
        session.destinationPort = port;
        m_relay->setUpRelay(accepted, session);
        return application;
    }

    TcpNatRelay &relay() { return *m_relay; }
    AsyncSocksClient &socks() { return m_socks; }
    int ended() const { return m_ended.load(); }

private:
    CompletionPort m_port;
    CompletionDispatcher m_dispatcher{m_port};
    AsyncSocksClient m_socks{m_port};
    RoutingPolicy m_policy;
    std::unique_ptr<TcpNatRelay> m_relay;
    std::atomic<int> m_ended{0};
};

constexpr std::uint32_t kProxiedDestination = 0x0A0B0C0D; // 10.11.12.13, only ever named to the proxy

} // namespace

// The host name from a DNS answer is tried first; only a refusal of that request
// by the proxy leads to a second try by address.
TEST(TcpNatRelayProxy, ByNameRequestIsRetriedByAddressOnlyAfterTheProxyRefusedIt)
{
    SocksTestServer::Script refuse;
    refuse.replyPieces = {{0x05, 0x04, 0x00, 0x01, 0, 0, 0, 0, 0, 0}};
    SocksTestServer::Script close;
    close.closeOnRequest = true;
    SocksTestServer::Script grant;
    grant.afterReply = {'v', 'i', 'a', '-', 'p', 'r', 'o', 'x', 'y'};
    for (const bool rejects : {true, false}) {
        SocksTestServer proxy(std::vector<SocksTestServer::Script>{rejects ? refuse : close, grant});
        DnsNameCache names;
        DnsAnswers answers;
        answers.ipv4[kProxiedDestination] =
            DnsNameEntry{"service.example", std::chrono::steady_clock::now() + std::chrono::hours(1)};
        names.insert(answers);
        ProxiedRelay relayed(proxy.port(), &names);
        const int application = relayed.open(kProxiedDestination, 80, 2);
        // The granted connection stays open: only the bytes that came are read.
        std::string received(9, '\0');
        const ssize_t n = ::recv(application, received.data(), received.size(), MSG_WAITALL);
        EXPECT_EQ(received.substr(0, std::size_t(std::max<ssize_t>(n, 0))), rejects ? "via-proxy" : "");
        std::vector<int> types;
        for (const SocksTestServer::Bytes &request : proxy.requests())
            types.push_back(request[3]);
        EXPECT_EQ(types, rejects ? std::vector<int>({3, 1}) : std::vector<int>({3}))
            << (rejects ? "the refused name was not retried by address" : "a failed proxy was asked again");
        ::close(application);
    }
}

// A proxy port that accepts connections and never answers holds up only the
// connections sent to it, each until the handshake time-out (run out here at
// once); direct connections go on meanwhile, and stop ends the handshakes
// still hanging instead of waiting for them.
TEST(TcpNatRelayProxy, ProxyThatNeverAnswersHoldsUpOnlyItsOwnConnectionsUntilTheHandshakeBound)
{
    constexpr int kHanging = 40;
    std::uint16_t silentPort = 0;
    const int silentProxy = listenOnLoopback(&silentPort, 256); // never accepts: the greeting goes unanswered
    std::uint16_t serverPort = 0;
    const int server = listenOnLoopback(&serverPort);
    ProxiedRelay relayed(silentPort);
    std::vector<int> applications;
    for (int i = 0; i < kHanging; ++i)
        applications.push_back(relayed.open(kProxiedDestination, 80, std::uint16_t(100 + i)));
    ASSERT_TRUE(eventually([&] { return relayed.socks().stateCounts()[AsyncSocksClient::kAuth] == kHanging; }));
    LogCapture log;
    EXPECT_TRUE(relayed.relay().logDiagnostics());
    EXPECT_TRUE(log.contains("[TCP-DIAG] Total connections: 40 CONNECTING: 0 H_GREETING: 0 H_AUTH: 40 H_REQUEST: 0 "
                             "H_RESPONSE: 0 ESTABLISHED: 0"))
        << log.all();

    std::thread peer([server] {
        const int fd = ::accept(server, nullptr, nullptr);
        sendAll(fd, "direct");
        ::close(fd);
    });
    const int direct = relayed.open(kLoopback, serverPort, 99);
    EXPECT_EQ(receiveAll(direct), "direct") << "a direct connection waited for the silent proxy";
    peer.join();

    relayed.socks().expire(monotonicNanoseconds() + std::int64_t(TcpNatRelay::kConnectTimeoutMs) * 1'000'000);
    for (int fd : applications) {
        EXPECT_EQ(receiveAll(fd), "") << "a connection outlived the handshake bound";
        ::close(fd);
    }
    EXPECT_EQ(relayed.relay().openingCount(), 0u);
    EXPECT_EQ(relayed.ended(), kHanging) << "every NAT port is freed once";

    const int stuck = relayed.open(kProxiedDestination, 80, 200);
    ASSERT_TRUE(eventually([&] { return relayed.socks().running() == 1; }));
    relayed.relay().stop();
    EXPECT_EQ(receiveAll(stuck), "") << "stop left a handshake hanging";
    EXPECT_EQ(relayed.socks().running(), 0u);
    ::close(stuck);
    ::close(direct);
    ::close(server);
    ::close(silentProxy);
}

// A proxy that refuses (its port closed, or a refusing reply) is routine while
// the proxy core restarts or filters: after the first few, refused connections
// write no more warnings.
TEST(TcpNatRelayProxy, ManyRefusedConnectionsWriteABoundedNumberOfWarnings)
{
    constexpr int kConnections = 120;
    SocksTestServer::Script refuse;
    refuse.replyPieces = {{0x05, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0}};
    SocksTestServer refusing(refuse);
    std::uint16_t closedPort = 0;
    const int closed = refusingLoopbackSocket(&closedPort);
    LogCapture log;
    for (const std::uint16_t proxyPort : {refusing.port(), closedPort}) {
        ProxiedRelay relayed(proxyPort);
        std::vector<int> applications;
        for (int i = 0; i < kConnections; ++i)
            applications.push_back(relayed.open(kProxiedDestination, 80, std::uint16_t(1000 + i)));
        ASSERT_TRUE(eventually([&] { return relayed.ended() == kConnections; }, 10000));
        for (int fd : applications)
            ::close(fd);
    }
    const int lines = log.countAt(QtWarningMsg, "") + log.countAt(QtCriticalMsg, "");
    EXPECT_GT(lines, 0) << "the refusals were not logged at all";
    EXPECT_LE(lines, 40) << log.all();
    ::close(closed);
}
