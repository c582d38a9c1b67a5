#pragma once
// The parsed view of one IP packet read from the TUN adapter. It points into
// the caller's buffer and owns nothing: valid only while that buffer is.
// Addresses, ports and sequence numbers are in host order; IPv6 addresses are
// kept as on the wire.

#include "base/Endpoint.h"

#include <array>
#include <cstddef>
#include <cstdint>

struct PacketInfo {
    // False for anything the tunnel cannot carry, fragments included.
    bool valid = false;
    // An IPv4 fragment or an IPv6 packet with a Fragment header: addresses are
    // set, the transport header is not decoded (ports 0, no payload) and the
    // packet is not valid, so it is dropped rather than relayed as a whole one.
    bool fragment = false;
    std::uint8_t version = 0;
    std::uint8_t protocol = 0;
    std::uint32_t srcIp = 0;
    std::uint32_t dstIp = 0;
    std::array<std::uint8_t, 16> srcIp6{};
    std::array<std::uint8_t, 16> dstIp6{};
    std::uint16_t srcPort = 0;
    std::uint16_t dstPort = 0;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t tcpFlags = 0;
    const std::uint8_t *payload = nullptr;
    std::size_t payloadLen = 0;
    // The TCP or UDP header, when it was decoded (its options and window are read from it).
    const std::uint8_t *transport = nullptr;
    const std::uint8_t *packet = nullptr;
    std::size_t packetLen = 0;

    static constexpr std::uint8_t kProtocolIcmp = 1;
    static constexpr std::uint8_t kProtocolTcp = 6;
    static constexpr std::uint8_t kProtocolUdp = 17;

    // TCP flag bits and the combinations the tunnel builds.
    static constexpr std::uint8_t kFin = 0x01;
    static constexpr std::uint8_t kSyn = 0x02;
    static constexpr std::uint8_t kRst = 0x04;
    static constexpr std::uint8_t kPsh = 0x08;
    static constexpr std::uint8_t kAck = 0x10;
    static constexpr std::uint8_t kSynAck = 0x12;
    static constexpr std::uint8_t kPshAck = 0x18;
    static constexpr std::uint8_t kFinAck = 0x11;
    static constexpr std::uint8_t kRstAck = 0x14;

    // The source and destination of the packet's own family.
    Endpoint source() const { return {address(srcIp, srcIp6), srcPort}; }
    Endpoint destination() const { return {address(dstIp, dstIp6), dstPort}; }

    bool isTcp() const { return protocol == kProtocolTcp; }
    bool isUdp() const { return protocol == kProtocolUdp; }
    bool hasFlag(std::uint8_t flag) const { return (tcpFlags & flag) != 0; }

private:
    IpAddress address(std::uint32_t ipv4, const std::array<std::uint8_t, 16> &ipv6) const
    {
        return version == 4 ? IpAddress::fromIpv4(ipv4) : version == 6 ? IpAddress::fromIpv6(ipv6) : IpAddress();
    }
};
