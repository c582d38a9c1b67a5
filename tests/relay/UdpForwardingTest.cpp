// The two UDP forwarding paths (UDP-NAT and the flow table) against the test
// SOCKS5 server: routes, the associations' life, and the relay's answers.
#include "relay/UdpFlowTable.h"
#include "relay/UdpNat.h"

#include "base/Clock.h"
#include "base/CompletionDispatcher.h"
#include "net/ConnectionOwnerLookup.h"
#include "packet/DnsNameCache.h"
#include "packet/PacketCodec.h"
#include "packet/RoutingPolicy.h"
#include "socks5/AsyncSocksClient.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackTools.h"
#include "tests/support/ManualClock.h"
#include "tests/support/SocksTestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {
constexpr std::uint32_t kTunnel = 0x0A060701;   // 10.6.7.1
constexpr std::uint32_t kTunnelDns = 0x0A060702; // T + 1
constexpr std::uint32_t kRedirect = 0x08080808;
constexpr std::uint32_t kRemote = 0xC6120A0A; // 198.18.10.10

struct Delivered {
    std::uint32_t source = 0;
    std::uint16_t sourcePort = 0;
    std::uint32_t destination = 0;
    std::uint16_t destinationPort = 0;
    std::string payload;
};

// Collects the packets written towards the applications.
class PacketSink {
public:
    bool write(const std::uint8_t *packet, std::size_t length)
    {
        const PacketInfo info = parsePacket(packet, length);
        std::lock_guard lock(m_mutex);
        if (info.valid && info.isUdp())
            m_packets.push_back({info.srcIp, info.srcPort, info.dstIp, info.dstPort,
                                 std::string(reinterpret_cast<const char *>(info.payload), info.payloadLen)});
        return true;
    }
    std::vector<Delivered> packets()
    {
        std::lock_guard lock(m_mutex);
        return m_packets;
    }
    bool waitFor(std::size_t count)
    {
        for (int i = 0; i < 300; ++i) {
            if (packets().size() >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<Delivered> m_packets;
};

std::vector<std::uint8_t> udpPacket(std::uint32_t src, std::uint16_t srcPort, std::uint32_t dst, std::uint16_t dstPort,
                                    const std::string &payload)
{
    return buildUdpPacket(src, srcPort, dst, dstPort, reinterpret_cast<const std::uint8_t *>(payload.data()),
                          payload.size());
}

// A DNS answer for "a.test" -> 198.18.10.<last> (198.18.10.10 = kRemote), TTL 300.
std::string dnsAnswer(std::uint8_t last = 10)
{
    const std::uint8_t bytes[] = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0,         // header
                                  1, 'a', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1,          // question
                                  0xC0, 12, 0, 1, 0, 1, 0, 0, 1, 0x2C, 0, 4, 198, 18, 10, last}; // answer
    return std::string(reinterpret_cast<const char *>(bytes), sizeof bytes);
}

} // namespace

using Script = SocksTestServer::Script;

class UdpForwardingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_port.create()); }
    void TearDown() override
    {
        if (m_dispatcher)
            m_dispatcher->stop();
        m_socks.cancelAll();
        if (m_udpNat)
            m_udpNat->shutdown();
        if (m_flows)
            m_flows->closeAll();
        m_port.close();
    }

    UdpAssociations::Context context(ConnectionOwnerLookup *owners = nullptr)
    {
        UdpAssociations::Context context;
        context.port = &m_port;
        context.socks = &m_socks;
        context.proxyAddress = IpAddress::fromIpv4(0x7F000001);
        context.tunnelIp = kTunnel;
        context.policy = &m_policy;
        context.owners = owners;
        context.names = &m_names;
        context.counters = &m_counters;
        context.output = [this](const std::uint8_t *p, std::size_t n) { return m_sink.write(p, n); };
        context.clock = m_clock.clock();
        return context;
    }

    void startUdpNat(std::uint16_t proxyPort, std::uint16_t directPort, ConnectionOwnerLookup *owners = nullptr)
    {
        m_policy.setProxyPort(proxyPort);
        m_policy.setDirectPort(directPort);
        m_policy.setDnsRedirectIp(kRedirect);
        stopDispatcher(); // no worker may still be inside the module replaced here
        m_udpNat = std::make_unique<UdpNat>();
        ASSERT_TRUE(m_udpNat->initialise(context(owners)));
        startDispatcher();
    }

    void startFlows(std::uint16_t proxyPort, std::uint16_t directPort = 0, ConnectionOwnerLookup *owners = nullptr)
    {
        m_policy.setProxyPort(proxyPort);
        m_policy.setDirectPort(directPort ? directPort : proxyPort);
        m_policy.setDnsRedirectIp(kRedirect);
        stopDispatcher();
        m_flows = std::make_unique<UdpFlowTable>(context(owners));
        m_flows->setRunning(true);
        startDispatcher();
    }

    // Handlers are registered before the workers start: a new dispatcher each time.
    void stopDispatcher()
    {
        if (m_dispatcher)
            m_dispatcher->stop();
    }

    void startDispatcher()
    {
        stopDispatcher();
        m_dispatcher = std::make_unique<CompletionDispatcher>(m_port, m_clock.clock());
        m_socks.attach(*m_dispatcher);
        if (m_udpNat)
            m_udpNat->attach(*m_dispatcher);
        if (m_flows)
            m_flows->attach(*m_dispatcher);
        m_dispatcher->start(2);
    }

    bool forward(std::uint16_t sourcePort, std::uint32_t destination, std::uint16_t port, const std::string &payload)
    {
        const std::uint32_t real = destination == kTunnelDns && port == 53 ? kRedirect : destination;
        return m_udpNat->forward(kTunnel, sourcePort, destination, port, real, port,
                                 reinterpret_cast<const std::uint8_t *>(payload.data()), payload.size());
    }

    void sendToFlows(std::uint16_t sourcePort, std::uint32_t destination, std::uint16_t port,
                     const std::string &payload)
    {
        const auto packet = udpPacket(kTunnel, sourcePort, destination, port, payload);
        m_flows->handleUdpPacket(parsePacket(packet.data(), packet.size()));
    }

    ManualClock m_clock; // activity and idle time; moved by the tests alone
    CompletionPort m_port;
    AsyncSocksClient m_socks{m_port};
    PacketSink m_sink;
    DnsNameCache m_names;
    TunnelCounters m_counters;
    RoutingPolicy m_policy;
    std::unique_ptr<UdpNat> m_udpNat;
    std::unique_ptr<UdpFlowTable> m_flows;
    std::unique_ptr<CompletionDispatcher> m_dispatcher;
};

