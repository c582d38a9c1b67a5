// TCP super-packets as the TUN device hands them over with segmentation
// offload: rewritten by the NAT path, then cut into segments the way the
// kernel does it and checked with a checksum written here from the RFC, not
// with the codec's own.

#include "packet/PacketCodec.h"
#include "packet/PacketInfo.h"
#include "packet/PacketOffload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace {
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kClient = 0x0A060701; // T
constexpr std::uint32_t kNatPeer = 0x0A060702; // T + 1
constexpr std::uint32_t kServer = 0xC6120A0A;
constexpr std::size_t kIpOptions = 4;
constexpr std::size_t kTcpOptions = 12;

std::uint16_t get16(const Bytes &p, std::size_t at)
{
    return std::uint16_t((p[at] << 8) | p[at + 1]);
}

void put16(Bytes &p, std::size_t at, std::uint16_t v)
{
    p[at] = std::uint8_t(v >> 8);
    p[at + 1] = std::uint8_t(v);
}

void put32(Bytes &p, std::size_t at, std::uint32_t v)
{
    put16(p, at, std::uint16_t(v >> 16));
    put16(p, at + 2, std::uint16_t(v));
}

// RFC 1071, big-endian 16-bit words one at a time.
std::uint32_t wordSum(const Bytes &p, std::size_t from, std::size_t to, std::uint32_t sum = 0)
{
    for (std::size_t i = from; i + 1 < to; i += 2)
        sum += std::uint32_t((p[i] << 8) | p[i + 1]);
    if ((to - from) % 2)
        sum += std::uint32_t(p[to - 1] << 8);
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(sum);
}

std::size_t ipHeaderLength(const Bytes &p)
{
    return std::size_t(p[0] & 0x0F) * 4;
}

std::uint32_t pseudoSum(const Bytes &p, std::size_t tcpLength)
{
    return wordSum(p, 12, 20) + 6 + std::uint32_t(tcpLength);
}

bool ipHeaderVerifies(const Bytes &p)
{
    return fold(wordSum(p, 0, ipHeaderLength(p))) == 0xFFFF;
}

bool tcpVerifies(const Bytes &p)
{
    const std::size_t ihl = ipHeaderLength(p);
    return fold(wordSum(p, ihl, p.size(), pseudoSum(p, p.size() - ihl))) == 0xFFFF;
}

// A super-packet as the local stack hands it to a device with offloads: IP
// options, TCP options, and in the TCP checksum field only the folded sum of
// the pseudo-header over the whole TCP length.
Bytes superPacket(std::uint32_t src, std::uint16_t srcPort, std::uint32_t dst, std::uint16_t dstPort,
                  std::size_t payload, std::uint8_t flags, PacketOffload *offload)
{
    const std::size_t ihl = 20 + kIpOptions, thl = 20 + kTcpOptions;
    Bytes p(ihl + thl + payload, 0);
    p[0] = std::uint8_t(0x40 | (ihl / 4));
    put16(p, 2, std::uint16_t(p.size()));
    put16(p, 4, 0x1234);
    put16(p, 6, 0x4000);
    p[8] = 64;
    p[9] = 6;
    put32(p, 12, src);
    put32(p, 16, dst);
    p[20] = 1; // NOP options
    p[21] = 1;
    p[22] = 1;
    p[23] = 0;
    put16(p, 10, std::uint16_t(~fold(wordSum(p, 0, ihl))));
    put16(p, ihl, srcPort);
    put16(p, ihl + 2, dstPort);
    put32(p, ihl + 4, 0xFFFFF000); // the sequence wraps inside the packet
    put32(p, ihl + 8, 77);
    p[ihl + 12] = std::uint8_t((thl / 4) << 4);
    p[ihl + 13] = flags;
    put16(p, ihl + 14, 512);
    p[ihl + 20] = 1;
    p[ihl + 21] = 1;
    p[ihl + 22] = 8; // timestamps
    p[ihl + 23] = 10;
    std::mt19937 random{std::uint32_t(payload)};
    for (std::size_t i = ihl + thl; i < p.size(); ++i)
        p[i] = std::uint8_t(random());
    put16(p, ihl + 16, fold(pseudoSum(p, p.size() - ihl)));
    offload->gsoType = PacketOffload::GsoType::TcpV4;
    offload->gsoSize = 1448;
    offload->headerLength = std::uint16_t(ihl + thl);
    offload->checksumPartial = true;
    offload->checksumStart = std::uint16_t(ihl);
    offload->checksumOffset = 16;
    return p;
}

