// The user-space TCP engine against a scripted application: segments built
// here go in through onTcpPacket, what the engine writes towards the
// application is captured, and the proxy side is a socket pair whose far end
// the test reads and writes. Time is the test's own clock.

#include "packet/PacketCodec.h"
#include "packet/PacketInfo.h"
#include "packet/PacketOffload.h"
#include "packet/RoutingPolicy.h"
#include "tests/support/LoopbackTools.h"
#include "tun/TcpConnectionTable.h"

#include <gtest/gtest.h>

#include <array>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::uint32_t kServerIsn = 0x7FFFFFF0;
const Endpoint kApp = Endpoint::fromIpv4(0xAC1F0002, 40000);   // 172.31.0.2, a container
const Endpoint kTarget = Endpoint::fromIpv4(0xC612000A, 80);   // 198.18.0.10

struct Captured {
    std::vector<std::uint8_t> bytes;
    PacketOffload offload;
    PacketInfo info() const { return parsePacket(bytes.data(), bytes.size()); }
};

class Engine {
public:
    explicit Engine(bool offload = false)
    {
        EXPECT_TRUE(m_port.create());
        m_policy.setProxyPort(1080);
        m_policy.setDirectPort(1081);
        TcpConnectionTable::Settings settings;
        settings.policy = &m_policy;
        settings.connector.start = [this](AsyncSocksClient::Request request, AsyncSocksClient::Handler handler) {
            requests.push_back(request);
            m_handlers.push_back(std::move(handler));
            return std::uint64_t(m_handlers.size());
        };
        settings.connector.cancel = [](std::uint64_t) {};
        settings.output = [this](const std::uint8_t *packet, std::size_t length) {
            written.push_back({std::vector<std::uint8_t>(packet, packet + length), PacketOffload{}});
            return true;
        };
        if (offload)
            settings.offloadOutput = [this](const std::uint8_t *packet, std::size_t length, const PacketOffload &o) {
                written.push_back({std::vector<std::uint8_t>(packet, packet + length), o});
                return true;
            };
        settings.clock = [this] { return now; };
        settings.initialSequence = [] { return kServerIsn; };
        settings.timerThread = false;
        table = std::make_unique<TcpConnectionTable>(m_port, std::move(settings));
        table->start();
    }
    ~Engine()
    {
        table->stop();
        pump();
        for (int fd : m_peers)
            ::close(fd);
    }

    // A segment from the application; options and payload as given.
    void send(std::uint8_t flags, std::uint32_t seq, std::uint32_t ack, std::uint16_t window,
              const std::string &payload = {}, std::vector<std::uint8_t> options = {}, Endpoint from = kApp,
              bool garbleChecksum = false)
    {
        TcpSegmentFields fields;
        fields.source = from;
        fields.destination = kTarget;
        fields.seq = seq;
        fields.ack = ack;
        fields.flags = flags;
        fields.window = window;
        fields.options = options.data();
        fields.optionsLen = options.size();
        fields.payload = reinterpret_cast<const std::uint8_t *>(payload.data());
        fields.payloadLen = payload.size();
        std::vector<std::uint8_t> packet(tcpSegmentLength(fields));
        ASSERT_EQ(writeTcpSegment(fields, packet.data(), packet.size()), packet.size());
        if (garbleChecksum) // a checksum-partial super-packet holds only the pseudo-header's sum
            packet[20 + 16] ^= 0x5A;
        table->onTcpPacket(parsePacket(packet.data(), packet.size()));
    }

    // The proxy accepts handshake i: the engine gets one end of a socket pair; the other is returned.
    int establish(std::size_t i)
    {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        return handOver(i, pair[0], pair[1]);
    }
    // The same over a loopback TCP connection; *engineEnd is the engine's end.
    int establishOverTcp(std::size_t i, int *engineEnd)
    {
        const int far = connectedLoopbackPair(engineEnd);
        return handOver(i, *engineEnd, far);
    }
    void fail(std::size_t i, AsyncSocksClient::Failure failure)
    {
        AsyncSocksClient::Result result;
        result.failure = failure;
        m_handlers.at(i)(std::move(result));
    }

