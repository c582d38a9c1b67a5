#pragma once
// Identifies a user-space TCP connection by the segments of its application:
// family, protocol, the application's (client) address and port and the
// destination it addressed. Ordered field by field: family, protocol, client
// then destination address (IPv4 as numbers, IPv6 as byte strings), client
// port, destination port.

#include "base/Endpoint.h"

#include <array>
#include <compare>
#include <cstdint>

struct PacketInfo;

struct ConnectionKey {
    std::uint8_t family = 4;
    std::uint8_t protocol = 6;
    std::uint16_t clientPort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t clientAddress = 0;      // IPv4, host order; 0 for IPv6
    std::uint32_t destinationAddress = 0; // IPv4, host order; 0 for IPv6
    std::array<std::uint8_t, 16> clientAddress6{};
    std::array<std::uint8_t, 16> destinationAddress6{};

    // The key of a segment from the application: client = its source.
    static ConnectionKey fromPacket(const PacketInfo &packet);

    Endpoint client() const;
    Endpoint destination() const;

    std::strong_ordering operator<=>(const ConnectionKey &other) const;
    bool operator==(const ConnectionKey &other) const = default;
};
