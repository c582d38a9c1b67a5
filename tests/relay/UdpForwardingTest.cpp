#include "relay/UdpFlowTable.h"
#include "relay/UdpNat.h"
#include "tests/support/SocksTestServer.h"
#include "tests/support/LogCapture.h"
#include "base/CompletionDispatcher.h"
#include "packet/DnsNameCache.h"
#include "packet/PacketCodec.h"
#include "packet/RoutingPolicy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
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

template <typename Condition>
bool eventually(Condition condition)
{
    for (int i = 0; i < 300 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}
} // namespace

class UdpForwardingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_port.create()); }
    void TearDown() override
    {
        if (m_dispatcher)
            m_dispatcher->stop();
        if (m_udpNat)
            m_udpNat->shutdown();
        if (m_flows)
            m_flows->closeAll();
        m_port.close();
    }

    void startUdpNat(std::uint16_t proxyPort, std::uint16_t directPort)
    {
        m_udpNat = std::make_unique<UdpNat>();
        ASSERT_TRUE(m_udpNat->initialise(
            kTunnel, "127.0.0.1", proxyPort, directPort, &m_port,
            [this](const std::uint8_t *p, std::size_t n) { return m_sink.write(p, n); }, &m_names, kRedirect));
        startDispatcher();
    }

    void startFlows(std::uint16_t proxyPort)
    {
        m_policy.setProxyPort(proxyPort);
        m_policy.setDirectPort(proxyPort);
        m_policy.setDnsRedirectIp(kRedirect);
        m_flows = std::make_unique<UdpFlowTable>(
            m_port, UdpFlowTable::Settings{"127.0.0.1", kTunnel, &m_policy, nullptr, &m_names,
                                           [this](const std::uint8_t *p, std::size_t n) { return m_sink.write(p, n); }});
        m_flows->setRunning(true);
        startDispatcher();
    }

    void startDispatcher()
    {
        if (m_dispatcher)
            m_dispatcher->stop();
        m_dispatcher = std::make_unique<CompletionDispatcher>(
            m_port, CompletionDispatcher::Routes{nullptr, nullptr, m_flows.get(), m_udpNat.get(), nullptr});
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

    CompletionPort m_port;
    PacketSink m_sink;
    DnsNameCache m_names;
    RoutingPolicy m_policy;
    std::unique_ptr<UdpNat> m_udpNat;
    std::unique_ptr<UdpFlowTable> m_flows;
    std::unique_ptr<CompletionDispatcher> m_dispatcher;
};

TEST_F(UdpForwardingTest, DnsToTunnelAddressUsesTheDirectPortAndIsAnsweredFromTunnelAddress)
{
    FakeUdpProxy proxy;
    FakeUdpProxy direct;
    startUdpNat(proxy.port(), direct.port());
    ASSERT_TRUE(forward(5353, kTunnelDns, 53, dnsAnswer()));
    ASSERT_TRUE(m_sink.waitFor(1));
    EXPECT_EQ(direct.associations(), 1);
    EXPECT_EQ(proxy.associations(), 0);
    EXPECT_EQ(direct.headerAddresses().front(), kRedirect) << "the header does not name the redirect address";
    const Delivered answer = m_sink.packets().front();
    EXPECT_EQ(answer.source, kTunnelDns);
    EXPECT_EQ(answer.sourcePort, 53);
    EXPECT_EQ(answer.destination, kTunnel);
    EXPECT_EQ(answer.destinationPort, 5353);
    EXPECT_EQ(m_names.lookupIpv4(kRemote), "a.test") << "the relayed DNS answer did not feed the name cache";
}

TEST_F(UdpForwardingTest, UnspecifiedBoundAddressMeansTheProxyAddressAndShortDatagramsAreSkipped)
{
    LogCapture log;
    FakeUdpProxy proxy(FakeUdpProxy::Options{0x00, 0, true, true});
    startUdpNat(proxy.port(), proxy.port());
    ASSERT_TRUE(forward(4000, kRemote, 7, "ping"));
    ASSERT_TRUE(m_sink.waitFor(1)) << "no answer through a relay announced as 0.0.0.0";
    EXPECT_EQ(m_sink.packets().front().payload, "ping");
    EXPECT_EQ(log.count("[UDP-NAT] Failed to parse SOCKS5 UDP header"), 1) << "the 9-byte datagram";
    ASSERT_TRUE(forward(4000, kRemote, 7, "again"));
    EXPECT_TRUE(m_sink.waitFor(2)) << "the session stopped receiving after a short datagram";
    EXPECT_EQ(proxy.associations(), 1);
}