namespace {
Script delayed(int ms)
{
    Script script;
    script.associateDelayMs = ms;
    return script;
}

Script silentScript()
{
    Script script;
    script.silent = true;
    return script;
}

// A UDP socket of this process on every address: the flows the tests forward
// "from" its port are owned by this test program.
class OwnedUdpSocket {
public:
    OwnedUdpSocket()
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~OwnedUdpSocket() { ::close(m_fd); }
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

std::size_t openDescriptors()
{
    return std::size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                     std::filesystem::directory_iterator()));
}

std::string ownProgramName()
{
    const std::string path = ConnectionOwnerLookup::processImagePath(std::uint32_t(getpid()));
    return path.substr(path.find_last_of('/') + 1);
}
} // namespace

TEST_F(UdpForwardingTest, DnsToTunnelAddressUsesTheDirectPortAndIsAnsweredFromTunnelAddress)
{
    SocksTestServer proxy;
    SocksTestServer direct;
    startUdpNat(proxy.port(), direct.port());
    ASSERT_TRUE(forward(5353, kTunnelDns, 53, dnsAnswer()));
    ASSERT_TRUE(m_sink.waitFor(1));
    // The first association to come up may answer before the other is counted.
    EXPECT_TRUE(eventually([&] { return direct.associations() == int(DnsAssociationPool::kAssociations); }))
        << "the DNS pool's associations: " << direct.associations();
    EXPECT_EQ(proxy.associations(), 0);
    EXPECT_EQ(direct.headerAddresses().front(), kRedirect) << "the header does not name the redirect address";
    const Delivered answer = m_sink.packets().front();
    EXPECT_EQ(answer.source, kTunnelDns);
    EXPECT_EQ(answer.sourcePort, 53);
    EXPECT_EQ(answer.destination, kTunnel);
    EXPECT_EQ(answer.destinationPort, 5353);
    EXPECT_EQ(m_names.lookupIpv4(kRemote), "a.test") << "the relayed DNS answer did not feed the name cache";
}

