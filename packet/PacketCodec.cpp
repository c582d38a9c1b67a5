#include "packet/PacketCodec.h"

#include "base/Log.h"
#include "base/LogLimiter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::uint16_t load16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t load32(const std::uint8_t *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8)
           | std::uint32_t(p[3]);
}

void store16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void store32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// One's-complement sum over a concatenation of byte ranges, each added in
// memory order; a range of odd length pairs its last byte with the next
// range's first, as if the ranges were one buffer.
class ChecksumSum {
public:
    void add(const std::uint8_t *p, std::size_t n)
    {
        if (n == 0)
            return;
        if (m_odd) {
            addPair(m_pending, p[0]);
            ++p;
            --n;
            m_odd = false;
        }
        // 32-bit words folded later give the same one's-complement sum as
        // 16-bit words, at a quarter of the additions.
        while (n >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            m_sum += (v & 0xFFFFFFFFu) + (v >> 32);
            p += 8;
            n -= 8;
        }
        while (n >= 2) {
            std::uint16_t v;
            std::memcpy(&v, p, 2);
            m_sum += v;
            p += 2;
            n -= 2;
        }
        if (n == 1) {
            m_pending = p[0];
            m_odd = true;
        }
    }

    std::uint16_t complement()
    {
        if (m_odd) {
            addPair(m_pending, 0);
            m_odd = false;
        }
        std::uint64_t s = m_sum;
        while (s >> 16)
            s = (s & 0xFFFF) + (s >> 16);
        return static_cast<std::uint16_t>(~s);
    }

private:
    void addPair(std::uint8_t first, std::uint8_t second)
    {
        const std::uint8_t w[2] = {first, second};
        std::uint16_t v;
        std::memcpy(&v, w, 2);
        m_sum += v;
    }

    std::uint64_t m_sum = 0;
    std::uint8_t m_pending = 0;
    bool m_odd = false;
};

std::uint16_t transportChecksum(const std::uint8_t *ipHeader, std::uint8_t protocol,
                                const std::uint8_t *header, std::size_t headerLen,
                                std::size_t checksumOffset, const std::uint8_t *payload,
                                std::size_t payloadLen)
{
    std::uint8_t pseudo[12];
    std::memcpy(pseudo, ipHeader + 12, 8);
    pseudo[8] = 0;
    pseudo[9] = protocol;
    store16(pseudo + 10, static_cast<std::uint16_t>(headerLen + payloadLen));

    ChecksumSum sum;
    sum.add(pseudo, sizeof pseudo);
    // The header with its checksum field taken as zero.
    sum.add(header, checksumOffset);
    const std::uint8_t zero[2] = {0, 0};
    sum.add(zero, 2);
    sum.add(header + checksumOffset + 2, headerLen - checksumOffset - 2);
    sum.add(payload, payloadLen);
    return sum.complement();
}

void fillIpv4Header(std::uint8_t *ip, std::size_t totalLen, std::uint8_t protocol,
                    std::uint32_t srcIp, std::uint32_t dstIp,
                    std::uint16_t identification = static_cast<std::uint16_t>(std::rand()))
{
    ip[0] = PacketCodec::kVersionIhl;
    ip[1] = 0;
    store16(ip + 2, static_cast<std::uint16_t>(totalLen));
    const std::uint16_t id = htons(identification);
    std::memcpy(ip + 4, &id, 2);
    store16(ip + 6, PacketCodec::kDontFragment);
    ip[8] = PacketCodec::kTtl;
    ip[9] = protocol;
    ip[10] = ip[11] = 0;
    store32(ip + 12, srcIp);
    store32(ip + 16, dstIp);
    const std::uint16_t sum = internetChecksum(ip, PacketCodec::kIpv4HeaderLen);
    std::memcpy(ip + 10, &sum, 2);
}

std::string hexBytes(const std::uint8_t *data, std::size_t n)
{
    std::string out;
    out.reserve(n * 3);
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x ", data[i]);
        out += buf;
    }
    return out;
}

