#include "relay/SocksClient.h"

#include "tests/relay/ScriptedSocksServer.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using Bytes = ScriptedSocksServer::Bytes;
using Script = ScriptedSocksServer::Script;

Bytes concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kPayload = {'H', 'E', 'L', 'L', 'O', 0x05, 0x00};

// Reads what the destination sent after the handshake (bounded wait).
Bytes receiveAfterHandshake(int fd, std::size_t expected)
{
    Bytes out(expected + 16);
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (got < expected && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(fd, out.data() + got, out.size() - got, 0);
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    // Anything beyond the expected bytes would be left-over reply bytes.
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
        const ssize_t n = recv(fd, out.data() + got, out.size() - got, 0);
        if (n > 0)
            got += std::size_t(n);
    }
    out.resize(got);
    return out;
}

} // namespace

TEST(SocksClientHandshake, Ipv4RequestIsTenBytesAndSucceeds)
{
    ScriptedSocksServer server(Script{});
    SocksClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connectViaIpv4(0x5DB8D822, 443));
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(server.greeting(), (Bytes{0x05, 0x01, 0x00}));
    EXPECT_EQ(server.request(), (Bytes{0x05, 0x01, 0x00, 0x01, 93, 184, 216, 34, 0x01, 0xBB}));
    client.close();
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(client.socket(), -1);
}

TEST(SocksClientHandshake, UsernamePasswordGreetingFailsAuthentication)
{
    Script script;
    script.greetingReply = {0x05, 0x02};
    ScriptedSocksServer server(script);
    LogCapture log;
    SocksClient client("127.0.0.1", server.port());
    EXPECT_FALSE(client.connectViaIpv4(0x01020304, 80));
    EXPECT_TRUE(log.contains("SOCKS5 authentication failed")) << log.all();
    EXPECT_FALSE(client.isConnected());
    EXPECT_GE(client.socket(), 0) << "the caller closes the client";
}

TEST(SocksClientHandshake, RefusedReplyLogsItsCode)
{
    Script script;
    script.replyPieces = {{0x05, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0}};
    {
        ScriptedSocksServer server(script);
        LogCapture log;
        SocksClient client("127.0.0.1", server.port());
        EXPECT_FALSE(client.connectViaIpv4(0x01020304, 80));
        EXPECT_TRUE(log.contains("SOCKS5 connection failed with reply: 5")) << log.all();
    }
    {
        ScriptedSocksServer server(script);
        LogCapture log;
        SocksClient client("127.0.0.1", server.port());
        EXPECT_FALSE(client.connectViaDomain("example.com", 80));
        EXPECT_TRUE(log.contains("SOCKS5 domain connection failed with reply: 5")) << log.all();
    }
}

TEST(SocksClientHandshake, DomainOf255CharactersIsA262ByteRequest)
{
    ScriptedSocksServer server(Script{});
    SocksClient client("127.0.0.1", server.port());
    const std::string name(255, 'a');
    ASSERT_TRUE(client.connectViaDomain(name, 8080));
    const Bytes request = server.request();
    ASSERT_EQ(request.size(), 262u);
    EXPECT_EQ(request[3], 0x03);
    EXPECT_EQ(request[4], 255);
    EXPECT_EQ(std::string(request.begin() + 5, request.begin() + 260), name);
    EXPECT_EQ(request[260], 0x1F);
    EXPECT_EQ(request[261], 0x90);
}

TEST(SocksClientHandshake, DomainOf256CharactersOrEmptyIsRefusedBeforeSending)
{
    for (const std::string &name : {std::string(256, 'b'), std::string()}) {
        ScriptedSocksServer server(Script{});
        LogCapture log;
        SocksClient client("127.0.0.1", server.port());
        EXPECT_FALSE(client.connectViaDomain(name, 80));
        EXPECT_TRUE(log.contains("Invalid domain name length")) << log.all();
        client.close();
        EXPECT_TRUE(server.waitForClientClose(2000));
        EXPECT_TRUE(server.request().empty());
    }
}