// Both paths ask the routing policy with the owner of the application's
// socket: a direct-process rule and a bypass address send the flow through
// the direct port, everything else through the proxy port.
TEST_F(UdpForwardingTest, DirectProcessAndBypassAddressGoThroughTheDirectPortOnBothPaths)
{
    SocksTestServer proxy;
    SocksTestServer direct;
    ConnectionOwnerLookup owners;
    OwnedUdpSocket mine;
    m_policy.addBypassIp(IpAddress::fromIpv4(kRemote + 1));
    m_policy.addDirectProcess(ownProgramName());
    startUdpNat(proxy.port(), direct.port(), &owners);
    startFlows(proxy.port(), direct.port(), &owners);
    for (const std::string path : {"nat-", "flow-"}) {
        const auto send = [&](std::uint16_t port, std::uint32_t destination, const std::string &payload) {
            if (path == "nat-")
                EXPECT_TRUE(forward(port, destination, 7, path + payload));
            else
                sendToFlows(port, destination, 7, path + payload);
        };
        send(mine.port(), kRemote, "by-owner"); // this program's socket: direct
        send(40999, kRemote + 1, "by-bypass");  // no owner, a bypass address: direct
        send(40998, kRemote, "through-proxy");  // no owner: proxy
    }
    ASSERT_TRUE(m_sink.waitFor(6));
    std::vector<std::string> directly = direct.payloads();
    std::vector<std::string> proxied = proxy.payloads();
    std::sort(directly.begin(), directly.end());
    std::sort(proxied.begin(), proxied.end());
    EXPECT_EQ(directly, (std::vector<std::string>{"flow-by-bypass", "flow-by-owner", "nat-by-bypass", "nat-by-owner"}));
    EXPECT_EQ(proxied, (std::vector<std::string>{"flow-through-proxy", "nat-through-proxy"}));
}

TEST_F(UdpForwardingTest, UnspecifiedBoundAddressMeansTheProxyAddressAndShortDatagramsAreSkipped)
{
    Script unspecified;
    unspecified.bound = SocksTestServer::Bound::Unspecified;
    SocksTestServer::RelayOptions shortFirst;
    shortFirst.shortDatagramFirst = true;
    SocksTestServer proxy(std::vector<Script>{unspecified}, shortFirst);
    startUdpNat(proxy.port(), proxy.port());
    ASSERT_TRUE(forward(4000, kRemote, 7, "ping"));
    ASSERT_TRUE(m_sink.waitFor(1)) << "no answer through a relay announced as 0.0.0.0";
    EXPECT_EQ(m_sink.packets().front().payload, "ping") << "the 9-byte datagram was delivered";
    ASSERT_TRUE(forward(4000, kRemote, 7, "again"));
    EXPECT_TRUE(m_sink.waitFor(2)) << "the session stopped receiving after a short datagram";
    EXPECT_EQ(proxy.associations(), 1);
}

TEST_F(UdpForwardingTest, ProxyEndingTheAssociationMakesTheNextDatagramOpenANewOne)
{
    SocksTestServer proxy;
    startUdpNat(proxy.port(), proxy.port());
    ASSERT_TRUE(forward(4001, kRemote, 7, "one"));
    ASSERT_TRUE(m_sink.waitFor(1));
    proxy.endAssociations();
    ASSERT_TRUE(eventually([&] { return m_udpNat->sessionCount() == 0; })) << "the dead session was kept";
    ASSERT_TRUE(forward(4001, kRemote, 7, "two"));
    ASSERT_TRUE(m_sink.waitFor(2));
    EXPECT_EQ(m_sink.packets().back().payload, "two");
    EXPECT_EQ(proxy.associations(), 2);
}