void logBuiltTcpPacket(const std::uint8_t *packet, std::uint32_t srcIp, std::uint16_t srcPort,
                       std::uint32_t dstIp, std::uint16_t dstPort, std::uint32_t seq,
                       std::uint32_t ack, std::uint8_t flags, std::size_t optionsLen,
                       std::size_t payloadLen)
{
    static LogLimiter windowDebug(PacketCodec::kWindowDebugLines);
    static LogLimiter synAckDebug(PacketCodec::kSynAckDebugLines);
    const bool syn = flags & PacketInfo::kSyn;
    const bool ackSet = flags & PacketInfo::kAck;
    if (ackSet && !syn && windowDebug.admit()) {
        Log::debug("[WINDOW-DEBUG] ACK to", ipv4ToString(dstIp), ":", dstPort, "seq:", seq, "ack:", ack,
                   "window:", PacketCodec::kWindow, "dataSize:", payloadLen);
    }
    if (ackSet && syn && synAckDebug.admit()) {
        const std::uint8_t *tcp = packet + PacketCodec::kIpv4HeaderLen;
        const std::size_t headerLen = PacketCodec::kTcpHeaderLen + optionsLen;
        char offset[8];
        std::snprintf(offset, sizeof offset, "0x%02x", tcp[12]);
        const std::size_t dumpLen = std::min(headerLen, PacketCodec::kSynAckHexDumpMax);
        Log::info("[TCP-SYN+ACK]", ipv4ToString(srcIp), ":", srcPort, "->", ipv4ToString(dstIp), ":", dstPort,
                  "DataOffset:", offset, "HeaderLen:", headerLen, "bytes", "Options:", optionsLen, "bytes",
                  "HexDump:", hexBytes(tcp, dumpLen));
    }
}

constexpr std::uint16_t kFragmentMask = 0x3FFF; // more-fragments flag and offset
constexpr std::uint8_t kIpv6Fragment = 44;

constexpr bool isIpv6ExtensionHeader(std::uint8_t next)
{
    return next == 0 || next == 43 || next == 44 || next == 60;
}

// Ports (and for TCP sequence, acknowledgement, flags and payload) of a
// transport header at p with n bytes remaining. False when the remainder is too
// short to decode.
bool parseTransport(PacketInfo &info, const std::uint8_t *p, std::size_t n)
{
    if (info.protocol == PacketInfo::kProtocolTcp && n >= PacketCodec::kTcpHeaderLen) {
        info.transport = p;
        info.srcPort = load16(p);
        info.dstPort = load16(p + 2);
        info.seq = load32(p + 4);
        info.ack = load32(p + 8);
        info.tcpFlags = p[13];
        const std::size_t headerLen = std::size_t(p[12] >> 4) * 4;
        // A data offset below the minimum header is malformed: no payload then.
        if (headerLen >= PacketCodec::kTcpHeaderLen && n >= headerLen) {
            info.payload = p + headerLen;
            info.payloadLen = n - headerLen;
        }
        return true;
    }
    if (info.protocol == PacketInfo::kProtocolUdp && n >= PacketCodec::kUdpHeaderLen) {
        info.transport = p;
        info.srcPort = load16(p);
        info.dstPort = load16(p + 2);
        info.payload = p + PacketCodec::kUdpHeaderLen;
        info.payloadLen = n - PacketCodec::kUdpHeaderLen;
        return true;
    }
    return false;
}

PacketInfo parseIpv4Packet(PacketInfo info, const std::uint8_t *data, std::size_t n)
{
    const std::size_t headerLen = std::size_t(data[0] & 0x0F) * 4;
    // An IHL below 5 cannot hold the fields read below; such a packet is malformed.
    if (headerLen < PacketCodec::kIpv4HeaderLen || n < headerLen)
        return info;
    info.protocol = data[9];
    info.srcIp = load32(data + 12);
    info.dstIp = load32(data + 16);
    // More-fragments set or a non-zero offset: the transport header is absent
    // or covers only part of the datagram, so nothing of it can be relayed.
    if ((load16(data + 6) & kFragmentMask) != 0) {
        info.fragment = true;
        return info;
    }
    const std::uint8_t *rest = data + headerLen;
    const std::size_t remainder = n - headerLen;
    if (info.protocol == PacketInfo::kProtocolTcp || info.protocol == PacketInfo::kProtocolUdp) {
        parseTransport(info, rest, remainder);
    } else if (info.protocol == PacketInfo::kProtocolIcmp) {
        info.payload = rest;
        info.payloadLen = remainder;
    }
    info.valid = true;
    return info;
}

