// The SOCKS5 wire formats: UDP request headers and what is read from a relay.
#include "socks5/Socks5Message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

TEST(Socks5MessageUdpHeader, Ipv4AndIpv6DestinationsGetTenAndTwentyTwoByteHeaders)
{
    std::uint8_t header[Socks5Message::kMaxUdpHeaderLength];
    ASSERT_EQ(Socks5Message::writeUdpHeader(Endpoint::fromIpv4(0x08080808, 53), header), 10u);
    EXPECT_EQ(Bytes(header, header + 10), (Bytes{0, 0, 0, 1, 8, 8, 8, 8, 0, 53}));
    ASSERT_EQ(Socks5Message::writeUdpHeader(Endpoint{*IpAddress::parse("2001:db8::1"), 443}, header), 22u);
    EXPECT_EQ(Bytes(header, header + 22),
              (Bytes{0, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x01, 0xBB}));
    EXPECT_EQ(Socks5Message::writeUdpHeader(Endpoint{}, header), 0u);
}

TEST(Socks5MessageUdpDatagram, HeaderLengthFollowsTheAddressTypeAndNamesTheSourcePort)
{
    Bytes v4 = {0, 0, 0, 1, 1, 2, 3, 4, 0, 53, 'x'};
    Bytes v6(22, 0);
    v6[3] = 4;
    v6[21] = 7;
    v6.push_back('y');
    Bytes name = {0, 0, 0, 3, 11};
    for (char c : std::string("example.org"))
        name.push_back(std::uint8_t(c));
    name.insert(name.end(), {0, 80, 'z'});
    const std::vector<std::pair<Bytes, std::size_t>> cases = {{v4, 10}, {v6, 22}, {name, 18}};
    for (const auto &[datagram, header] : cases) {
        const auto parsed = Socks5Message::parseUdpDatagram(datagram.data(), datagram.size());
        ASSERT_TRUE(parsed) << "ATYP " << int(datagram[3]);
        EXPECT_EQ(parsed->headerLength, header);
        EXPECT_EQ(parsed->payloadLength, 1u);
    }
    EXPECT_EQ(Socks5Message::parseUdpDatagram(v4.data(), v4.size())->sourcePort, 53);
}

TEST(Socks5MessageUdpDatagram, ShortUnknownTypeFragmentAndOverlongHeaderCannotBeRead)
{
    const Bytes nine = {0, 0, 0, 1, 1, 2, 3, 4, 0};
    const Bytes unknown = {0, 0, 0, 7, 1, 2, 3, 4, 0, 53, 'x'};
    const Bytes fragment = {0, 0, 1, 1, 1, 2, 3, 4, 0, 53, 'x'};
    const Bytes cutIpv6 = {0, 0, 0, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes cutName = {0, 0, 0, 3, 200, 'a', 'b', 'c', 'd', 'e', 'f'};
    for (const Bytes &datagram : {nine, unknown, fragment, cutIpv6, cutName})
        EXPECT_FALSE(Socks5Message::parseUdpDatagram(datagram.data(), datagram.size()))
            << datagram.size() << " bytes, ATYP " << int(datagram[3]);
}