TEST_F(UdpForwardingTest, ProxyThatNeverAnswersHoldsUpOnlyItsOwnFlowsUntilTheHandshakeBound)
{
    // More flows than may open at once with one proxy: the rest wait their turn.
    constexpr std::size_t kHanging = AsyncSocksClient::kMaxConnectingPerServer + 6;
    SocksTestServer proxy(silentScript());
    SocksTestServer direct;
    startUdpNat(proxy.port(), direct.port());
    for (std::uint16_t i = 0; i < kHanging; ++i)
        EXPECT_TRUE(forward(std::uint16_t(4200 + i), kRemote, 7, "stuck"));
    ASSERT_TRUE(forward(5354, kTunnelDns, 53, dnsAnswer()));
    EXPECT_TRUE(m_sink.waitFor(1)) << "a flow to a working port was held up by the hanging ones";
    EXPECT_EQ(m_sink.packets().front().destinationPort, 5354);
    ASSERT_TRUE(eventually([&] { return proxy.connections() == int(AsyncSocksClient::kMaxConnectingPerServer); }));
    EXPECT_EQ(m_udpNat->sessionCount(), kHanging) << "DNS to the tunnel's address goes through the pool, not a session";

    // The handshake bound runs out, counted from each flow's start: every
    // hanging session ends, those that waited for their turn too, and each
    // connection to the proxy is closed.
    m_socks.expire(monotonicNanoseconds() + std::int64_t(UdpNat::kHandshakeTimeoutMs) * 1'000'000);
    EXPECT_EQ(m_udpNat->sessionCount(), 0u);
    for (std::size_t i = 0; i < AsyncSocksClient::kMaxConnectingPerServer; ++i)
        EXPECT_TRUE(proxy.waitForClientClose(2000, i)) << "connection " << i << " was left open";
    EXPECT_EQ(m_socks.running(), 0u);
    EXPECT_EQ(proxy.connections(), int(AsyncSocksClient::kMaxConnectingPerServer))
        << "a flow out of time was still connected";
}

// A burst of flows, then no traffic at all: the sweep runs on time as well,
// so every session and flow idle for 61 s goes, and its descriptors with it;
// idle for 60 s they stay.
TEST_F(UdpForwardingTest, IdleSessionsAndFlowsGoAfter61SecondsWithoutTrafficAndTheirDescriptorsWithThem)
{
    SocksTestServer proxy;
    startUdpNat(proxy.port(), proxy.port());
    startFlows(proxy.port());
    const std::size_t descriptorsBefore = openDescriptors();
    constexpr std::uint16_t kFlows = 150;
    for (std::uint16_t i = 0; i < kFlows; ++i) {
        ASSERT_TRUE(forward(std::uint16_t(20000 + i), kRemote, 7, "x"));
        sendToFlows(std::uint16_t(20000 + i), kRemote, 7, "x");
    }
    ASSERT_TRUE(m_sink.waitFor(2 * kFlows));
    EXPECT_GE(openDescriptors(), descriptorsBefore + 4 * kFlows) << "each association holds two sockets";
    // The dispatcher sweeps on the same clock: once when it has moved.
    const std::uint64_t sweeps = m_dispatcher->sweeps();
    m_clock.advance(60 * ManualClock::kSecond);
    ASSERT_TRUE(eventually([&] { return m_dispatcher->sweeps() > sweeps; })) << "no sweep without traffic";
    EXPECT_EQ(m_udpNat->sessionCount(), kFlows) << "sessions idle for 60 s were removed";
    EXPECT_EQ(m_flows->flowCount(), kFlows);
    m_clock.advance(ManualClock::kSecond);
    EXPECT_TRUE(eventually([&] { return m_udpNat->sessionCount() == 0; })) << "sessions idle for 61 s were kept";
    EXPECT_TRUE(eventually([&] { return m_flows->flowCount() == 0; })) << "flows idle for 61 s were kept";
    EXPECT_TRUE(eventually([&] { return openDescriptors() == descriptorsBefore; }))
        << openDescriptors() << " descriptors open, " << descriptorsBefore << " before";
}