    // Delivers the completions that are ready.
    void pump()
    {
        CompletionPort::Completion completion;
        while (m_port.wait(100, completion) == CompletionPort::WaitResult::Completed)
            table->onCompletion(completion);
    }
    void advance(std::int64_t ns)
    {
        now += ns;
        table->runTimers(now);
    }
    std::vector<Captured> take() { return std::exchange(written, {}); }

    std::vector<AsyncSocksClient::Request> requests;
    std::vector<Captured> written;
    std::int64_t now = 1'000'000'000;
    std::unique_ptr<TcpConnectionTable> table;

private:
    // The engine's end of the proxy connection goes to handshake i; the far end is the test's.
    int handOver(std::size_t i, int engineEnd, int far)
    {
        EXPECT_EQ(m_port.associate(engineEnd, std::uint64_t(CompletionKey::UserTcp)), 0);
        m_peers.push_back(far);
        AsyncSocksClient::Result result;
        result.socket = engineEnd;
        m_handlers.at(i)(std::move(result));
        return far;
    }

    CompletionPort m_port;
    RoutingPolicy m_policy;
    std::vector<AsyncSocksClient::Handler> m_handlers;
    std::vector<int> m_peers;
};

// MSS 1000 and, when scaled, window scale 2.
std::vector<std::uint8_t> synOptions(bool scaled)
{
    if (scaled)
        return {2, 4, 0x03, 0xE8, 1, 3, 3, 2};
    return {2, 4, 0x03, 0xE8};
}

std::string readExactly(int fd, std::size_t length)
{
    std::string out(length, '\0');
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::recv(fd, out.data() + got, length - got, 0);
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    out.resize(got);
    return out;
}

std::string payloadOf(const PacketInfo &p)
{
    return std::string(reinterpret_cast<const char *>(p.payload), p.payloadLen);
}
} // namespace

TEST(TcpConnectionTable, SynIsAnsweredOnceTheProxyAcceptsWhileRefusalsAndStraySegmentsAreReset)
{
    Engine engine;
    engine.send(PacketInfo::kSyn, 5000, 0, 65535, {}, synOptions(true));
    engine.send(PacketInfo::kSyn, 5000, 0, 65535, {}, synOptions(true)); // retransmitted SYN
    ASSERT_EQ(engine.requests.size(), 1u) << "a repeated SYN opened a second proxy connection";
    EXPECT_EQ(engine.requests[0].destination, kTarget);
    EXPECT_EQ(engine.requests[0].server.port, 1080);
    EXPECT_TRUE(engine.take().empty()) << "the SYN was answered before the proxy accepted";

    engine.establish(0);
    auto out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    const PacketInfo synAck = out[0].info();
    EXPECT_EQ(synAck.tcpFlags, PacketInfo::kSynAck);
    EXPECT_EQ(synAck.seq, kServerIsn);
    EXPECT_EQ(synAck.ack, 5001u);
    const TcpSynOptions offered = parseTcpOptions(synAck);
    EXPECT_EQ(offered.mss, 1000) << "the SYN+ACK does not offer the application's own MSS";
    EXPECT_GE(offered.windowScale, 5) << "uploads would be capped at 64 KiB per round trip";

    // A connection the table does not hold: RST at the acknowledgement it named.
    engine.send(PacketInfo::kAck, 9, 777, 100, {}, {}, Endpoint::fromIpv4(0xAC1F0002, 40001));
    out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].info().tcpFlags, PacketInfo::kRst);
    EXPECT_EQ(out[0].info().seq, 777u);

    // The proxy refuses a second connection: RST+ACK acknowledging its SYN, at once.
    engine.send(PacketInfo::kSyn, 100, 0, 65535, {}, synOptions(false), Endpoint::fromIpv4(0xAC1F0002, 40002));
    engine.fail(1, AsyncSocksClient::Failure::RequestRejected);
    out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].info().tcpFlags, PacketInfo::kRstAck);
    EXPECT_EQ(out[0].info().ack, 101u);
    EXPECT_EQ(engine.table->connectionCount(), 1u);
}