// What the kernel makes of a super-packet: segments of gsoSize payload bytes
// with the headers copied, total length, identification and sequence set, PSH
// and FIN on the last only, CWR on the first only, the partial sum moved to
// the segment's length and then completed over the segment.
std::vector<Bytes> segment(const Bytes &super, const PacketOffload &offload)
{
    const std::size_t ihl = ipHeaderLength(super);
    const std::size_t headers = offload.headerLength;
    const std::size_t payload = super.size() - headers;
    const std::uint32_t seq = (std::uint32_t(get16(super, ihl + 4)) << 16) | get16(super, ihl + 6);
    const std::uint16_t partial = get16(super, offload.checksumStart + offload.checksumOffset);
    std::vector<Bytes> out;
    for (std::size_t at = 0, i = 0; at < payload; at += offload.gsoSize, ++i) {
        const std::size_t size = std::min<std::size_t>(offload.gsoSize, payload - at);
        Bytes s(super.begin(), super.begin() + std::ptrdiff_t(headers));
        s.insert(s.end(), super.begin() + std::ptrdiff_t(headers + at),
                 super.begin() + std::ptrdiff_t(headers + at + size));
        const bool last = at + size == payload;
        put16(s, 2, std::uint16_t(s.size()));
        put16(s, 4, std::uint16_t(get16(super, 4) + i));
        put16(s, 10, 0);
        put16(s, 10, std::uint16_t(~fold(wordSum(s, 0, ihl))));
        put32(s, ihl + 4, seq + std::uint32_t(at));
        if (!last)
            s[ihl + 13] &= std::uint8_t(~0x09);
        if (i > 0)
            s[ihl + 13] &= std::uint8_t(~0x80);
        const std::size_t superTcp = super.size() - ihl, tcpLength = s.size() - ihl;
        const std::uint16_t moved = fold(std::uint32_t(partial) + std::uint16_t(~superTcp) + std::uint32_t(tcpLength));
        put16(s, offload.checksumStart + offload.checksumOffset, moved);
        const std::uint16_t complete = std::uint16_t(~fold(wordSum(s, offload.checksumStart, s.size())));
        put16(s, offload.checksumStart + offload.checksumOffset, complete);
        out.push_back(std::move(s));
    }
    return out;
}

void expectSegmentsVerify(const Bytes &super, const PacketOffload &offload, std::uint32_t src,
                          std::uint16_t srcPort, std::uint32_t dst, std::uint16_t dstPort)
{
    ASSERT_TRUE(ipHeaderVerifies(super)) << "the super-packet's IP header checksum";
    const std::vector<Bytes> segments = segment(super, offload);
    const std::size_t headers = offload.headerLength;
    Bytes payload;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Bytes &s = segments[i];
        const PacketInfo info = parsePacket(s.data(), s.size());
        EXPECT_EQ(info.srcIp, src);
        EXPECT_EQ(info.dstIp, dst);
        EXPECT_EQ(info.srcPort, srcPort);
        EXPECT_EQ(info.dstPort, dstPort);
        EXPECT_TRUE(tcpVerifies(s)) << "segment " << i << " of " << segments.size() << " fails its TCP checksum";
        payload.insert(payload.end(), s.begin() + std::ptrdiff_t(headers), s.end());
    }
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), super.begin() + std::ptrdiff_t(headers), super.end()))
        << "the segments do not carry the super-packet's payload";
}
} // namespace

TEST(SuperPacketRewrite, OutboundAndInboundRewritesKeepEverySegmentsChecksumsValid)
{
    // Odd and even payloads, one that ends in a short segment, one segment only.
    for (std::size_t payload : {64000u, 63999u, 2897u, 1448u, 1u}) {
        PacketOffload offload;
        Bytes p = superPacket(kClient, 43210, kServer, 443, payload, PacketInfo::kPshAck | 0x80, &offload);
        // Towards the listener: T + 1 : NAT port -> T : listen port.
        ASSERT_TRUE(rewriteTcpAddresses(p.data(), p.size(), kNatPeer, 30001, kClient, 39999, true));
        expectSegmentsVerify(p, offload, kNatPeer, 30001, kClient, 39999);
        // And the answer's way back: the destination towards the application.
        ASSERT_TRUE(rewriteTcpAddresses(p.data(), p.size(), kServer, 443, kClient, 43210, true));
        expectSegmentsVerify(p, offload, kServer, 443, kClient, 43210);
    }
}

TEST(SuperPacketRewrite, ReadingThePartialSumAsACompleteChecksumWouldBreakTheSegments)
{
    PacketOffload offload;
    Bytes p = superPacket(kClient, 43210, kServer, 443, 5000, PacketInfo::kAck, &offload);
    ASSERT_TRUE(rewriteTcpAddresses(p.data(), p.size(), kNatPeer, 30001, kClient, 39999, false));
    bool anyFails = false;
    for (const Bytes &s : segment(p, offload))
        anyFails = anyFails || !tcpVerifies(s);
    EXPECT_TRUE(anyFails) << "the test's segmentation does not tell a partial sum from a complete checksum";
}

