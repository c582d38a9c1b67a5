// The tunnel's packet path on a device of the test's own (no TUN link, no
// root): what the applications send goes in through the packet entry, and
// every packet the tunnel writes back is inspected.
#include "tun/Tunnel.h"

#include "net/PacketDevice.h"
#include "packet/PacketCodec.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackTools.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTunnel = 0x0A060701; // 10.6.7.1, the applications' source
constexpr std::uint32_t kPeer = kTunnel + 1;   // T + 1, the listener's fake peer
constexpr std::uint32_t kServer = 0xC6120A0A;  // 198.18.10.10
constexpr std::uint32_t kOtherServer = 0xC6120A0B;

// Records what the tunnel writes; inject() plays the reader thread.
class FakeDevice : public PacketDevice {
public:
    void setPacketHandler(PacketHandler handler) override { m_handler = std::move(handler); }
    void startReader() override {}
    void stopReader() override {}
    bool send(const std::uint8_t *packet, std::uint32_t length, const PacketOffload &) override
    {
        {
            std::lock_guard lock(m_mutex);
            m_written.emplace_back(packet, packet + length);
        }
        m_arrived.notify_all();
        return true;
    }

    void inject(Bytes packet) { m_handler(packet.data(), std::uint32_t(packet.size()), PacketOffload{}); }
    // The next packet written, waited for up to 3 s.
    std::optional<Bytes> next()
    {
        std::unique_lock lock(m_mutex);
        if (!m_arrived.wait_for(lock, std::chrono::seconds(3), [&] { return !m_written.empty(); }))
            return std::nullopt;
        Bytes packet = std::move(m_written.front());
        m_written.pop_front();
        return packet;
    }
    std::size_t pending()
    {
        std::lock_guard lock(m_mutex);
        return m_written.size();
    }

private:
    PacketHandler m_handler;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Bytes> m_written;
};

Bytes tcp(std::uint32_t src, std::uint16_t srcPort, std::uint32_t dst, std::uint16_t dstPort, std::uint8_t flags,
          std::uint32_t seq, const std::string &payload = "")
{
    return buildTcpPacket(src, srcPort, dst, dstPort, seq, 0, flags,
                          reinterpret_cast<const std::uint8_t *>(payload.data()), payload.size());
}

// The same packet with four bytes of IP options (NOP, NOP, NOP, end) after
// its 20-byte header.
Bytes withIpOptions(Bytes packet)
{
    packet.insert(packet.begin() + 20, {1, 1, 1, 0});
    packet[0] = 0x46;
    const std::uint16_t total = std::uint16_t(packet.size());
    packet[2] = std::uint8_t(total >> 8);
    packet[3] = std::uint8_t(total);
    packet[10] = packet[11] = 0;
    const std::uint16_t sum = internetChecksum(packet.data(), 24);
    std::memcpy(packet.data() + 10, &sum, 2);
    return packet;
}

// Both checksums of an IPv4/TCP packet hold.
bool checksumsHold(const Bytes &packet)
{
    const std::size_t ihl = std::size_t(packet[0] & 0x0F) * 4;
    if (internetChecksum(packet.data(), ihl) != 0)
        return false;
    const std::uint8_t *header = packet.data() + ihl;
    const std::size_t headerLength = std::size_t(header[12] >> 4) * 4;
    const std::size_t payloadLength = packet.size() - ihl - headerLength;
    const std::uint16_t sum = tcpChecksum(packet.data(), header, headerLength,
                                          payloadLength ? header + headerLength : nullptr, payloadLength);
    return std::memcmp(&sum, header + 16, 2) == 0;
}

std::string payloadOf(const PacketInfo &info)
{
    return std::string(reinterpret_cast<const char *>(info.payload), info.payloadLen);
}
} // namespace

class TunnelPacketPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_proxy = listenOnLoopback(&m_proxyPort); // answers the readiness check after a reset
        m_tunnel = std::make_unique<Tunnel>("127.0.0.1", m_proxyPort);
        // The listener needs an address of this host; the packets name T.
        const auto started = m_tunnel->startEngine(m_device, kTunnel, 0x7F000001);
        ASSERT_TRUE(started) << started.error();
        m_listenPort = m_tunnel->listenPort();
        ASSERT_NE(m_listenPort, 0);
    }
    void TearDown() override
    {
        m_tunnel.reset();
        ::close(m_proxy);
    }

    // The application's packet after the outbound rewrite (from T + 1 : NAT port to T : L).
    PacketInfo outbound(const Bytes &packet, Bytes *storage)
    {
        m_device.inject(packet);
        std::optional<Bytes> written = m_device.next();
        if (!written)
            return PacketInfo{};
        *storage = std::move(*written);
        EXPECT_TRUE(checksumsHold(*storage)) << "a rewritten packet carries a wrong checksum";
        return parsePacket(storage->data(), storage->size());
    }

    FakeDevice m_device;
    int m_proxy = -1;
    std::uint16_t m_proxyPort = 0;
    std::unique_ptr<Tunnel> m_tunnel;
    std::uint16_t m_listenPort = 0;
};