// What the application's segments carry goes on to the proxy at once, not held
// back until the proxy acknowledges the write before (Nagle).
TEST(TcpConnectionTable, ProxySocketSendsSmallWritesWithoutDelay)
{
    Engine engine;
    engine.send(PacketInfo::kSyn, 5000, 0, 65535, {}, synOptions(true));
    int engineEnd = -1;
    const int proxy = engine.establishOverTcp(0, &engineEnd);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(engineEnd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_EQ(noDelay, 1);
    engine.send(PacketInfo::kAck, 5001, kServerIsn + 1, 4000);
    engine.send(PacketInfo::kAck | PacketInfo::kPsh, 5001, kServerIsn + 1, 4000, "hi");
    engine.pump();
    EXPECT_EQ(readExactly(proxy, 2), "hi");
}

TEST(TcpConnectionTable, UploadAcrossTheWrapTakesOutOfOrderSegmentsAndASuperPacketBeyondTheMss)
{
    Engine engine;
    const std::uint32_t isn = 0xFFFFFF00; // the data crosses 2^32
    engine.send(PacketInfo::kSyn, isn, 0, 65535, {}, synOptions(true));
    const int proxy = engine.establish(0);
    engine.send(PacketInfo::kAck, isn + 1, kServerIsn + 1, 4000);
    engine.take();

    const std::uint32_t e = isn + 1;
    const std::string first(100, 'a'), second(200, 'b'), coalesced(30000, 'c');
    engine.send(PacketInfo::kAck, e + 100, kServerIsn + 1, 4000, second);
    auto out = engine.take();
    ASSERT_EQ(out.size(), 1u) << "a segment after a gap must be answered by a duplicate acknowledgement";
    EXPECT_EQ(out[0].info().ack, e);
    engine.send(PacketInfo::kAck, e, kServerIsn + 1, 4000, first);
    out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].info().ack, e + 300) << "filling the gap did not take the buffered segment";
    engine.send(PacketInfo::kAck, e, kServerIsn + 1, 4000, first); // retransmitted old segment
    out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].info().ack, e + 300);

    // A super-packet of the device's offload: 30000 bytes in one segment, its
    // checksum field only partial.
    engine.send(PacketInfo::kAck | PacketInfo::kPsh, e + 300, kServerIsn + 1, 4000, coalesced, {}, kApp, true);
    out = engine.take();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().info().ack, e + 30300) << "the super-packet was not taken whole";
    engine.pump();
    EXPECT_EQ(readExactly(proxy, 30300), first + second + coalesced) << "the proxy got other bytes or another order";
    // The connection listing sees the flow with what reached the proxy.
    std::vector<FlowEntry> flows;
    engine.table->appendFlows(flows);
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_TRUE(flows[0].tcp && !flows[0].direct);
    EXPECT_EQ(flows[0].source, kApp);
    EXPECT_EQ(flows[0].stats->bytesUp(), 30300u);
}

TEST(TcpConnectionTable, DownloadHonoursTheWindowAndRetransmitsOnTimeOutAndOnThreeDuplicateAcks)
{
    Engine engine;
    engine.send(PacketInfo::kSyn, 5000, 0, 3000, {}, synOptions(false));
    const int proxy = engine.establish(0);
    engine.send(PacketInfo::kAck, 5001, kServerIsn + 1, 3000);
    engine.take();

    std::string data;
    for (int i = 0; i < 10000; ++i)
        data += char('A' + i % 23);
    ASSERT_EQ(::send(proxy, data.data(), data.size(), 0), ssize_t(data.size()));
    engine.pump();
    auto out = engine.take();
    std::size_t sent = 0;
    for (const Captured &c : out) {
        const PacketInfo p = c.info();
        EXPECT_LE(p.payloadLen, 1000u) << "a segment beyond the application's MSS";
        EXPECT_EQ(payloadOf(p), data.substr(p.seq - (kServerIsn + 1), p.payloadLen));
        sent += p.payloadLen;
    }
    EXPECT_EQ(sent, 3000u) << "the application's window of 3000 bytes was not honoured";
    std::vector<FlowEntry> flows;
    engine.table->appendFlows(flows);
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0].stats->bytesDown(), data.size()) << "bytes from the proxy were not counted";

    // The first segment arrived, the second was lost: the window slides by
    // one segment, and three duplicate acknowledgements bring the lost one again.
    engine.send(PacketInfo::kAck, 5001, kServerIsn + 1001, 3000);
    out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].info().seq, kServerIsn + 3001);
    for (int i = 0; i < 3; ++i)
        engine.send(PacketInfo::kAck, 5001, kServerIsn + 1001, 3000);
    out = engine.take();
    ASSERT_FALSE(out.empty()) << "no fast retransmission after three duplicate acknowledgements";
    EXPECT_EQ(out[0].info().seq, kServerIsn + 1001);
    EXPECT_EQ(payloadOf(out[0].info()), data.substr(1000, 1000));

    // Still nothing acknowledged: it goes again after the time-out.
    engine.advance(1'100'000'000);
    out = engine.take();
    ASSERT_FALSE(out.empty()) << "no retransmission after the time-out";
    EXPECT_EQ(out[0].info().seq, kServerIsn + 1001);
    EXPECT_EQ(payloadOf(out[0].info()), data.substr(1000, 1000));
}

