#pragma once
// The SOCKS5 wire formats (RFC 1928) the tunnel speaks: the no-authentication
// greeting, CONNECT and UDP ASSOCIATE requests, the server's replies, and the
// header of every UDP datagram exchanged with a relay. Pure functions; ports
// and addresses cross this interface as Endpoints, in host order.

#include "base/Endpoint.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace Socks5Message {
constexpr std::uint8_t kVersion = 5;
constexpr std::uint8_t kMethodNoAuthentication = 0;
constexpr std::uint8_t kCommandConnect = 1;
constexpr std::uint8_t kCommandUdpAssociate = 3;
constexpr std::uint8_t kAtypIpv4 = 1;
constexpr std::uint8_t kAtypDomain = 3;
constexpr std::uint8_t kAtypIpv6 = 4;
constexpr std::size_t kMaxDomainLength = 255;
constexpr std::array<std::uint8_t, 3> kGreeting = {kVersion, 1, kMethodNoAuthentication};
constexpr std::size_t kMethodReplyLength = 2;
// Version, reply code, reserved, address type, and the first address byte:
// enough to know how long the whole reply is.
constexpr std::size_t kReplyPrefixLength = 5;
constexpr std::size_t kIpv4UdpHeaderLength = 10;
constexpr std::size_t kIpv6UdpHeaderLength = 22;
constexpr std::size_t kMaxUdpHeaderLength = kIpv6UdpHeaderLength;

// CONNECT to the destination: by name when one is given (05 01 00 03, length,
// name, port), else by its IPv4 (10 bytes) or IPv6 (22 bytes) address. Empty
// when the name is longer than kMaxDomainLength or the destination has no address.
std::vector<std::uint8_t> connectRequest(const Endpoint &destination, std::string_view hostName);

// UDP ASSOCIATE naming 0.0.0.0 port 0 (the client's address is not known yet).
std::vector<std::uint8_t> udpAssociateRequest();

// Length of the address field (type, address, port) at p, of which available
// bytes are at hand: 7, 19 or 4 + name length; 0 for an unknown type.
std::size_t addressFieldLength(const std::uint8_t *p, std::size_t available);

// The whole length of a reply whose first kReplyPrefixLength bytes are at p;
// 0 for an unknown address type.
std::size_t replyLength(const std::uint8_t *prefix);

struct Reply {
    std::uint8_t version = 0;
    std::uint8_t code = 0; // REP: 0 success
    std::uint8_t addressType = 0;
    Endpoint bound; // BND.ADDR:BND.PORT; empty for a domain name
};
// A whole reply (replyLength bytes).
Reply parseReply(const std::uint8_t *reply, std::size_t length);

// Writes the UDP request header for the destination (RSV 0, FRAG 0, address
// type, address, port) into out (kMaxUdpHeaderLength bytes); its length, 0 for
// an endpoint without address.
std::size_t writeUdpHeader(const Endpoint &destination, std::uint8_t *out);

struct UdpDatagram {
    std::size_t headerLength = 0;
    std::uint16_t sourcePort = 0; // DST.PORT of the relay's header: where the answer came from
    const std::uint8_t *payload = nullptr;
    std::size_t payloadLength = 0;
};
// A datagram from a relay: nothing when it cannot be read (shorter than 10
// bytes, an unknown address type, a header longer than the datagram, or a
// fragment: fragments are never reassembled, so a piece must not pass for a
// whole datagram).
std::optional<UdpDatagram> parseUdpDatagram(const std::uint8_t *datagram, std::size_t length);
} // namespace Socks5Message