TEST(SuperPacketRewrite, CompleteChecksumIsUpdatedWithoutSummingThePayloadAgain)
{
    for (std::size_t payload : {0u, 1u, 1460u, 65000u}) {
        PacketOffload offload;
        Bytes p = superPacket(kClient, 43210, kServer, 443, payload, PacketInfo::kPshAck, &offload);
        const std::size_t ihl = ipHeaderLength(p);
        put16(p, ihl + 16, 0);
        put16(p, ihl + 16, std::uint16_t(~fold(wordSum(p, ihl, p.size(), pseudoSum(p, p.size() - ihl)))));
        ASSERT_TRUE(tcpVerifies(p));
        ASSERT_TRUE(rewriteTcpAddresses(p.data(), p.size(), kNatPeer, 30001, kClient, 39999));
        EXPECT_TRUE(ipHeaderVerifies(p) && tcpVerifies(p)) << "payload " << payload;
        // A checksum that was wrong stays wrong: the receiver drops the packet.
        p[p.size() - 1] ^= 0x5A;
        ASSERT_TRUE(rewriteTcpAddresses(p.data(), p.size(), kServer, 443, kClient, 43210));
        EXPECT_FALSE(tcpVerifies(p)) << "payload " << payload;
    }
}

TEST(PacketOffloadHeader, FieldsRoundTripLittleEndianAndZeroMeansPlain)
{
    PacketOffload offload;
    offload.gsoType = PacketOffload::GsoType::TcpV6;
    offload.gsoEcn = true;
    offload.gsoSize = 0x0102;
    offload.headerLength = 0x0304;
    offload.checksumPartial = true;
    offload.checksumStart = 0x0506;
    offload.checksumOffset = 0x0708;
    std::uint8_t header[PacketOffload::kHeaderSize];
    offload.toHeader(header);
    const std::uint8_t expected[] = {0x01, 0x84, 0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07};
    EXPECT_TRUE(std::equal(header, header + sizeof header, expected));
    const PacketOffload back = PacketOffload::fromHeader(header);
    EXPECT_EQ(back.gsoType, PacketOffload::GsoType::TcpV6);
    EXPECT_TRUE(back.gsoEcn && back.checksumPartial && !back.checksumValid);
    EXPECT_EQ(back.gsoSize, 0x0102);
    EXPECT_EQ(back.headerLength, 0x0304);
    EXPECT_EQ(back.checksumStart, 0x0506);
    EXPECT_EQ(back.checksumOffset, 0x0708);

    PacketOffload{}.toHeader(header);
    EXPECT_TRUE(std::all_of(header, header + sizeof header, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(PacketOffload::fromHeader(header).isPlain());
}

// The user-space TCP engine's segments for IPv6 keys: an IPv6 header and a
// TCP checksum over the IPv6 pseudo-header (RFC 8200), verified here
// independently, and the packet parses back to what was built.
TEST(TcpSegmentBuilder, Ipv6SegmentCarriesItsOwnPseudoHeaderChecksum)
{
    std::array<std::uint8_t, 16> client{0xfd, 0x6b, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::array<std::uint8_t, 16> server{0xfd, 0x6b, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const std::uint8_t options[4] = {2, 4, 0x05, 0x88};
    const Bytes payload(1001, 0x5A);
    TcpSegmentFields fields;
    fields.source = {IpAddress::fromIpv6(server), 443};
    fields.destination = {IpAddress::fromIpv6(client), 50000};
    fields.seq = 0xFFFFFFF0;
    fields.ack = 77;
    fields.flags = PacketInfo::kPshAck;
    fields.window = 512;
    fields.options = options;
    fields.optionsLen = sizeof options;
    fields.payload = payload.data();
    fields.payloadLen = payload.size();
    Bytes packet(tcpSegmentLength(fields));
    ASSERT_EQ(writeTcpSegment(fields, packet.data(), packet.size()), packet.size());
    ASSERT_EQ(packet.size(), 40u + 24u + payload.size());

    EXPECT_EQ(packet[0] >> 4, 6);
    EXPECT_EQ(get16(packet, 4), 24u + payload.size()) << "payload length";
    EXPECT_EQ(packet[6], 6) << "next header";
    const std::size_t tcpLength = packet.size() - 40;
    std::uint32_t sum = wordSum(packet, 8, 40) + std::uint32_t(tcpLength) + 6; // addresses, length, next header
    EXPECT_EQ(fold(wordSum(packet, 40, packet.size(), sum)), 0xFFFF) << "the TCP checksum does not verify";

    const PacketInfo info = parsePacket(packet.data(), packet.size());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.source(), fields.source);
    EXPECT_EQ(info.destination(), fields.destination);
    EXPECT_EQ(info.seq, fields.seq);
    EXPECT_EQ(info.payloadLen, payload.size());
    EXPECT_EQ(parseTcpOptions(info).mss, 0x0588);
}
