// The asynchronous SOCKS5 client against the scripted test server: the bytes
// of each request, replies of every form, and every way a handshake can end.
#include "socks5/AsyncSocksClient.h"

#include "base/Clock.h"
#include "tests/socks5/HandshakeRunner.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackTools.h"
#include "tests/support/SocksTestServer.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <string>

namespace {

using Bytes = SocksTestServer::Bytes;
using Script = SocksTestServer::Script;
using Client = AsyncSocksClient;

constexpr std::uint32_t kLoopback = 0x7F000001;
const Bytes kPayload = {'H', 'E', 'L', 'L', 'O', 0x05, 0x00};

Client::Request connectRequest(std::uint16_t serverPort, const std::string &name = {})
{
    Client::Request request;
    request.server = Endpoint::fromIpv4(kLoopback, serverPort);
    request.destination = Endpoint::fromIpv4(0x5DB8D822, 443); // 93.184.216.34
    request.hostName = name;
    return request;
}

Bytes concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What the destination sent after the handshake, and anything beyond it.
Bytes receiveAfterHandshake(int fd, std::size_t expected)
{
    Bytes out(expected + 16);
    std::size_t got = 0;
    for (int waits = 0; waits < 60 && got < expected; ++waits) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(fd, out.data() + got, out.size() - got, 0);
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
        const ssize_t n = ::recv(fd, out.data() + got, out.size() - got, 0);
        if (n > 0)
            got += std::size_t(n);
    }
    out.resize(got);
    return out;
}

} // namespace

TEST(AsyncSocksClientRequest, ByAddressTheRequestIsTenOrTwentyTwoBytesAndTheSocketIsHandedOver)
{
    SocksTestServer server;
    HandshakeRunner runner;
    const auto result = runner.run(connectRequest(server.port()));
    ASSERT_TRUE(result && result->ok());
    EXPECT_GE(result->socket, 0);
    EXPECT_EQ(result->bound, Endpoint::fromIpv4(kLoopback, 8080));
    EXPECT_EQ(server.greeting(), (Bytes{0x05, 0x01, 0x00}));
    EXPECT_EQ(server.request(), (Bytes{0x05, 0x01, 0x00, 0x01, 93, 184, 216, 34, 0x01, 0xBB}));

    Client::Request ipv6 = connectRequest(server.port());
    ipv6.destination = Endpoint{*IpAddress::parse("2001:db8::7"), 80};
    ASSERT_TRUE(runner.run(ipv6)->ok());
    Bytes expected = {0x05, 0x01, 0x00, 0x04, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0x00, 0x50};
    EXPECT_EQ(server.request(), expected);
}

TEST(AsyncSocksClientRequest, NameOf255CharactersIsA262ByteRequestAndALongerOneNeverStarts)
{
    SocksTestServer server;
    HandshakeRunner runner;
    const std::string name(255, 'a');
    ASSERT_TRUE(runner.run(connectRequest(server.port(), name))->ok());
    const Bytes request = server.request();
    ASSERT_EQ(request.size(), 262u);
    EXPECT_EQ(request[3], 0x03);
    EXPECT_EQ(request[4], 255);
    EXPECT_EQ(std::string(request.begin() + 5, request.begin() + 260), name);
    EXPECT_EQ(request[260], 0x01);
    EXPECT_EQ(request[261], 0xBB);

    LogCapture log;
    EXPECT_FALSE(runner.start(connectRequest(server.port(), std::string(256, 'b'))))
        << "a name that cannot be sent started a handshake";
    EXPECT_TRUE(log.contains("[BUFFER WARNING] Domain too long:")) << log.all();
    EXPECT_EQ(server.connections(), 1);
}

TEST(AsyncSocksClientReply, BoundAddressOfEveryTypeIsReadWholeAndTheDestinationsBytesFollowIntact)
{
    const std::string name = "proxy.internal.example";
    Bytes ipv6 = {0x05, 0x00, 0x00, 0x04};
    ipv6.insert(ipv6.end(), 16, 0x20);
    ipv6.insert(ipv6.end(), {0x12, 0x34});
    Bytes domain = {0x05, 0x00, 0x00, 0x03, std::uint8_t(name.size())};
    domain.insert(domain.end(), name.begin(), name.end());
    domain.insert(domain.end(), {0x00, 0x50});
    Script whole6;
    whole6.replyPieces = {concat(ipv6, kPayload)};
    Script wholeName;
    wholeName.replyPieces = {concat(domain, kPayload)};
    Script split; // a reply that arrives in pieces
    split.replyPieces = {{0x05}, {0x00, 0x00, 0x01, 10}, {0, 0, 1, 0x00}, concat({0x50}, kPayload)};
    split.pauseMs = 30;
    for (const Script &script : {whole6, wholeName, split}) {
        SocksTestServer server(script);
        HandshakeRunner runner;
        const auto result = runner.run(connectRequest(server.port()));
        ASSERT_TRUE(result && result->ok());
        EXPECT_EQ(receiveAfterHandshake(result->socket, kPayload.size()), kPayload)
            << "reply bytes were left in the socket, or the destination's bytes were taken";
    }
}

