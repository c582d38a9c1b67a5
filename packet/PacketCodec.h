#pragma once
// Every wire format at the TUN boundary: parsing of IPv4/IPv6 packets into a
// PacketInfo, building of IPv4/TCP and IPv4/UDP packets, the in-place NAT
// rewrite and the Internet checksums. Pure functions, reentrant; numbers
// crossing this interface are in host order, the codec converts at the wire.
// The IPv4 text conversions of log lines come with the address type.

#include "base/IpAddress.h"
#include "packet/PacketInfo.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace PacketCodec {
constexpr std::size_t kIpv4HeaderLen = 20;
constexpr std::size_t kIpv6HeaderLen = 40;
constexpr std::size_t kTcpHeaderLen = 20;
constexpr std::size_t kUdpHeaderLen = 8;
constexpr std::uint8_t kVersionIhl = 0x45;
constexpr std::uint16_t kDontFragment = 0x4000;
constexpr std::uint8_t kTtl = 64;
constexpr std::uint16_t kWindow = 0xFFFF;
// MSS 1220, NOP, window scale 8, NOP, NOP, SACK permitted: carried by every
// packet built with SYN set, and by no other.
constexpr std::array<std::uint8_t, 12> kSynOptions = {0x02, 0x04, 0x04, 0xC4, 0x01, 0x03,
                                                       0x03, 0x08, 0x01, 0x01, 0x04, 0x02};
constexpr std::uint8_t kIpv6HopLimit = 64;
constexpr std::size_t kMaxTcpOptionsLen = 40;
constexpr std::uint8_t kWindowScaleMax = 14; // RFC 7323: larger shifts are taken as 14
constexpr int kWindowDebugLines = 20;
constexpr int kSynAckDebugLines = 5;
constexpr std::size_t kSynAckHexDumpMax = 40;
} // namespace PacketCodec

// Parses without copying; the result's valid flag says whether it is usable.
PacketInfo parsePacket(const std::uint8_t *data, std::size_t length);

// RFC 1071 checksum of a byte range, ready to be stored into a header field.
std::uint16_t internetChecksum(const void *data, std::size_t length);

// TCP checksum with the pseudo-header, addresses taken from the IPv4 header as
// stored; the header's own checksum field is taken as zero.
std::uint16_t tcpChecksum(const std::uint8_t *ipHeader, const std::uint8_t *tcpHeader,
                          std::size_t tcpHeaderLen, const std::uint8_t *payload,
                          std::size_t payloadLen);

// UDP checksum with the pseudo-header; a computed 0 is returned as 0xFFFF.
std::uint16_t udpChecksum(const std::uint8_t *ipHeader, const std::uint8_t *udpHeader,
                          const std::uint8_t *payload, std::size_t payloadLen);

// A complete IPv4/TCP packet (window 0xFFFF; the SYN option block when flags
// has SYN). One allocation of the final size.
std::vector<std::uint8_t> buildTcpPacket(std::uint32_t srcIp, std::uint16_t srcPort,
                                         std::uint32_t dstIp, std::uint16_t dstPort,
                                         std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
                                         const std::uint8_t *payload, std::size_t payloadLen);

// A complete IPv4/UDP packet.
std::vector<std::uint8_t> buildUdpPacket(std::uint32_t srcIp, std::uint16_t srcPort,
                                         std::uint32_t dstIp, std::uint16_t dstPort,
                                         const std::uint8_t *payload, std::size_t payloadLen);

// A stored checksum updated for 16-bit words (host order) that changed from
// before to after, without summing the rest again (RFC 1624). partial: the
// field holds an uncomplemented partial sum (a checksum-partial packet's
// pseudo-header sum) rather than a complete checksum.
std::uint16_t adjustChecksum(std::uint16_t stored, const std::uint16_t *before, const std::uint16_t *after,
                             std::size_t words, bool partial);

// NAT rewrite in place of an IPv4/TCP packet of any size (a TCP super-packet
// of the TUN's segmentation offload included): addresses and ports set, both
// checksums updated for what changed. checksumPartial: the TCP checksum field
// holds only the pseudo-header's sum (see PacketOffload), which is updated for
// the addresses alone. False, with the buffer untouched, when it is not
// IPv4/TCP or its headers or total length do not fit the buffer.
bool rewriteTcpAddresses(std::uint8_t *packet, std::size_t length, std::uint32_t newSrcIp,
                         std::uint16_t newSrcPort, std::uint32_t newDstIp,
                         std::uint16_t newDstPort, bool checksumPartial = false);

// The options of an application's SYN that a TCP endpoint honours.
struct TcpSynOptions {
    std::uint16_t mss = 0;         // 0: the SYN named none
    std::int8_t windowScale = -1;  // the shift (at most 14), -1: the SYN offered no scaling
    bool sackPermitted = false;
};

// Walks the options of a decoded TCP header (kind 0 ends the walk, kind 1 is
// one byte, every other kind is followed by its length byte); a malformed
// option ends the walk with what was read so far.
TcpSynOptions parseTcpOptions(const PacketInfo &packet);
// The window field of a decoded TCP header as sent (not scaled); 0 when the
// header was not decoded.
std::uint16_t tcpWindow(const PacketInfo &packet);

// One TCP segment towards an application; IPv4 or IPv6 by its addresses.
struct TcpSegmentFields {
    Endpoint source;
    Endpoint destination;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t flags = 0;
    std::uint16_t window = 0;
    const std::uint8_t *options = nullptr; // a multiple of 4 bytes, at most kMaxTcpOptionsLen
    std::size_t optionsLen = 0;
    const std::uint8_t *payload = nullptr;
    std::size_t payloadLen = 0;
};

// The whole packet's length for a segment of that family (4 or 6).
std::size_t tcpSegmentLength(const TcpSegmentFields &segment);
// Writes the complete packet (IP header, TCP header with its options, payload,
// every checksum filled in, the IPv6 one over its own pseudo-header) into out.
// Its length, or 0 when it does not fit capacity, the addresses are not of one
// family, or the options are not a multiple of 4 bytes up to 40.
std::size_t writeTcpSegment(const TcpSegmentFields &segment, std::uint8_t *out, std::size_t capacity);
