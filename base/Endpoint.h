#pragma once
// An address and a port (host order): one end of a flow, a proxy, a relay.
// Converts to and from the socket address of its family.

#include "base/IpAddress.h"

#include <sys/socket.h>

#include <compare>
#include <cstdint>
#include <string>

struct Endpoint {
    IpAddress address;
    std::uint16_t port = 0;

    static Endpoint fromIpv4(std::uint32_t address, std::uint16_t port) { return {IpAddress::fromIpv4(address), port}; }
    // The endpoint of an AF_INET or AF_INET6 socket address; empty for any other.
    static Endpoint fromSocketAddress(const sockaddr *address, socklen_t length);

    // Fills a socket address of the endpoint's family; its length, 0 for an
    // empty endpoint.
    socklen_t toSocketAddress(sockaddr_storage &out) const;
    // "address:port", with the IPv6 address in brackets.
    std::string toString() const;

    auto operator<=>(const Endpoint &) const = default;
};