TEST(AsyncSocksClientReply, RefusedMethodAndRefusedRequestEndWithTheirCodes)
{
    Script userPassword;
    userPassword.greetingReply = {0x05, 0x02};
    Script refused;
    refused.replyPieces = {{0x05, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0}};
    SocksTestServer server(std::vector<Script>{userPassword, refused});
    HandshakeRunner runner;
    const auto auth = runner.run(connectRequest(server.port()));
    ASSERT_TRUE(auth);
    EXPECT_EQ(auth->failure, Client::Failure::AuthRejected);
    EXPECT_EQ(auth->code, 2);
    EXPECT_EQ(auth->socket, -1);
    const auto request = runner.run(connectRequest(server.port(), "example.com"));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->failure, Client::Failure::RequestRejected);
    EXPECT_EQ(request->code, 5);
    EXPECT_TRUE(server.waitForClientClose(2000, 0) && server.waitForClientClose(2000, 1))
        << "a failed handshake left its socket open";
}

TEST(AsyncSocksClientFailure, SilentOrTruncatingServerTimesOutWhileOthersGoOn)
{
    Script silent;
    silent.silent = true;
    Script truncated;
    truncated.replyPieces = {{0x05, 0x00, 0x00, 0x04, 1, 2, 3}};
    SocksTestServer silentServer(silent);
    SocksTestServer truncatingServer(truncated);
    SocksTestServer working;
    HandshakeRunner runner;
    Client::Request hanging = connectRequest(silentServer.port());
    hanging.timeoutMs = 300;
    auto hung = runner.start(hanging);
    Client::Request cut = connectRequest(truncatingServer.port());
    cut.timeoutMs = 300;
    auto truncatedResult = runner.start(cut);
    ASSERT_TRUE(hung && truncatedResult);
    EXPECT_TRUE(runner.run(connectRequest(working.port()))->ok()) << "a silent server held up another handshake";

    const Client::Result silentResult = hung->get();
    EXPECT_EQ(silentResult.failure, Client::Failure::TimedOut);
    EXPECT_EQ(silentResult.state, Client::kAuth) << "the greeting was sent, its answer awaited";
    EXPECT_EQ(silentResult.error, ETIMEDOUT);
    EXPECT_TRUE(silentServer.waitForClientClose(2000));
    const Client::Result cutResult = truncatedResult->get();
    EXPECT_EQ(cutResult.failure, Client::Failure::TimedOut);
    EXPECT_EQ(cutResult.state, Client::kResponse);
    EXPECT_EQ(Client::kHandshakeTimeoutMs, 10000);
    EXPECT_EQ(runner.socks().running(), 0u);
}

TEST(AsyncSocksClientFailure, UnreachableServerFailsAndAnInvalidOneNeverStarts)
{
    HandshakeRunner runner;
    std::uint16_t closedPort = 0;
    const int closed = refusingLoopbackSocket(&closedPort);
    const auto refused = runner.run(connectRequest(closedPort));
    ::close(closed);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->failure, Client::Failure::Connect);
    EXPECT_EQ(refused->error, ECONNREFUSED);
    Client::Request invalid = connectRequest(1080);
    invalid.server = Endpoint{};
    EXPECT_FALSE(runner.start(invalid));
}

TEST(AsyncSocksClientFailure, CancelEndsAHandshakeOnceAndClosesItsSocket)
{
    Script silent;
    silent.silent = true;
    SocksTestServer server(silent);
    HandshakeRunner runner;
    std::uint64_t id = 0;
    auto future = runner.start(connectRequest(server.port()), &id);
    ASSERT_TRUE(future);
    runner.socks().cancel(id);
    runner.socks().cancel(id); // a second cancel finds nothing to end
    EXPECT_EQ(future->get().failure, Client::Failure::Cancelled);
    EXPECT_TRUE(server.waitForClientClose(2000));
    EXPECT_EQ(runner.socks().running(), 0u);
}