TEST_F(UdpForwardingTest, ProxyEndingTheAssociationMakesTheNextDatagramOpenANewOne)
{
    FakeUdpProxy proxy;
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

TEST_F(UdpForwardingTest, ProxyThatNeverAnswersDoesNotHoldUpTheReaderOrOtherFlows)
{
    FakeUdpProxy::Options hanging;
    hanging.silent = true;
    FakeUdpProxy proxy(hanging);
    FakeUdpProxy direct;
    startUdpNat(proxy.port(), direct.port());
    const auto start = std::chrono::steady_clock::now();
    for (std::uint16_t port = 4200; port < 4210; ++port)
        EXPECT_TRUE(forward(port, kRemote, 7, "stuck"));
    ASSERT_TRUE(forward(5354, kTunnelDns, 53, dnsAnswer()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200))
        << "forwarding waited for a proxy that does not answer";
    EXPECT_TRUE(m_sink.waitFor(1)) << "a flow to a working port was held up by the hanging one";
    EXPECT_EQ(m_sink.packets().front().destinationPort, 5354);
}

TEST_F(UdpForwardingTest, SessionsWaitingForAHandshakeAreBoundedAndSkippedOnceClosed)
{
    LogCapture log;
    FakeUdpProxy::Options hanging;
    hanging.silent = true;
    FakeUdpProxy proxy(hanging);
    startUdpNat(proxy.port(), proxy.port());
    const int threads = UdpNat::kHandshakeThreads;
    for (int i = 0; i < threads + 8; ++i)
        EXPECT_TRUE(forward(std::uint16_t(4400 + i), kRemote, 7, "x"));
    ASSERT_TRUE(eventually([&] { return proxy.connections() == threads; }));
    m_udpNat->closeAll(); // 8 sessions still wait for a handshake thread
    proxy.endAssociations();
    ASSERT_TRUE(eventually([&] { return log.count("[UDP-NAT] Failed to create SOCKS5 UDP session") == threads; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(proxy.connections(), threads) << "handshakes were run for sessions closed while they waited";

    for (int i = 0; i < 400; ++i)
        EXPECT_TRUE(forward(std::uint16_t(5000 + i), kRemote, 7, "x"));
    EXPECT_LE(m_udpNat->sessionCount(), UdpNat::kMaxOpeningSessions + threads)
        << "more sessions wait for a handshake than the bound";
    m_udpNat->closeAll();
    EXPECT_TRUE(forward(6000, kRemote, 7, "x"));
    EXPECT_EQ(m_udpNat->sessionCount(), 1u) << "sessions closed while waiting kept their places in the queue";
}

TEST_F(UdpForwardingTest, IdleUdpNatSessionsAreSweptAfter61Seconds)
{
    FakeUdpProxy proxy;
    startUdpNat(proxy.port(), proxy.port());
    ASSERT_TRUE(forward(4002, kRemote, 7, "x"));
    ASSERT_TRUE(m_sink.waitFor(1));
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    EXPECT_EQ(m_udpNat->sweepIdle(now + 60'000'000'000), 0u) << "a session idle for 60 s was removed";
    EXPECT_EQ(m_udpNat->sweepIdle(now + 61'000'000'000), 1u) << "a session idle for 61 s was kept";
    EXPECT_EQ(m_udpNat->sessionCount(), 0u);
}

TEST_F(UdpForwardingTest, FlowTableSendsDatagramsQueuedBeforeTheAssociationInOrder)
{
    FakeUdpProxy proxy(FakeUdpProxy::Options{0x00, 200, false, false});
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
    FakeUdpProxy slowNat(FakeUdpProxy::Options{0x00, 300, false, false});
    FakeUdpProxy slowFlows(FakeUdpProxy::Options{0x00, 300, false, false});
    startUdpNat(slowNat.port(), slowNat.port());
    startFlows(slowFlows.port());
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(forward(4300, kRemote, 7, std::to_string(i)));
        sendToFlows(4301, kRemote, 7, std::to_string(i));
    }
    ASSERT_TRUE(m_sink.waitFor(128));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const FakeUdpProxy *proxy : {&slowNat, &slowFlows}) {
        const std::vector<std::string> sent = proxy->payloads();
        ASSERT_EQ(sent.size(), 64u) << "more datagrams than the cap waited for the association";
        EXPECT_EQ(sent.front(), "0");
        EXPECT_EQ(sent.back(), "63") << "the first 64 are kept, in order";
    }
}

TEST_F(UdpForwardingTest, DatagramsFromAnyoneButTheRelayAreDroppedOnBothPaths)
{
    FakeUdpProxy::Options stranger;
    stranger.strangerFirst = true;
    FakeUdpProxy natProxy(stranger);
    FakeUdpProxy flowProxy(stranger);
    startUdpNat(natProxy.port(), natProxy.port());
    startFlows(flowProxy.port());
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
    LogCapture log;
    FakeUdpProxy::Options junk;
    junk.junkFirst = true;
    FakeUdpProxy natProxy(junk);
    FakeUdpProxy flowProxy(junk);
    startUdpNat(natProxy.port(), natProxy.port());
    startFlows(flowProxy.port());
    ASSERT_TRUE(forward(4600, kRemote, 7, "one"));
    sendToFlows(4601, kRemote, 7, "one");
    ASSERT_TRUE(m_sink.waitFor(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<Delivered> packets = m_sink.packets();
    ASSERT_EQ(packets.size(), 2u) << "a malformed relay datagram was delivered";
    for (const Delivered &packet : packets)
        EXPECT_EQ(packet.payload, "one");
    EXPECT_EQ(log.count("[UDP-NAT] Failed to parse SOCKS5 UDP header"), 3);
    ASSERT_TRUE(forward(4600, kRemote, 7, "two"));
    sendToFlows(4601, kRemote, 7, "two");
    EXPECT_TRUE(m_sink.waitFor(4)) << "receiving stopped after a malformed datagram";
}

TEST_F(UdpForwardingTest, FlowTableRedirectsDnsAndFeedsTheNameCache)
{
    FakeUdpProxy proxy;
    startFlows(proxy.port());
    sendToFlows(4101, kTunnelDns, 53, dnsAnswer());
    ASSERT_TRUE(m_sink.waitFor(1));
    EXPECT_EQ(proxy.headerAddresses().front(), kRedirect);
    EXPECT_EQ(m_sink.packets().front().source, kTunnelDns);
    EXPECT_EQ(m_names.lookupIpv4(kRemote), "a.test");
}

TEST_F(UdpForwardingTest, OnlyTheTunnelsOwnDnsFeedsTheNameCacheOnBothPaths)
{
    FakeUdpProxy natProxy;
    FakeUdpProxy flowProxy;
    startUdpNat(natProxy.port(), natProxy.port());
    startFlows(flowProxy.port());
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

TEST_F(UdpForwardingTest, FlowTableEndsTheFlowWhenTheProxyRefusesTheGreeting)
{
    LogCapture log;
    FakeUdpProxy proxy(FakeUdpProxy::Options{0xFF, 0, false, false});
    startFlows(proxy.port());
    sendToFlows(4102, kRemote, 7, "x");
    EXPECT_TRUE(eventually([&] { return m_flows->flowCount() == 0; }));
    EXPECT_EQ(log.count("SOCKS5 UDP auth failed"), 1);
}

TEST_F(UdpForwardingTest, AnAssociateReplyOtherThanIpv4EndsTheAssociationOnBothPaths)
{
    LogCapture log;
    FakeUdpProxy::Options ipv6;
    ipv6.ipv6BoundAddress = true;
    FakeUdpProxy natProxy(ipv6);
    FakeUdpProxy flowProxy(ipv6);
    startUdpNat(natProxy.port(), natProxy.port());
    startFlows(flowProxy.port());
    EXPECT_TRUE(forward(4800, kRemote, 7, "x"));
    sendToFlows(4801, kRemote, 7, "x");
    EXPECT_TRUE(eventually([&] { return m_udpNat->sessionCount() == 0 && m_flows->flowCount() == 0; }));
    EXPECT_EQ(m_flows->establishedCount(), 0u) << "a relay was set up from misread bytes";
    EXPECT_EQ(log.count("[UDP-NAT] Unexpected ATYP in response: 4"), 1);
    EXPECT_EQ(log.count("SOCKS5 UDP associate answer has an unsupported address type: 4"), 1);
}

TEST_F(UdpForwardingTest, FlowTableSweepRemovesFlowsIdleForMoreThan61Seconds)
{
    FakeUdpProxy proxy;
    startFlows(proxy.port());
    sendToFlows(4103, kRemote, 7, "x");
    ASSERT_TRUE(m_sink.waitFor(1));
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    EXPECT_EQ(m_flows->sweepIdle(now + 60'000'000'000), 0u);
    EXPECT_EQ(m_flows->sweepIdle(now + 61'000'000'000), 1u);
    EXPECT_EQ(m_flows->flowCount(), 0u);
}

TEST(CompletionDispatcher, CompletionForARecordNoLongerLiveIsDroppedWithoutAHandler)
{
    CompletionPort port;
    ASSERT_TRUE(port.create());
    UdpNat udpNat;
    CompletionDispatcher dispatcher(port, CompletionDispatcher::Routes{nullptr, nullptr, nullptr, &udpNat, nullptr});
    CompletionSlot stranger;
    CompletionPort::Completion completion;
    completion.key = CompletionDispatcher::kUdpNatKey;
    completion.slot = &stranger;
    EXPECT_FALSE(dispatcher.dispatch(completion));
    completion.key = CompletionDispatcher::kRelayKey; // no relay at all
    EXPECT_FALSE(dispatcher.dispatch(completion));
    completion.key = 42;
    EXPECT_FALSE(dispatcher.dispatch(completion));
    EXPECT_EQ(dispatcher.dropped(), 3u);
    EXPECT_EQ(dispatcher.handled(), 0u);
}
