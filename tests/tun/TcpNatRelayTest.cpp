#include "net/ConnectionOwnerLookup.h"
#include "tests/support/LogCapture.h"
#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "packet/DnsNameCache.h"
#include "packet/RoutingPolicy.h"
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

namespace {
// A connected loopback pair: returns the application's end, *accepted the end
// that stands for the socket the NAT listener accepted.
int applicationPair(int *accepted)
{
    std::uint16_t pairPort = 0;
    const int pairListener = listenOnLoopback(&pairPort);
    const int application = connectTo(pairPort);
    *accepted = ::accept4(pairListener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(pairListener);
    return application;
}

bool receiveExact(int fd, std::uint8_t *out, std::size_t length)
{
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::recv(fd, out + got, length - got, 0);
        if (n <= 0)
            return false;
        got += std::size_t(n);
    }
    return true;
}

// A SOCKS5 proxy that answers the greeting, records the address type of each
// CONNECT request, and then refuses a by-name request (reply 4), just closes on
// one (as a proxy failing mid-handshake), or grants a by-address one and sends
// "via-proxy". Serves a bounded number of connections.
class ScriptedSocksProxy {
public:
    enum class OnName { Reject, Close };

    explicit ScriptedSocksProxy(OnName onName) : m_onName(onName)
    {
        m_listener = listenOnLoopback(&m_port);
        timeval tv{3, 0};
        setsockopt(m_listener, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        m_thread = std::thread([this] {
            for (int served = 0; served < 4; ++served) {
                const int fd = ::accept(m_listener, nullptr, nullptr);
                if (fd < 0)
                    return;
                serve(fd);
                ::close(fd);
            }
        });
    }
    ~ScriptedSocksProxy()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    std::uint16_t port() const { return m_port; }
    std::vector<int> requestTypes()
    {
        std::lock_guard lock(m_mutex);
        return m_types;
    }

private:
    void serve(int fd)
    {
        std::uint8_t buffer[300];
        if (!receiveExact(fd, buffer, 3) || !sendAll(fd, std::string("\x05\x00", 2)) || !receiveExact(fd, buffer, 4))
            return;
        const int type = buffer[3];
        std::size_t rest = type == 1 ? 6 : 0;
        if (type == 3 && receiveExact(fd, buffer, 1))
            rest = std::size_t(buffer[0]) + 2;
        if (rest == 0 || !receiveExact(fd, buffer, rest))
            return;
        {
            std::lock_guard lock(m_mutex);
            m_types.push_back(type);
        }
        if (type == 3) {
            if (m_onName == OnName::Reject)
                sendAll(fd, std::string("\x05\x04\x00\x01\x00\x00\x00\x00\x00\x00", 10));
            return;
        }
        sendAll(fd, std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10) + "via-proxy");
    }

    OnName m_onName;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<int> m_types;
};

constexpr std::uint32_t kProxiedDestination = 0x0A0B0C0D; // 10.11.12.13, only ever named to the proxy
} // namespace

