#include "packet/RoutingPolicy.h"

#include "tests/support/LogCapture.h"
#include "packet/PacketCodec.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint16_t kProxy = 10808;
constexpr std::uint16_t kDirect = 20808;
constexpr std::uint32_t kTunnelIp = 0x0A060701; // 10.6.7.1

IpAddress v4(std::uint32_t address)
{
    return IpAddress::fromIpv4(address);
}

RoutingPolicy policy()
{
    RoutingPolicy p;
    p.setProxyPort(kProxy);
    p.setDirectPort(kDirect);
    return p;
}

PacketInfo ipv4To(std::uint32_t dst, std::uint16_t port = 80)
{
    PacketInfo info;
    info.valid = true;
    info.version = 4;
    info.protocol = PacketInfo::kProtocolUdp;
    info.dstIp = dst;
    info.dstPort = port;
    return info;
}

PacketInfo ipv6To(std::array<std::uint8_t, 16> dst)
{
    PacketInfo info;
    info.valid = true;
    info.version = 6;
    info.dstIp6 = dst;
    return info;
}

} // namespace

TEST(RoutingPolicyPort, Port53IsDirectEvenForProxyProcess)
{
    RoutingPolicy p = policy();
    p.addProxyProcess("curl");
    EXPECT_EQ(p.choosePort("/usr/bin/curl", v4(0x01010101), 53), kDirect);
    EXPECT_EQ(p.choosePort("", v4(0), 53), kDirect);
}

TEST(RoutingPolicyPort, BypassAddressIsDirectForEveryProcessAndWarns)
{
    RoutingPolicy p = policy();
    p.addBypassIp(v4(0x5DB8D822));
    p.addProxyProcess("curl");
    LogCapture log;
    EXPECT_EQ(p.choosePort("/usr/bin/curl", v4(0x5DB8D822), 443), kDirect);
    EXPECT_EQ(p.choosePort("", v4(0x5DB8D822), 443), kDirect);
    EXPECT_EQ(log.count("[PORT] destIp 93.184.216.34 in bypassIps -> direct port 20808"), 2) << log.all();
    EXPECT_EQ(p.choosePort("", v4(0x5DB8D823), 443), kProxy);
    const IpAddress ipv6 = *IpAddress::parse("2001:db8::7");
    p.addBypassIp(ipv6);
    EXPECT_EQ(p.choosePort("", ipv6, 443), kDirect) << "an IPv6 bypass address";
}

TEST(RoutingPolicyPort, DirectProcessNameIgnoresCaseAndExeSuffix)
{
    RoutingPolicy p = policy();
    p.addDirectProcess("Chrome.EXE");
    EXPECT_EQ(p.choosePort("/opt/google/chrome/chrome", v4(0x01010101), 443), kDirect);
    EXPECT_EQ(p.choosePort("/opt/google/chrome/CHROME.exe", v4(0x01010101), 443), kDirect);
    EXPECT_EQ(p.choosePort("C:\\Apps\\chrome.exe", v4(0x01010101), 443), kDirect);
    EXPECT_EQ(p.choosePort("/opt/google/chrome/chrome-sandbox", v4(0x01010101), 443), kProxy);
    EXPECT_EQ(p.choosePort("/opt/chrome/other", v4(0x01010101), 443), kProxy);

    RoutingPolicy plain = policy();
    plain.addDirectProcess("xray");
    EXPECT_EQ(plain.choosePort("/usr/local/bin/xray.exe", v4(1), 443), kDirect);
    EXPECT_EQ(plain.choosePort("/usr/local/bin/xray", v4(1), 443), kDirect);
}

TEST(RoutingPolicyPort, DirectPathMatchesOnlyTheWholePathCaseInsensitively)
{
    RoutingPolicy p = policy();
    p.addDirectProcessPath("/opt/Tools/Sync");
    EXPECT_EQ(p.choosePort("/opt/tools/SYNC", v4(0x01010101), 443), kDirect);
    EXPECT_EQ(p.choosePort("/home/u/sync", v4(0x01010101), 443), kProxy);
    EXPECT_EQ(p.choosePort("/opt/tools/sync2", v4(0x01010101), 443), kProxy);
}

TEST(RoutingPolicyPort, NonAsciiNamesLowercaseCharacterByCharacter)
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
    RoutingPolicy p = policy();
    p.addDirectProcess("\xC3\x84pp"); // "Äpp"
    EXPECT_EQ(p.choosePort("/bin/\xC3\xA4pp", v4(1), 443), kDirect); // "äpp"
    // Invalid UTF-8 bytes compare exactly, never as some other character.
    p.addDirectProcess("a\xFF");
    EXPECT_EQ(p.choosePort("/bin/a\xFF", v4(1), 443), kDirect);
    EXPECT_EQ(p.choosePort("/bin/a\xFE", v4(1), 443), kProxy);
}