TEST(SocksClientReply, Ipv6BoundAddressIsReadWholeAndPayloadArrivesIntact)
{
    Bytes reply = {0x05, 0x00, 0x00, 0x04};
    reply.insert(reply.end(), 16, 0x20);
    reply.insert(reply.end(), {0x12, 0x34});
    Script script;
    script.replyPieces = {concat(reply, kPayload)};
    ScriptedSocksServer server(script);
    SocksClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connectViaIpv4(0x01020304, 80));
    EXPECT_EQ(receiveAfterHandshake(client.socket(), kPayload.size()), kPayload);
}

TEST(SocksClientReply, DomainBoundAddressIsReadWholeAndPayloadArrivesIntact)
{
    const std::string bound = "proxy.internal.example";
    Bytes reply = {0x05, 0x00, 0x00, 0x03, static_cast<std::uint8_t>(bound.size())};
    reply.insert(reply.end(), bound.begin(), bound.end());
    reply.insert(reply.end(), {0x00, 0x50});
    Script script;
    script.replyPieces = {concat(reply, kPayload)};
    ScriptedSocksServer server(script);
    SocksClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connectViaDomain("example.com", 80));
    EXPECT_EQ(receiveAfterHandshake(client.socket(), kPayload.size()), kPayload);
}

TEST(SocksClientReply, ReplySplitAcrossSegmentsIsStillReadWhole)
{
    Script script;
    script.replyPieces = {{0x05, 0x00}, {0x00, 0x01, 10}, {0, 0, 1, 0x00}, concat({0x50}, kPayload)};
    script.pauseMs = 30;
    ScriptedSocksServer server(script);
    SocksClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connectViaIpv4(0x01020304, 80));
    EXPECT_EQ(receiveAfterHandshake(client.socket(), kPayload.size()), kPayload);
}

TEST(SocksClientReply, TruncatedReplyFails)
{
    Script script;
    script.replyPieces = {{0x05, 0x00, 0x00, 0x04, 1, 2, 3}};
    ScriptedSocksServer server(script);
    LogCapture log;
    SocksClient client("127.0.0.1", server.port());
    client.setHandshakeTimeout(std::chrono::milliseconds(300));
    EXPECT_FALSE(client.connectViaIpv4(0x01020304, 80));
    EXPECT_TRUE(log.contains("Failed to receive connection response")) << log.all();
}

TEST(SocksClientFailure, UnresponsiveProxyTimesOut)
{
    Script script;
    script.silent = true;
    ScriptedSocksServer server(script);
    LogCapture log;
    SocksClient client("127.0.0.1", server.port());
    client.setHandshakeTimeout(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.connectViaIpv4(0x01020304, 80));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(log.contains("Failed to receive SOCKS5 response")) << log.all();
    EXPECT_EQ(SocksClient::kHandshakeTimeoutMs, 10000);
}

TEST(SocksClientFailure, ClosedPortAndInvalidAddressAreReported)
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(probe, reinterpret_cast<sockaddr *>(&sa), &len);
    close(probe); // nothing listens there now
    LogCapture log;
    SocksClient closed("127.0.0.1", ntohs(sa.sin_port));
    EXPECT_FALSE(closed.connectViaIpv4(0x01020304, 80));
    EXPECT_TRUE(log.contains("Failed to connect to proxy: 111")) << log.all();
    EXPECT_EQ(closed.socket(), -1);
    SocksClient invalid("abc", 1080);
    EXPECT_FALSE(invalid.connectViaIpv4(0x01020304, 80));
    EXPECT_TRUE(log.contains("Invalid proxy address: abc")) << log.all();
}

TEST(SocksClientFailure, RetryByAddressClosesTheFailedAttempt)
{
    Script refused;
    refused.replyPieces = {{0x05, 0x04, 0x00, 0x01, 0, 0, 0, 0, 0, 0}};
    ScriptedSocksServer server(std::vector<Script>{refused, Script{}});
    SocksClient client("127.0.0.1", server.port());
    ASSERT_FALSE(client.connectViaDomain("unreachable.example", 80));
    ASSERT_TRUE(client.connectViaIpv4(0x01020304, 80));
    EXPECT_TRUE(server.waitForClientClose(2000, 0)) << "the first attempt's socket was left open";
    EXPECT_FALSE(server.waitForClientClose(100, 1));
}
