#include "base/Endpoint.h"

#include <netinet/in.h>

#include <cstring>

Endpoint Endpoint::fromSocketAddress(const sockaddr *address, socklen_t length)
{
    Endpoint out;
    if (address && address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        out.address = IpAddress::fromIpv4(ntohl(in.sin_addr.s_addr));
        out.port = ntohs(in.sin_port);
    } else if (address && address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        IpAddress::Bytes bytes{};
        std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
        out.address = IpAddress::fromIpv6(bytes);
        out.port = ntohs(in6.sin6_port);
    }
    return out;
}

socklen_t Endpoint::toSocketAddress(sockaddr_storage &out) const
{
    out = sockaddr_storage{};
    if (address.isIpv4()) {
        auto *in = reinterpret_cast<sockaddr_in *>(&out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.ipv4());
        return sizeof(sockaddr_in);
    }
    if (address.isIpv6()) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        std::memcpy(&in6->sin6_addr, address.bytes().data(), address.bytes().size());
        return sizeof(sockaddr_in6);
    }
    return 0;
}

std::string Endpoint::toString() const
{
    const std::string text = address.toString();
    return (address.isIpv6() ? "[" + text + "]" : text) + ":" + std::to_string(port);
}