TEST(RoutingPolicyPort, UnknownOwnerGoesThroughProxy)
{
    RoutingPolicy p = policy();
    p.addDirectProcess("chrome");
    EXPECT_EQ(p.choosePort("", v4(0x01010101), 443), kProxy);
    p.addProxyProcess("firefox");
    EXPECT_EQ(p.choosePort("/usr/lib/firefox/firefox", v4(0x01010101), 443), kProxy);
}

TEST(RoutingPolicyRules, AddOperationsLogAndKeepSetsUnique)
{
    RoutingPolicy p = policy();
    EXPECT_FALSE(p.needsOwner(v4(0x01020305), 443));
    p.addProxyProcess("firefox");
    EXPECT_FALSE(p.needsOwner(v4(0x01020305), 443)) << "a proxy-process rule alone sends nothing direct";
    LogCapture log;
    p.addDirectProcess("xray.exe");
    p.addDirectProcess("xray.exe");
    p.addProxyProcess("curl");
    p.addDirectProcessPath("/opt/x");
    p.addBypassIp(v4(0x01020304));
    p.setDnsRedirectIp(0x01010101);
    EXPECT_EQ(p.directProcesses().size(), 1u);
    EXPECT_EQ(log.count("Direct process: xray.exe (port 20808 )"), 2) << log.all();
    EXPECT_TRUE(log.contains("Proxy process: curl (port 10808 )"));
    EXPECT_TRUE(log.contains("Direct process (by path): /opt/x (port 20808 )"));
    EXPECT_TRUE(log.contains("Bypass IP: 1.2.3.4"));
    EXPECT_TRUE(log.contains("DNS redirect IP: 1.1.1.1"));
    EXPECT_TRUE(p.needsOwner(v4(0x01020305), 443)) << "a direct-process rule depends on the owner";
    EXPECT_FALSE(p.needsOwner(v4(0x01020304), 443)) << "a bypass address goes direct whoever owns the flow";
    EXPECT_FALSE(p.needsOwner(v4(0x01020305), 53)) << "DNS goes direct whoever owns the flow";
}

TEST(RoutingPolicyFilter, DropsLoopbackMulticastBroadcastAndLinkLocal)
{
    for (std::uint32_t dst : {0xC0A801FFu, 0xE00000FBu, 0xA9FE0101u, 0x7F000001u, 0xFFFFFFFFu, 0x0A0607FFu})
        EXPECT_TRUE(RoutingPolicy::isDroppedDestination(ipv4To(dst))) << ipv4ToString(dst);
    for (std::uint32_t dst : {0x0A000001u, 0x08080808u, 0xDFFFFFFEu, 0xA9FD0101u})
        EXPECT_FALSE(RoutingPolicy::isDroppedDestination(ipv4To(dst))) << ipv4ToString(dst);
}

TEST(RoutingPolicyFilter, DropsIpv6MulticastAndLoopbackOnly)
{
    EXPECT_TRUE(RoutingPolicy::isDroppedDestination(ipv6To({0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFB})));
    EXPECT_TRUE(RoutingPolicy::isDroppedDestination(ipv6To({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})));
    EXPECT_FALSE(RoutingPolicy::isDroppedDestination(ipv6To({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})));
}

TEST(RoutingPolicyDns, QueryToTunnelDnsAddressIsRedirected)
{
    RoutingPolicy p = policy();
    p.setDnsRedirectIp(0x01010101);
    EXPECT_EQ(p.effectiveDestination(ipv4To(kTunnelIp + 1, 53), kTunnelIp), Endpoint::fromIpv4(0x01010101, 53));
    EXPECT_EQ(p.effectiveDestination(ipv4To(0x09090909, 53), kTunnelIp), Endpoint::fromIpv4(0x09090909, 53));
    EXPECT_EQ(p.effectiveDestination(ipv4To(kTunnelIp + 1, 5353), kTunnelIp), Endpoint::fromIpv4(kTunnelIp + 1, 5353));
    EXPECT_EQ(RoutingPolicy().dnsRedirectIp(), 0x08080808u);
    // Only the tunnel's own DNS, addressed at T + 1 or at the redirect address, names addresses.
    EXPECT_TRUE(p.isTunnelDns(Endpoint::fromIpv4(kTunnelIp + 1, 53), kTunnelIp));
    EXPECT_TRUE(p.isTunnelDns(Endpoint::fromIpv4(0x01010101, 53), kTunnelIp));
    EXPECT_FALSE(p.isTunnelDns(Endpoint::fromIpv4(0x09090909, 53), kTunnelIp));
    EXPECT_FALSE(p.isTunnelDns(Endpoint::fromIpv4(kTunnelIp + 1, 5353), kTunnelIp));
}