// A connection's packets go to the listener from its NAT port, the listener's
// answers come back from the address the application connected to; headers
// with IP options are rewritten where they really are.
TEST_F(TunnelPacketPath, NatRoundTripRewritesBothWaysAlsoWithIpOptions)
{
    for (const bool options : {false, true}) {
        const std::uint16_t clientPort = options ? 40001 : 40000;
        const auto shape = [&](Bytes packet) { return options ? withIpOptions(std::move(packet)) : packet; };
        Bytes stored;
        const PacketInfo syn = outbound(shape(tcp(kTunnel, clientPort, kServer, 443, PacketInfo::kSyn, 1000)), &stored);
        ASSERT_TRUE(syn.valid);
        EXPECT_EQ(syn.srcIp, kPeer);
        EXPECT_EQ(syn.dstIp, kTunnel);
        EXPECT_EQ(syn.dstPort, m_listenPort) << "options " << options;
        EXPECT_EQ(syn.seq, 1000u);
        const std::uint16_t natPort = syn.srcPort;

        m_device.inject(shape(tcp(kTunnel, m_listenPort, kPeer, natPort, PacketInfo::kSynAck, 5000)));
        const std::optional<Bytes> answer = m_device.next();
        ASSERT_TRUE(answer);
        EXPECT_TRUE(checksumsHold(*answer));
        const PacketInfo back = parsePacket(answer->data(), answer->size());
        EXPECT_EQ(back.srcIp, kServer);
        EXPECT_EQ(back.srcPort, 443);
        EXPECT_EQ(back.dstIp, kTunnel);
        EXPECT_EQ(back.dstPort, clientPort) << "options " << options;

        const PacketInfo data =
            outbound(shape(tcp(kTunnel, clientPort, kServer, 443, PacketInfo::kPshAck, 1001, "GET /")), &stored);
        EXPECT_EQ(data.srcPort, natPort);
        EXPECT_EQ(payloadOf(data), "GET /");
    }
}

TEST_F(TunnelPacketPath, RetransmittedSynKeepsItsNatPortAndAnotherDestinationGetsItsOwn)
{
    Bytes stored;
    const Bytes syn = tcp(kTunnel, 40100, kServer, 80, PacketInfo::kSyn, 7);
    const std::uint16_t first = outbound(syn, &stored).srcPort;
    EXPECT_EQ(outbound(syn, &stored).srcPort, first) << "a retransmitted SYN opened a second session";
    const std::uint16_t other = outbound(tcp(kTunnel, 40100, kOtherServer, 80, PacketInfo::kSyn, 9), &stored).srcPort;
    EXPECT_NE(other, first);
    // The listener's answer to each goes back to its own destination.
    m_device.inject(tcp(kTunnel, m_listenPort, kPeer, other, PacketInfo::kSynAck, 1));
    const std::optional<Bytes> answer = m_device.next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(parsePacket(answer->data(), answer->size()).srcIp, kOtherServer);
}

// For a second after a reset new connections are refused at once with a reset
// that acknowledges the SYN, UDP is dropped, and connections already open
// still pass; then new connections are taken again.
TEST_F(TunnelPacketPath, ResetRefusesNewConnectionsWithRstAckUntilTheProxyIsReady)
{
    Bytes stored;
    const std::uint16_t open = outbound(tcp(kTunnel, 40200, kServer, 80, PacketInfo::kSyn, 1), &stored).srcPort;
    m_tunnel->resetConnections();
    ASSERT_FALSE(m_tunnel->isProxyReady());

    m_device.inject(tcp(kTunnel, 40201, kServer, 443, PacketInfo::kSyn, 41));
    const std::optional<Bytes> refused = m_device.next();
    ASSERT_TRUE(refused);
    const PacketInfo reset = parsePacket(refused->data(), refused->size());
    EXPECT_EQ(reset.tcpFlags, PacketInfo::kRstAck);
    EXPECT_EQ(reset.ack, 42u);
    EXPECT_EQ(reset.srcIp, kServer);
    EXPECT_EQ(reset.srcPort, 443);
    EXPECT_EQ(reset.dstIp, kTunnel);
    EXPECT_EQ(reset.dstPort, 40201);
    EXPECT_TRUE(checksumsHold(*refused));

    const std::string query = "query";
    m_device.inject(buildUdpPacket(kTunnel, 5353, kServer, 53, reinterpret_cast<const std::uint8_t *>(query.data()),
                                   query.size()));
    EXPECT_EQ(m_tunnel->udpNatSessionCount() + m_tunnel->udpFlowCount(), 0u) << "UDP passed while not ready";
    EXPECT_EQ(outbound(tcp(kTunnel, 40200, kServer, 80, PacketInfo::kAck, 2), &stored).srcPort, open)
        << "an open connection was cut off";

    ASSERT_TRUE(eventually([&] { return m_tunnel->isProxyReady(); }));
    const PacketInfo syn = outbound(tcp(kTunnel, 40202, kServer, 443, PacketInfo::kSyn, 77), &stored);
    EXPECT_EQ(syn.dstPort, m_listenPort) << "no new connection after the readiness delay";
    EXPECT_EQ(m_device.pending(), 0u);
}

// Packets addressed to the listener itself are dropped with a warning that
// stops after the first few: a routing loop sends them by the thousand.
TEST_F(TunnelPacketPath, PacketsAddressedToTheListenerAreDroppedWithABoundedNumberOfWarnings)
{
    LogCapture log;
    for (std::uint16_t i = 0; i < 500; ++i)
        m_device.inject(tcp(kPeer, std::uint16_t(41000 + i), kTunnel, m_listenPort, PacketInfo::kSyn, i));
    EXPECT_EQ(m_device.pending(), 0u) << "a packet to the listener was passed on";
    EXPECT_GE(log.count("[NAT-DROP]"), 1);
    EXPECT_LE(log.count("[NAT-DROP]"), 10);
}