PacketInfo parseIpv6Packet(PacketInfo info, const std::uint8_t *data, std::size_t n)
{
    if (n < PacketCodec::kIpv6HeaderLen)
        return info;
    std::memcpy(info.srcIp6.data(), data + 8, 16);
    std::memcpy(info.dstIp6.data(), data + 24, 16);
    std::uint8_t next = data[6];
    std::size_t offset = PacketCodec::kIpv6HeaderLen;
    while (isIpv6ExtensionHeader(next)) {
        if (next == kIpv6Fragment) {
            info.protocol = next;
            info.fragment = true;
            return info;
        }
        const std::size_t remaining = n - offset;
        if (remaining < 2)
            return info;
        const std::size_t extLen = (std::size_t(data[offset + 1]) + 1) * 8;
        if (remaining < extLen)
            return info;
        next = data[offset];
        offset += extLen;
    }
    info.protocol = next;
    if (!parseTransport(info, data + offset, n - offset)) {
        info.payload = data + offset;
        info.payloadLen = n - offset;
    }
    info.valid = true;
    return info;
}

} // namespace

PacketInfo parsePacket(const std::uint8_t *data, std::size_t length)
{
    PacketInfo info;
    info.packet = data;
    info.packetLen = length;
    if (data == nullptr || length < PacketCodec::kIpv4HeaderLen)
        return info;
    info.version = data[0] >> 4;
    if (info.version == 4)
        return parseIpv4Packet(info, data, length);
    if (info.version == 6)
        return parseIpv6Packet(info, data, length);
    return info;
}

std::uint16_t internetChecksum(const void *data, std::size_t length)
{
    ChecksumSum sum;
    sum.add(static_cast<const std::uint8_t *>(data), length);
    return sum.complement();
}