// The flow is the application's endpoint and the destination it addressed:
// one source port talking to two destinations has two associations, and each
// destination's answers come back from that destination.
TEST_F(UdpForwardingTest, OneSourcePortToTwoDestinationsKeepsTwoFlowsOnBothPaths)
{
    SocksTestServer proxy;
    startUdpNat(proxy.port(), proxy.port());
    startFlows(proxy.port());
    ASSERT_TRUE(forward(4900, kRemote, 7, "nat-a"));
    ASSERT_TRUE(forward(4900, kRemote + 1, 9, "nat-b"));
    sendToFlows(4901, kRemote, 7, "flow-a");
    sendToFlows(4901, kRemote + 1, 9, "flow-b");
    ASSERT_TRUE(m_sink.waitFor(4));
    EXPECT_EQ(m_udpNat->sessionCount(), 2u);
    EXPECT_EQ(m_flows->flowCount(), 2u);
    EXPECT_EQ(proxy.associations(), 4);
    for (const Delivered &answer : m_sink.packets()) {
        const bool toA = answer.payload.ends_with("-a");
        EXPECT_EQ(answer.source, toA ? kRemote : kRemote + 1) << answer.payload;
        EXPECT_EQ(answer.sourcePort, toA ? 7 : 9) << answer.payload;
    }
}

// At the cap the least recently active session makes room; the new one and
// one that was active a moment ago stay.
TEST_F(UdpForwardingTest, AtTheCapTheLeastRecentlyActiveSessionMakesRoom)
{
    SocksTestServer proxy(silentScript()); // sessions wait for their association
    startUdpNat(proxy.port(), proxy.port());
    const auto key = [](std::uint16_t port) {
        return UdpNatKey{Endpoint::fromIpv4(kTunnel, port), Endpoint::fromIpv4(kRemote, 7)};
    };
    for (std::uint16_t i = 0; i < UdpNat::kMaxSessions; ++i) {
        ASSERT_TRUE(forward(std::uint16_t(10000 + i), kRemote, 7, "x"));
        m_clock.advance(1'000'000);
    }
    ASSERT_TRUE(forward(10000, kRemote, 7, "again")); // the oldest is the most recent now
    m_clock.advance(1'000'000);
    ASSERT_TRUE(forward(30000, kRemote, 7, "new"));
    EXPECT_EQ(m_udpNat->sessionCount(), UdpNat::kMaxSessions);
    EXPECT_TRUE(m_udpNat->hasSession(key(30000))) << "the new session made room for itself";
    EXPECT_TRUE(m_udpNat->hasSession(key(10000))) << "a session active a moment ago was evicted";
    EXPECT_FALSE(m_udpNat->hasSession(key(10001))) << "the least recently active session was kept";
}

TEST_F(UdpForwardingTest, FlowTableSendsDatagramsQueuedBeforeTheAssociationInOrder)
{
    SocksTestServer proxy(delayed(200));
    startFlows(proxy.port());
    sendToFlows(4100, kRemote, 7, "first");
    sendToFlows(4100, kRemote, 7, "second");
    sendToFlows(4100, kRemote, 7, "third");
    ASSERT_TRUE(m_sink.waitFor(3));
    EXPECT_EQ(proxy.payloads(), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(m_flows->flowCount(), 1u);
    EXPECT_EQ(m_flows->establishedCount(), 1u);
    const Delivered answer = m_sink.packets().front();
    EXPECT_EQ(answer.source, kRemote);
    EXPECT_EQ(answer.destinationPort, 4100);
}

TEST_F(UdpForwardingTest, DatagramsWaitingForTheAssociationAreCappedAt64OnBothPaths)
{
    SocksTestServer slow(delayed(300));
    startUdpNat(slow.port(), slow.port());
    startFlows(slow.port());
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(forward(4300, kRemote, 7, "nat" + std::to_string(i)));
        sendToFlows(4301, kRemote, 7, "flow" + std::to_string(i));
    }
    ASSERT_TRUE(m_sink.waitFor(128));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<std::string> sent = slow.payloads();
    ASSERT_EQ(sent.size(), 128u) << "more datagrams than the cap waited for the association";
    for (const std::string path : {"nat", "flow"}) {
        std::vector<std::string> ofPath;
        std::copy_if(sent.begin(), sent.end(), std::back_inserter(ofPath),
                     [&](const std::string &payload) { return payload.starts_with(path); });
        ASSERT_EQ(ofPath.size(), 64u) << path;
        EXPECT_EQ(ofPath.front(), path + "0");
        EXPECT_EQ(ofPath.back(), path + "63") << "the first 64 are kept, in order";
    }
}