// The host name from a DNS answer is tried first; only a refusal of that request
// by the proxy leads to a second try by address.
TEST(TcpNatRelayProxy, ByNameRequestIsRetriedByAddressOnlyAfterTheProxyRefusedIt)
{
    for (const auto onName : {ScriptedSocksProxy::OnName::Reject, ScriptedSocksProxy::OnName::Close}) {
        const bool rejects = onName == ScriptedSocksProxy::OnName::Reject;
        ScriptedSocksProxy proxy(onName);
        CompletionPort port;
        ASSERT_TRUE(port.create());
        RoutingPolicy policy;
        policy.setProxyPort(proxy.port());
        DnsNameCache names;
        DnsAnswers answers;
        answers.ipv4[kProxiedDestination] =
            DnsNameEntry{"service.example", std::chrono::steady_clock::now() + std::chrono::hours(1)};
        names.insert(answers);
        TcpNatRelay relay(port, TcpNatRelay::Settings{"127.0.0.1", &policy, &names, nullptr});
        CompletionDispatcher dispatcher(port, CompletionDispatcher::Routes{nullptr, &relay, nullptr, nullptr, nullptr});
        relay.start();
        dispatcher.start(2);
        int accepted = -1;
        const int application = applicationPair(&accepted);
        TcpNatSession session;
        session.clientAddress = kLoopback;
        session.clientPort = 2;
        session.destinationAddress = kProxiedDestination;
        session.destinationPort = 80;
        relay.setUpRelay(accepted, session);
        EXPECT_EQ(receiveAll(application), rejects ? "via-proxy" : "");
        EXPECT_EQ(proxy.requestTypes(), rejects ? std::vector<int>({3, 1}) : std::vector<int>({3}))
            << (rejects ? "the refused name was not retried by address" : "a failed proxy was asked again");
        dispatcher.stop();
        relay.stop();
        port.close();
        relay.releaseRecords();
        ::close(application);
    }
}

// A proxy port that accepts connections and never answers holds every proxy
// thread until the handshake time-out; direct connections go on meanwhile, and
// stop ends the hanging handshakes instead of waiting for them.
TEST(TcpNatRelayProxy, ProxyThatNeverAnswersHoldsUpNeitherDirectConnectionsNorStop)
{
    std::uint16_t silentPort = 0;
    const int silentProxy = listenOnLoopback(&silentPort); // never accepts: the greeting goes unanswered
    ::listen(silentProxy, 128);
    std::uint16_t serverPort = 0;
    const int server = listenOnLoopback(&serverPort);
    CompletionPort port;
    ASSERT_TRUE(port.create());
    RoutingPolicy policy;
    policy.setProxyPort(silentPort);
    policy.addBypassIp(kLoopback);
    TcpNatRelay relay(port, TcpNatRelay::Settings{"127.0.0.1", &policy, nullptr, nullptr});
    CompletionDispatcher dispatcher(port, CompletionDispatcher::Routes{nullptr, &relay, nullptr, nullptr, nullptr});
    relay.start();
    dispatcher.start(2);

    std::vector<int> applications;
    for (int i = 0; i < TcpNatRelay::kProxyConnectThreads + 4; ++i) {
        int accepted = -1;
        applications.push_back(applicationPair(&accepted));
        TcpNatSession session;
        session.clientAddress = kLoopback;
        session.clientPort = std::uint16_t(100 + i);
        session.destinationAddress = kProxiedDestination;
        session.destinationPort = 80;
        relay.setUpRelay(accepted, session);
    }
    for (int i = 0; i < 200 && relay.connectionCounts().handshaking < std::size_t(TcpNatRelay::kProxyConnectThreads); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(relay.connectionCounts().handshaking, std::size_t(TcpNatRelay::kProxyConnectThreads));

    std::thread peer([server] {
        const int fd = ::accept(server, nullptr, nullptr);
        sendAll(fd, "direct");
        ::close(fd);
    });
    int accepted = -1;
    const int application = applicationPair(&accepted);
    TcpNatSession session;
    session.clientAddress = kLoopback;
    session.clientPort = 99;
    session.destinationAddress = kLoopback;
    session.destinationPort = serverPort;
    const auto started = std::chrono::steady_clock::now();
    relay.setUpRelay(accepted, session);
    EXPECT_EQ(receiveAll(application), "direct");
    // Well below the proxy handshake time-out that the hanging handshakes wait for.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "direct connection starved";
    peer.join();

    const auto stopping = std::chrono::steady_clock::now();
    dispatcher.stop();
    relay.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5)) << "stop waited for handshakes";
    for (int fd : applications) {
        EXPECT_EQ(receiveAll(fd), "");
        ::close(fd);
    }
    port.close();
    relay.releaseRecords();
    ::close(application);
    ::close(server);
    ::close(silentProxy);
}