std::uint16_t adjustChecksum(std::uint16_t stored, const std::uint16_t *before, const std::uint16_t *after,
                             std::size_t words, bool partial)
{
    // RFC 1624, eqn. 3: HC' = ~(~HC + ~m + m'). A partial sum is stored
    // uncomplemented, so it takes ~m + m' as it is.
    std::uint32_t sum = partial ? stored : std::uint16_t(~stored);
    for (std::size_t i = 0; i < words; ++i)
        sum += std::uint16_t(~before[i]) + std::uint32_t(after[i]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return partial ? std::uint16_t(sum) : std::uint16_t(~sum);
}

std::uint16_t tcpChecksum(const std::uint8_t *ipHeader, const std::uint8_t *tcpHeader,
                          std::size_t tcpHeaderLen, const std::uint8_t *payload,
                          std::size_t payloadLen)
{
    return transportChecksum(ipHeader, PacketInfo::kProtocolTcp, tcpHeader, tcpHeaderLen, 16,
                             payload, payloadLen);
}

std::uint16_t udpChecksum(const std::uint8_t *ipHeader, const std::uint8_t *udpHeader,
                          const std::uint8_t *payload, std::size_t payloadLen)
{
    const std::uint16_t sum = transportChecksum(ipHeader, PacketInfo::kProtocolUdp, udpHeader,
                                                PacketCodec::kUdpHeaderLen, 6, payload,
                                                payloadLen);
    return sum == 0 ? 0xFFFF : sum;
}

std::vector<std::uint8_t> buildTcpPacket(std::uint32_t srcIp, std::uint16_t srcPort,
                                         std::uint32_t dstIp, std::uint16_t dstPort,
                                         std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
                                         const std::uint8_t *payload, std::size_t payloadLen)
{
    using namespace PacketCodec;
    const std::size_t optionsLen = (flags & PacketInfo::kSyn) ? kSynOptions.size() : 0;
    const std::size_t tcpLen = kTcpHeaderLen + optionsLen;
    std::vector<std::uint8_t> packet(kIpv4HeaderLen + tcpLen + payloadLen);
    std::uint8_t *ip = packet.data();
    std::uint8_t *tcp = ip + kIpv4HeaderLen;

    fillIpv4Header(ip, packet.size(), PacketInfo::kProtocolTcp, srcIp, dstIp);
    store16(tcp, srcPort);
    store16(tcp + 2, dstPort);
    store32(tcp + 4, seq);
    store32(tcp + 8, ack);
    tcp[12] = static_cast<std::uint8_t>((5 + optionsLen / 4) << 4);
    tcp[13] = flags;
    store16(tcp + 14, kWindow);
    if (optionsLen)
        std::memcpy(tcp + kTcpHeaderLen, kSynOptions.data(), optionsLen);
    if (payloadLen)
        std::memcpy(tcp + tcpLen, payload, payloadLen);
    const std::uint16_t sum = tcpChecksum(ip, tcp, tcpLen, tcp + tcpLen, payloadLen);
    std::memcpy(tcp + 16, &sum, 2);

    logBuiltTcpPacket(ip, srcIp, srcPort, dstIp, dstPort, seq, ack, flags, optionsLen, payloadLen);
    return packet;
}

std::vector<std::uint8_t> buildUdpPacket(std::uint32_t srcIp, std::uint16_t srcPort,
                                         std::uint32_t dstIp, std::uint16_t dstPort,
                                         const std::uint8_t *payload, std::size_t payloadLen)
{
    using namespace PacketCodec;
    std::vector<std::uint8_t> packet(kIpv4HeaderLen + kUdpHeaderLen + payloadLen);
    std::uint8_t *ip = packet.data();
    std::uint8_t *udp = ip + kIpv4HeaderLen;

    fillIpv4Header(ip, packet.size(), PacketInfo::kProtocolUdp, srcIp, dstIp);
    store16(udp, srcPort);
    store16(udp + 2, dstPort);
    store16(udp + 4, static_cast<std::uint16_t>(payloadLen + kUdpHeaderLen));
    if (payloadLen)
        std::memcpy(udp + kUdpHeaderLen, payload, payloadLen);
    const std::uint16_t sum = udpChecksum(ip, udp, udp + kUdpHeaderLen, payloadLen);
    std::memcpy(udp + 6, &sum, 2);
    return packet;
}

bool rewriteTcpAddresses(std::uint8_t *packet, std::size_t length, std::uint32_t newSrcIp,
                         std::uint16_t newSrcPort, std::uint32_t newDstIp,
                         std::uint16_t newDstPort, bool checksumPartial)
{
    using namespace PacketCodec;
    if (packet == nullptr || length < kIpv4HeaderLen + kTcpHeaderLen || (packet[0] >> 4) != 4
        || packet[9] != PacketInfo::kProtocolTcp)
        return false;
    // The headers come from the packet itself; refuse any packet whose fields
    // would place them past the buffer.
    const std::size_t ipHeaderLen = std::size_t(packet[0] & 0x0F) * 4;
    const std::size_t totalLen = load16(packet + 2);
    if (ipHeaderLen < kIpv4HeaderLen || totalLen > length
        || totalLen < ipHeaderLen + kTcpHeaderLen)
        return false;
    std::uint8_t *tcp = packet + ipHeaderLen;
    const std::size_t tcpHeaderLen = std::size_t(tcp[12] >> 4) * 4;
    if (tcpHeaderLen < kTcpHeaderLen || ipHeaderLen + tcpHeaderLen > totalLen)
        return false;

    // The six 16-bit words that change: both addresses, then both ports.
    const std::uint16_t before[6] = {load16(packet + 12), load16(packet + 14), load16(packet + 16),
                                     load16(packet + 18), load16(tcp), load16(tcp + 2)};
    const std::uint16_t after[6] = {std::uint16_t(newSrcIp >> 16), std::uint16_t(newSrcIp),
                                    std::uint16_t(newDstIp >> 16), std::uint16_t(newDstIp),
                                    newSrcPort, newDstPort};
    store32(packet + 12, newSrcIp);
    store32(packet + 16, newDstIp);
    store16(tcp, newSrcPort);
    store16(tcp + 2, newDstPort);
    // The IP header checksum covers the addresses. A complete TCP checksum
    // covers them (pseudo-header) and the ports; a partial one holds only the
    // pseudo-header's sum, and the kernel sums the ports itself later.
    store16(packet + 10, adjustChecksum(load16(packet + 10), before, after, 4, false));
    store16(tcp + 16, adjustChecksum(load16(tcp + 16), before, after, checksumPartial ? 4 : 6, checksumPartial));
    return true;
}

TcpSynOptions parseTcpOptions(const PacketInfo &packet)
{
    TcpSynOptions options;
    if (!packet.isTcp() || packet.transport == nullptr)
        return options;
    const std::uint8_t *tcp = packet.transport;
    const std::size_t headerLen = std::size_t(tcp[12] >> 4) * 4;
    // The header is whole only when a payload (possibly empty) was located after it.
    if (headerLen <= PacketCodec::kTcpHeaderLen || packet.payload != tcp + headerLen)
        return options;
    for (std::size_t at = PacketCodec::kTcpHeaderLen; at < headerLen;) {
        const std::uint8_t kind = tcp[at];
        if (kind == 0)
            break;
        if (kind == 1) {
            ++at;
            continue;
        }
        if (at + 1 >= headerLen || tcp[at + 1] < 2 || at + tcp[at + 1] > headerLen)
            break;
        const std::uint8_t length = tcp[at + 1];
        if (kind == 2 && length == 4)
            options.mss = load16(tcp + at + 2);
        else if (kind == 3 && length == 3)
            options.windowScale = std::int8_t(std::min<std::uint8_t>(tcp[at + 2], PacketCodec::kWindowScaleMax));
        else if (kind == 4 && length == 2)
            options.sackPermitted = true;
        at += length;
    }
    return options;
}

std::uint16_t tcpWindow(const PacketInfo &packet)
{
    return packet.isTcp() && packet.transport ? load16(packet.transport + 14) : 0;
}

namespace {
void fillIpv6Header(std::uint8_t *ip, std::size_t payloadLen, const IpAddress &source, const IpAddress &destination)
{
    ip[0] = 0x60; // version 6, traffic class and flow label 0
    ip[1] = ip[2] = ip[3] = 0;
    store16(ip + 4, static_cast<std::uint16_t>(payloadLen));
    ip[6] = PacketInfo::kProtocolTcp;
    ip[7] = PacketCodec::kIpv6HopLimit;
    std::memcpy(ip + 8, source.bytes().data(), 16);
    std::memcpy(ip + 24, destination.bytes().data(), 16);
}

// RFC 8200 section 8.1: addresses, upper-layer length (32 bits), three zero
// bytes and the next header.
std::uint16_t tcp6Checksum(const std::uint8_t *ip, const std::uint8_t *tcp, std::size_t tcpLen)
{
    std::uint8_t pseudo[40];
    std::memcpy(pseudo, ip + 8, 32);
    store32(pseudo + 32, static_cast<std::uint32_t>(tcpLen));
    store32(pseudo + 36, PacketInfo::kProtocolTcp);
    ChecksumSum sum;
    sum.add(pseudo, sizeof pseudo);
    sum.add(tcp, tcpLen);
    return sum.complement();
}

// IPv4 identification of built segments: they carry Don't Fragment, so any
// value serves (RFC 6864); a counter per thread avoids the C library's lock.
std::uint16_t nextIpv4Id()
{
    thread_local std::uint16_t id = static_cast<std::uint16_t>(std::rand());
    return ++id;
}
} // namespace

std::size_t tcpSegmentLength(const TcpSegmentFields &segment)
{
    const std::size_t ipLen = segment.source.address.isIpv6() ? PacketCodec::kIpv6HeaderLen : PacketCodec::kIpv4HeaderLen;
    return ipLen + PacketCodec::kTcpHeaderLen + segment.optionsLen + segment.payloadLen;
}

std::size_t writeTcpSegment(const TcpSegmentFields &segment, std::uint8_t *out, std::size_t capacity)
{
    using namespace PacketCodec;
    const IpAddress &source = segment.source.address;
    const IpAddress &destination = segment.destination.address;
    const bool v6 = source.isIpv6();
    if (source.family() != destination.family() || source.isNull() || segment.optionsLen % 4 != 0 ||
        segment.optionsLen > kMaxTcpOptionsLen)
        return 0;
    const std::size_t total = tcpSegmentLength(segment);
    const std::size_t tcpHeaderLen = kTcpHeaderLen + segment.optionsLen;
    const std::size_t ipLen = v6 ? kIpv6HeaderLen : kIpv4HeaderLen;
    if (total > capacity || (!v6 && total > 0xFFFF) || (v6 && total - ipLen > 0xFFFF))
        return 0;
    std::uint8_t *ip = out;
    std::uint8_t *tcp = out + ipLen;
    if (v6) {
        fillIpv6Header(ip, total - ipLen, source, destination);
    } else {
        fillIpv4Header(ip, total, PacketInfo::kProtocolTcp, source.ipv4(), destination.ipv4(), nextIpv4Id());
    }
    store16(tcp, segment.source.port);
    store16(tcp + 2, segment.destination.port);
    store32(tcp + 4, segment.seq);
    store32(tcp + 8, segment.ack);
    tcp[12] = static_cast<std::uint8_t>((tcpHeaderLen / 4) << 4);
    tcp[13] = segment.flags;
    store16(tcp + 14, segment.window);
    tcp[16] = tcp[17] = tcp[18] = tcp[19] = 0;
    if (segment.optionsLen)
        std::memcpy(tcp + kTcpHeaderLen, segment.options, segment.optionsLen);
    // A caller may have put the payload in its place already.
    if (segment.payloadLen && segment.payload != tcp + tcpHeaderLen)
        std::memmove(tcp + tcpHeaderLen, segment.payload, segment.payloadLen);
    const std::uint16_t sum = v6 ? tcp6Checksum(ip, tcp, tcpHeaderLen + segment.payloadLen)
                                 : tcpChecksum(ip, tcp, tcpHeaderLen, tcp + tcpHeaderLen, segment.payloadLen);
    std::memcpy(tcp + 16, &sum, 2);
    return total;
}