TEST(AsyncSocksClientAssociate, UnspecifiedBoundAddressMeansTheServersAddress)
{
    Script unspecified;
    unspecified.bound = SocksTestServer::Bound::Unspecified;
    SocksTestServer server(unspecified);
    HandshakeRunner runner;
    Client::Request request;
    request.command = Client::Command::UdpAssociate;
    request.server = Endpoint::fromIpv4(kLoopback, server.port());
    const auto result = runner.run(request);
    ASSERT_TRUE(result && result->ok());
    EXPECT_EQ(server.request(), (Bytes{0x05, 0x03, 0x00, 0x01, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(result->bound.address, IpAddress::fromIpv4(kLoopback));
    EXPECT_NE(result->bound.port, 0);
}

TEST(AsyncSocksClientPlain, PlainConnectionIsPreparedThenOpenedWithoutASocks5Exchange)
{
    SocksTestServer server;
    HandshakeRunner runner;
    int prepared = -1;
    Client::Request request;
    request.command = Client::Command::None;
    request.server = Endpoint::fromIpv4(kLoopback, server.port());
    request.prepare = [&](int socket) {
        prepared = socket;
        return true;
    };
    const auto result = runner.run(request);
    ASSERT_TRUE(result && result->ok());
    EXPECT_EQ(result->socket, prepared);
    EXPECT_TRUE(eventually([&] { return server.connections() == 1; }));
    EXPECT_TRUE(server.greeting().empty()) << "a plain connection sent a SOCKS5 greeting";
    request.prepare = [](int) { return false; };
    EXPECT_EQ(runner.run(request)->failure, Client::Failure::Socket) << "a socket that could not be prepared was connected";
}

TEST(AsyncSocksClientTurns, HandshakesBeyondTheLimitOfOneServerWaitTheirTurnAndTimeOutFromTheirStart)
{
    constexpr std::size_t kExtra = 6;
    std::uint16_t silentPort = 0;
    const int silent = listenOnLoopback(&silentPort, 1024); // never accepts
    HandshakeRunner runner;
    std::vector<std::uint64_t> ids;
    std::vector<std::future<Client::Result>> results;
    for (std::size_t i = 0; i < Client::kMaxConnectingPerServer + kExtra; ++i) {
        std::uint64_t id = 0;
        results.push_back(*runner.start(connectRequest(silentPort), &id));
        ids.push_back(id);
    }
    auto counts = [&] { return runner.socks().stateCounts(); };
    eventually([&] { return counts()[Client::kAuth] == Client::kMaxConnectingPerServer; });
    EXPECT_EQ(counts()[Client::kAuth], Client::kMaxConnectingPerServer);
    EXPECT_EQ(counts()[Client::kWaiting], kExtra);

    SocksTestServer other;
    EXPECT_TRUE(runner.run(connectRequest(other.port()))->ok()) << "another server waited for this one";
    runner.socks().cancel(ids.front());
    EXPECT_EQ(counts()[Client::kWaiting], kExtra - 1) << "an ended handshake did not give its turn on";

    runner.socks().expire(monotonicNanoseconds() + std::int64_t(Client::kHandshakeTimeoutMs) * 1'000'000);
    for (std::size_t i = 1; i < results.size(); ++i)
        EXPECT_EQ(results[i].get().failure, Client::Failure::TimedOut) << "handshake " << i;
    EXPECT_EQ(runner.socks().running(), 0u);
    ::close(silent);
}

TEST(AsyncSocksClientTurns, AFreedTurnGoesToAWaitingConnectionBeforeWaitingAssociations)
{
    std::uint16_t silentPort = 0;
    const int silent = listenOnLoopback(&silentPort, 1024); // never accepts
    HandshakeRunner runner;
    std::vector<std::uint64_t> ids;
    std::vector<std::future<Client::Result>> results;
    auto start = [&](Client::Request request) {
        std::uint64_t id = 0;
        results.push_back(*runner.start(std::move(request), &id));
        ids.push_back(id);
        return id;
    };
    for (std::size_t i = 0; i < Client::kMaxConnectingPerServer; ++i)
        start(connectRequest(silentPort));
    Client::Request associate = connectRequest(silentPort);
    associate.command = Client::Command::UdpAssociate;
    for (int i = 0; i < 3; ++i)
        start(associate);
    const std::uint64_t connection = start(connectRequest(silentPort));
    EXPECT_EQ(runner.socks().stateOf(connection), Client::kWaiting);
    runner.socks().cancel(ids.front());
    EXPECT_NE(runner.socks().stateOf(connection), Client::kWaiting) << "the connection waited behind UDP associations";
    EXPECT_EQ(runner.socks().stateCounts()[Client::kWaiting], 3u);
    runner.socks().expire(monotonicNanoseconds() + std::int64_t(Client::kHandshakeTimeoutMs) * 1'000'000);
    for (std::size_t i = 1; i < results.size(); ++i)
        results[i].wait();
    ::close(silent);
}
