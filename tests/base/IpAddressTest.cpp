// Addresses and endpoints: text, ordering, and the socket addresses they
// stand for, for both families.
#include "base/Endpoint.h"
#include "base/IpAddress.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

TEST(IpAddress, TextOfBothFamiliesParsesAndPrintsBackAndJunkIsRefused)
{
    const auto v4 = IpAddress::parse("192.168.0.1");
    ASSERT_TRUE(v4 && v4->isIpv4());
    EXPECT_EQ(v4->ipv4(), 0xC0A80001u);
    EXPECT_EQ(v4->toString(), "192.168.0.1");
    const auto v6 = IpAddress::parse("2001:db8::1");
    ASSERT_TRUE(v6 && v6->isIpv6());
    EXPECT_EQ(v6->ipv4(), 0u);
    EXPECT_EQ(v6->toString(), "2001:db8::1");
    for (const char *junk : {"", "abc", "1.2.3.256", "1.2.3", "01.2.3.4", "1.2.3.4 ", "::g"})
        EXPECT_FALSE(IpAddress::parse(junk)) << junk;
    EXPECT_EQ(ipv4ToString(0xFFFFFFFF), "255.255.255.255");
    EXPECT_EQ(ipv4ToString(0), "0.0.0.0");
    EXPECT_EQ(parseIpv4("10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(parseIpv4("::1"), 0u) << "an IPv6 text is no IPv4 address";
    EXPECT_EQ(IpAddress().toString(), "");
}

TEST(IpAddress, OrderIsFamilyThenAddressAsANumber)
{
    EXPECT_LT(IpAddress::fromIpv4(0x0A000002), IpAddress::fromIpv4(0x0B000001));
    EXPECT_LT(IpAddress::fromIpv4(0x000000FF), IpAddress::fromIpv4(0x00000100));
    EXPECT_LT(IpAddress::fromIpv4(0xFFFFFFFF), *IpAddress::parse("::1"));
    EXPECT_NE(IpAddress::fromIpv4(0), IpAddress()) << "0.0.0.0 is an address, the empty one none";
    EXPECT_TRUE(IpAddress::fromIpv4(0x7F010203).isLoopback());
    EXPECT_TRUE(IpAddress::parse("::1")->isLoopback());
    EXPECT_FALSE(IpAddress::fromIpv4(0x0A000001).isLoopback());
    EXPECT_TRUE(IpAddress::fromIpv4(0).isUnspecified());
    EXPECT_TRUE(IpAddress::parse("::")->isUnspecified());
    EXPECT_FALSE(IpAddress().isUnspecified());
}

TEST(Endpoint, SocketAddressesRoundTripForBothFamilies)
{
    for (const Endpoint &endpoint : {Endpoint::fromIpv4(0x0A060701, 1080), Endpoint{*IpAddress::parse("2001:db8::7"), 443}}) {
        sockaddr_storage storage{};
        const socklen_t length = endpoint.toSocketAddress(storage);
        ASSERT_NE(length, 0u);
        EXPECT_EQ(Endpoint::fromSocketAddress(reinterpret_cast<sockaddr *>(&storage), length), endpoint);
    }
    sockaddr_storage storage{};
    EXPECT_EQ(Endpoint{}.toSocketAddress(storage), 0u);
    EXPECT_EQ(Endpoint::fromSocketAddress(reinterpret_cast<sockaddr *>(&storage), sizeof storage), Endpoint{});
    EXPECT_EQ(Endpoint::fromIpv4(0x0A060701, 53).toString(), "10.6.7.1:53");
    EXPECT_EQ((Endpoint{*IpAddress::parse("::1"), 53}).toString(), "[::1]:53");
}
