#include "tun/ConnectionKey.h"

#include "packet/PacketInfo.h"

#include <tuple>

ConnectionKey ConnectionKey::fromPacket(const PacketInfo &packet)
{
    ConnectionKey key;
    key.family = packet.version;
    key.protocol = packet.protocol;
    key.clientPort = packet.srcPort;
    key.destinationPort = packet.dstPort;
    if (packet.version == 6) {
        key.clientAddress6 = packet.srcIp6;
        key.destinationAddress6 = packet.dstIp6;
    } else {
        key.clientAddress = packet.srcIp;
        key.destinationAddress = packet.dstIp;
    }
    return key;
}

Endpoint ConnectionKey::client() const
{
    return {family == 6 ? IpAddress::fromIpv6(clientAddress6) : IpAddress::fromIpv4(clientAddress), clientPort};
}

Endpoint ConnectionKey::destination() const
{
    return {family == 6 ? IpAddress::fromIpv6(destinationAddress6) : IpAddress::fromIpv4(destinationAddress),
            destinationPort};
}

std::strong_ordering ConnectionKey::operator<=>(const ConnectionKey &other) const
{
    return std::tie(family, protocol, clientAddress, destinationAddress, clientAddress6, destinationAddress6,
                    clientPort, destinationPort) <=>
           std::tie(other.family, other.protocol, other.clientAddress, other.destinationAddress,
                    other.clientAddress6, other.destinationAddress6, other.clientPort, other.destinationPort);
}
