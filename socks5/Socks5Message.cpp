#include "socks5/Socks5Message.h"

#include <cstring>

namespace Socks5Message {
namespace {
constexpr std::size_t kPortLength = 2;

// The address field (type, address, port) of an IP endpoint; its length.
std::size_t writeAddressField(const Endpoint &endpoint, std::uint8_t *out)
{
    const std::size_t length = endpoint.address.isIpv4() ? 4 : 16;
    out[0] = endpoint.address.isIpv4() ? kAtypIpv4 : kAtypIpv6;
    std::memcpy(out + 1, endpoint.address.bytes().data(), length);
    out[1 + length] = std::uint8_t(endpoint.port >> 8);
    out[2 + length] = std::uint8_t(endpoint.port);
    return 1 + length + kPortLength;
}

// The endpoint of an address field of an IP type; empty for a name.
Endpoint readAddress(const std::uint8_t *field)
{
    Endpoint out;
    if (field[0] == kAtypIpv4) {
        out.address = IpAddress::fromIpv4((std::uint32_t(field[1]) << 24) | (std::uint32_t(field[2]) << 16) |
                                          (std::uint32_t(field[3]) << 8) | field[4]);
        out.port = std::uint16_t((field[5] << 8) | field[6]);
    } else if (field[0] == kAtypIpv6) {
        IpAddress::Bytes bytes{};
        std::memcpy(bytes.data(), field + 1, bytes.size());
        out.address = IpAddress::fromIpv6(bytes);
        out.port = std::uint16_t((field[17] << 8) | field[18]);
    }
    return out;
}
} // namespace

std::vector<std::uint8_t> connectRequest(const Endpoint &destination, std::string_view hostName)
{
    if (hostName.size() > kMaxDomainLength || (hostName.empty() && destination.address.isNull()))
        return {};
    if (hostName.empty()) {
        std::vector<std::uint8_t> request(3 + 1 + 16 + kPortLength);
        request[0] = kVersion;
        request[1] = kCommandConnect;
        request.resize(3 + writeAddressField(destination, request.data() + 3));
        return request;
    }
    const std::size_t length = hostName.size();
    std::vector<std::uint8_t> request(5 + length + kPortLength);
    request[0] = kVersion;
    request[1] = kCommandConnect;
    request[3] = kAtypDomain;
    request[4] = std::uint8_t(length);
    std::memcpy(request.data() + 5, hostName.data(), length);
    request[5 + length] = std::uint8_t(destination.port >> 8);
    request[6 + length] = std::uint8_t(destination.port);
    return request;
}

std::vector<std::uint8_t> udpAssociateRequest()
{
    return {kVersion, kCommandUdpAssociate, 0, kAtypIpv4, 0, 0, 0, 0, 0, 0};
}

std::size_t addressFieldLength(const std::uint8_t *p, std::size_t available)
{
    if (available < 1)
        return 0;
    switch (p[0]) {
    case kAtypIpv4:
        return 1 + 4 + kPortLength;
    case kAtypIpv6:
        return 1 + 16 + kPortLength;
    case kAtypDomain:
        return available < 2 ? 0 : 1 + 1 + std::size_t(p[1]) + kPortLength;
    default:
        return 0;
    }
}

std::size_t replyLength(const std::uint8_t *prefix)
{
    const std::size_t field = addressFieldLength(prefix + 3, kReplyPrefixLength - 3);
    return field == 0 ? 0 : 3 + field;
}

Reply parseReply(const std::uint8_t *reply, std::size_t length)
{
    Reply out;
    if (length < 2)
        return out;
    out.version = reply[0];
    out.code = reply[1];
    if (length < kReplyPrefixLength)
        return out;
    out.addressType = reply[3];
    const std::size_t field = addressFieldLength(reply + 3, length - 3);
    if (field != 0 && 3 + field <= length)
        out.bound = readAddress(reply + 3);
    return out;
}

std::size_t writeUdpHeader(const Endpoint &destination, std::uint8_t *out)
{
    if (destination.address.isNull())
        return 0;
    out[0] = out[1] = out[2] = 0;
    return 3 + writeAddressField(destination, out + 3);
}

std::optional<UdpDatagram> parseUdpDatagram(const std::uint8_t *datagram, std::size_t length)
{
    if (length < kIpv4UdpHeaderLength || datagram[2] != 0)
        return std::nullopt;
    const std::size_t field = addressFieldLength(datagram + 3, length - 3);
    if (field == 0 || 3 + field > length)
        return std::nullopt;
    UdpDatagram out;
    out.headerLength = 3 + field;
    out.sourcePort = std::uint16_t((datagram[out.headerLength - 2] << 8) | datagram[out.headerLength - 1]);
    out.payload = datagram + out.headerLength;
    out.payloadLength = length - out.headerLength;
    return out;
}
} // namespace Socks5Message