TEST(TcpConnectionTable, ProxyCloseEndsWithFinWhileResetAndStopSendAnRst)
{
    Engine engine;
    engine.send(PacketInfo::kSyn, 5000, 0, 65535, {}, synOptions(false));
    engine.send(PacketInfo::kSyn, 8000, 0, 65535, {}, synOptions(false), Endpoint::fromIpv4(0xAC1F0002, 40001));
    const int first = engine.establish(0);
    engine.establish(1);
    engine.send(PacketInfo::kAck, 5001, kServerIsn + 1, 65535);
    engine.take();

    ASSERT_EQ(::send(first, "bye", 3, 0), 3);
    ::shutdown(first, SHUT_WR);
    engine.pump();
    auto out = engine.take();
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(out.back().info().hasFlag(PacketInfo::kFin)) << "the proxy's end was not passed on as FIN";
    EXPECT_EQ(out.back().info().seq + out.back().info().payloadLen, kServerIsn + 4);

    EXPECT_EQ(engine.table->resetAll(), 2u);
    out = engine.take();
    ASSERT_EQ(out.size(), 2u);
    for (const Captured &c : out)
        EXPECT_TRUE(c.info().hasFlag(PacketInfo::kRst)) << "a connection ended by the reset got no RST";
    EXPECT_EQ(engine.table->connectionCount(), 0u);

    engine.send(PacketInfo::kSyn, 9000, 0, 65535, {}, synOptions(false));
    engine.establish(2);
    engine.take();
    engine.table->stop();
    out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].info().hasFlag(PacketInfo::kRst)) << "stopping the engine left the application waiting";
}

TEST(TcpConnectionTable, RunsOfFullSegmentsGoAsOneSuperPacketTheDeviceCutsAtTheMss)
{
    Engine engine(true);
    engine.send(PacketInfo::kSyn, 5000, 0, 65535, {}, synOptions(false));
    const int proxy = engine.establish(0);
    engine.send(PacketInfo::kAck, 5001, kServerIsn + 1, 65535);
    engine.take();
    const std::string data(9500, 'd'); // within the initial congestion window of 10 segments
    ASSERT_EQ(::send(proxy, data.data(), data.size(), 0), ssize_t(data.size()));
    engine.pump();
    const auto out = engine.take();
    ASSERT_EQ(out.size(), 1u);
    const PacketInfo p = out[0].info();
    EXPECT_EQ(p.payloadLen, data.size());
    EXPECT_EQ(out[0].offload.gsoType, PacketOffload::GsoType::TcpV4);
    EXPECT_EQ(out[0].offload.gsoSize, 1000) << "the device would cut it beyond the application's MSS";
    EXPECT_EQ(out[0].offload.headerLength, 40);
    EXPECT_TRUE(out[0].offload.checksumPartial);
    // The checksum field: the pseudo-header's sum alone, for the device to complete.
    const auto &b = out[0].bytes;
    std::uint32_t sum = 6 + std::uint32_t(b.size() - 20);
    for (std::size_t i = 12; i < 20; i += 2)
        sum += std::uint32_t(b[i] << 8 | b[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(std::uint32_t(b[36] << 8 | b[37]), sum);
}