TEST_F(UdpForwardingTest, DatagramsFromAnyoneButTheRelayAreDroppedOnBothPaths)
{
    SocksTestServer::RelayOptions stranger;
    stranger.strangerFirst = true;
    SocksTestServer proxy(stranger);
    startUdpNat(proxy.port(), proxy.port());
    startFlows(proxy.port());
    ASSERT_TRUE(forward(4500, kRemote, 7, "one"));
    sendToFlows(4501, kRemote, 7, "one");
    ASSERT_TRUE(m_sink.waitFor(2));
    ASSERT_TRUE(forward(4500, kRemote, 7, "two"));
    sendToFlows(4501, kRemote, 7, "two");
    ASSERT_TRUE(m_sink.waitFor(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const Delivered &packet : m_sink.packets())
        EXPECT_NE(packet.payload, "forged") << "a stranger's datagram reached port " << packet.destinationPort;
    EXPECT_EQ(m_sink.packets().size(), 4u);
}

TEST_F(UdpForwardingTest, ShortUnknownTypeAndFragmentRelayDatagramsAreDroppedOnBothPaths)
{
    SocksTestServer::RelayOptions junk;
    junk.junkFirst = true;
    SocksTestServer proxy(junk);
    startUdpNat(proxy.port(), proxy.port());
    startFlows(proxy.port());
    ASSERT_TRUE(forward(4600, kRemote, 7, "one"));
    sendToFlows(4601, kRemote, 7, "one");
    ASSERT_TRUE(m_sink.waitFor(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<Delivered> packets = m_sink.packets();
    ASSERT_EQ(packets.size(), 2u) << "a malformed relay datagram was delivered";
    for (const Delivered &packet : packets)
        EXPECT_EQ(packet.payload, "one");
    ASSERT_TRUE(forward(4600, kRemote, 7, "two"));
    sendToFlows(4601, kRemote, 7, "two");
    EXPECT_TRUE(m_sink.waitFor(4)) << "receiving stopped after a malformed datagram";
}

TEST_F(UdpForwardingTest, FlowTableRedirectsDnsAndFeedsTheNameCache)
{
    SocksTestServer proxy;
    startFlows(proxy.port());
    sendToFlows(4101, kTunnelDns, 53, dnsAnswer());
    ASSERT_TRUE(m_sink.waitFor(1));
    EXPECT_EQ(proxy.headerAddresses().front(), kRedirect);
    EXPECT_EQ(m_sink.packets().front().source, kTunnelDns);
    EXPECT_EQ(m_names.lookupIpv4(kRemote), "a.test");
}

TEST_F(UdpForwardingTest, OnlyTheTunnelsOwnDnsFeedsTheNameCacheOnBothPaths)
{
    SocksTestServer proxy;
    startUdpNat(proxy.port(), proxy.port());
    startFlows(proxy.port());
    // Any program's query to any other server on port 53 names nothing.
    ASSERT_TRUE(forward(4700, kRemote, 53, dnsAnswer(21)));
    sendToFlows(4701, kRemote, 53, dnsAnswer(22));
    ASSERT_TRUE(m_sink.waitFor(2));
    EXPECT_EQ(m_names.lookupIpv4(0xC6120A15), "") << "UDP-NAT fed the cache from an arbitrary server";
    EXPECT_EQ(m_names.lookupIpv4(0xC6120A16), "") << "the flow table fed the cache from an arbitrary server";
    // The DNS redirect server addressed directly is the tunnel's DNS too.
    ASSERT_TRUE(forward(4702, kRedirect, 53, dnsAnswer(23)));
    sendToFlows(4703, kRedirect, 53, dnsAnswer(24));
    ASSERT_TRUE(m_sink.waitFor(4));
    EXPECT_EQ(m_names.lookupIpv4(0xC6120A17), "a.test");
    EXPECT_EQ(m_names.lookupIpv4(0xC6120A18), "a.test");
}

TEST_F(UdpForwardingTest, RefusedGreetingOrAnAssociateReplyOtherThanIpv4EndsTheAssociationOnBothPaths)
{
    Script refuses;
    refuses.greetingReply = {0x05, 0xFF};
    Script ipv6;
    ipv6.bound = SocksTestServer::Bound::Ipv6;
    for (const Script &script : {refuses, ipv6}) {
        SocksTestServer proxy(script);
        startUdpNat(proxy.port(), proxy.port());
        startFlows(proxy.port());
        EXPECT_TRUE(forward(4800, kRemote, 7, "x"));
        sendToFlows(4801, kRemote, 7, "x");
        EXPECT_TRUE(eventually([&] { return m_udpNat->sessionCount() == 0 && m_flows->flowCount() == 0; }));
        EXPECT_EQ(m_flows->establishedCount(), 0u) << "a relay was set up from misread bytes";
        EXPECT_TRUE(proxy.waitForClientClose(2000, 0) && proxy.waitForClientClose(2000, 1))
            << "a failed association left its control connection open";
    }
}

namespace {
// A query with the given id whose question names its asker's port, so that an
// answer (the test relay echoes it) tells whom it was meant for.
std::string dnsQuery(std::uint16_t id, std::uint16_t asker)
{
    std::string label(1, 'q');
    label.append(std::to_string(asker));
    std::string query = {char(id >> 8), char(id & 0xFF), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, char(label.size())};
    query.append(label);
    query.append({0, 0, 1, 0, 1});
    return query;
}
} // namespace

// Every asker uses the same id; the pool's own ids keep the answers apart.
// The association comes up late, so all 200 queries are waiting at once, and
// none is dropped.
TEST_F(UdpForwardingTest, PooledDnsAnswersReachTheAskingSocketsWhen200QueriesWithCollidingIdsAreInFlight)
{
    constexpr std::uint16_t kAskers = 200;
    constexpr std::uint16_t kId = 0x4242;
    SocksTestServer proxy;
    SocksTestServer direct(delayed(200));
    startUdpNat(proxy.port(), direct.port());
    for (std::uint16_t i = 0; i < kAskers; ++i)
        ASSERT_TRUE(forward(std::uint16_t(6000 + i), kTunnelDns, 53, dnsQuery(kId, std::uint16_t(6000 + i))));
    EXPECT_EQ(m_udpNat->dnsPool()->queriesWaiting(), kAskers);
    ASSERT_TRUE(m_sink.waitFor(kAskers));
    std::set<std::uint16_t> answered;
    for (const Delivered &answer : m_sink.packets()) {
        EXPECT_EQ(answer.payload, dnsQuery(kId, answer.destinationPort)) << "an answer reached the wrong socket";
        EXPECT_EQ(answer.source, kTunnelDns);
        EXPECT_EQ(answer.sourcePort, 53);
        answered.insert(answer.destinationPort);
    }
    EXPECT_EQ(answered.size(), std::size_t(kAskers)) << "some sockets got no answer";
    EXPECT_TRUE(eventually([&] { return direct.associations() == int(DnsAssociationPool::kAssociations); }))
        << "an association per asker: " << direct.associations();
    std::set<std::string> idsSent;
    for (const std::string &sent : direct.payloads())
        idsSent.insert(sent.substr(0, 2));
    EXPECT_GT(idsSent.size(), 1u) << "the askers' colliding ids went out unchanged";
    EXPECT_EQ(m_udpNat->dnsPool()->queriesInFlight(), 0u);
}

TEST_F(UdpForwardingTest, DnsAssociationEndedByTheProxyIsReplacedForTheNextQuery)
{
    SocksTestServer proxy;
    SocksTestServer direct;
    startUdpNat(proxy.port(), direct.port());
    ASSERT_TRUE(forward(6100, kTunnelDns, 53, dnsQuery(7, 6100)));
    ASSERT_TRUE(m_sink.waitFor(1));
    // Every association open first: one still opening would outlive the end.
    ASSERT_TRUE(eventually([&] {
        return m_udpNat->dnsPool()->associationsUp() == DnsAssociationPool::kAssociations;
    })) << m_udpNat->dnsPool()->associationsUp();
    direct.endAssociations();
    ASSERT_TRUE(eventually([&] { return m_udpNat->dnsPool()->associationsUp() == 0; })) << "an ended one was kept";
    ASSERT_TRUE(forward(6101, kTunnelDns, 53, dnsQuery(8, 6101)));
    ASSERT_TRUE(m_sink.waitFor(2));
    EXPECT_EQ(m_sink.packets().back().payload, dnsQuery(8, 6101));
    // The second replacement may still be opening when the first has answered.
    EXPECT_TRUE(eventually([&] { return direct.associations() == int(2 * DnsAssociationPool::kAssociations); }))
        << direct.associations();
}

TEST_F(UdpForwardingTest, DnsQueryWaitingPastItsTimeOutIsDroppedWithAWarning)
{
    LogCapture log;
    SocksTestServer proxy;
    SocksTestServer silent(silentScript());
    startUdpNat(proxy.port(), silent.port());
    ASSERT_TRUE(forward(6200, kTunnelDns, 53, dnsQuery(9, 6200)));
    const DnsAssociationPool &pool = *m_udpNat->dnsPool();
    const_cast<DnsAssociationPool &>(pool).expire(monotonicNanoseconds());
    EXPECT_EQ(pool.queriesWaiting(), 1u) << "a query within its time-out was dropped";
    const_cast<DnsAssociationPool &>(pool).expire(monotonicNanoseconds() + DnsAssociationPool::kWaitTimeoutNs + 1);
    EXPECT_EQ(pool.queriesWaiting(), 0u);
    EXPECT_TRUE(log.contains("Dropped 1 DNS queries: no association came up within 5000 ms")) << log.all();
}

// The listing and the totals: a session shows its route and its payload bytes
// each way; an answered DNS query is counted and is no flow any more; datagrams
// that waited for an association that never came are counted as not relayed.
TEST_F(UdpForwardingTest, SessionsAreListedWithTheirBytesAndTheTotalsCountPayloadsDnsAnswersAndLosses)
{
    SocksTestServer proxy;
    SocksTestServer direct;
    SocksTestServer silent(silentScript());
    startUdpNat(proxy.port(), direct.port());
    const std::string dns = dnsAnswer();
    ASSERT_TRUE(forward(4300, kRemote, 7, "hello"));
    ASSERT_TRUE(forward(4301, kTunnelDns, 53, dns));
    ASSERT_TRUE(m_sink.waitFor(2));

    std::vector<FlowEntry> flows;
    m_udpNat->appendFlows(flows);
    ASSERT_EQ(flows.size(), 1u) << "the answered DNS query is still listed";
    EXPECT_FALSE(flows[0].tcp);
    EXPECT_EQ(flows[0].source, Endpoint::fromIpv4(kTunnel, 4300));
    EXPECT_EQ(flows[0].destination, Endpoint::fromIpv4(kRemote, 7));
    EXPECT_FALSE(flows[0].direct);
    EXPECT_EQ(flows[0].stats->bytesUp(), 5u);
    EXPECT_EQ(flows[0].stats->bytesDown(), 5u);
    TunnelCounters::Totals totals = m_counters.totals();
    EXPECT_EQ(totals.bytesUp, 5 + dns.size());
    EXPECT_EQ(totals.bytesDown, 5 + dns.size());
    EXPECT_EQ(totals.dnsAnswered, 1u);

    m_policy.setProxyPort(silent.port());
    ASSERT_TRUE(forward(4302, kRemote, 7, "lost"));
    ASSERT_TRUE(forward(4302, kRemote, 7, "lost too"));
    flows.clear();
    m_udpNat->appendFlows(flows);
    EXPECT_EQ(flows.size(), 2u) << "a flow whose association is being opened is not listed";
    m_udpNat->closeAll();
    totals = m_counters.totals();
    EXPECT_EQ(totals.dropped[std::size_t(TunnelCounters::Drop::UdpNotRelayed)], 2u);
    EXPECT_EQ(totals.bytesUp, 5 + dns.size()) << "datagrams never sent were counted as relayed";
}
