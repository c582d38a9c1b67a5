#include "packet/RoutingPolicy.h"

#include "tests/support/LogCapture.h"
#include "packet/PacketCodec.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint16_t kProxy = 10808;
constexpr std::uint16_t kDirect = 20808;
constexpr std::uint32_t kTunnelIp = 0x0A060701; // 10.6.7.1

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
    EXPECT_EQ(p.choosePort("/usr/bin/curl", 0x01010101, 53), kDirect);
    EXPECT_EQ(p.choosePort("", 0, 53), kDirect);
}

TEST(RoutingPolicyPort, BypassAddressIsDirectForEveryProcessAndWarns)
{
    RoutingPolicy p = policy();
    p.addBypassIp(0x5DB8D822);
    p.addProxyProcess("curl");
    LogCapture log;
    EXPECT_EQ(p.choosePort("/usr/bin/curl", 0x5DB8D822, 443), kDirect);
    EXPECT_EQ(p.choosePort("", 0x5DB8D822, 443), kDirect);
    EXPECT_EQ(log.count("[PORT] destIp 93.184.216.34 in bypassIps -> direct port 20808"), 2) << log.all();
    EXPECT_EQ(p.choosePort("", 0x5DB8D823, 443), kProxy);
}

TEST(RoutingPolicyPort, DirectProcessNameIgnoresCaseAndExeSuffix)
{
    RoutingPolicy p = policy();
    p.addDirectProcess("Chrome.EXE");
    EXPECT_EQ(p.choosePort("/opt/google/chrome/chrome", 0x01010101, 443), kDirect);
    EXPECT_EQ(p.choosePort("/opt/google/chrome/CHROME.exe", 0x01010101, 443), kDirect);
    EXPECT_EQ(p.choosePort("C:\\Apps\\chrome.exe", 0x01010101, 443), kDirect);
    EXPECT_EQ(p.choosePort("/opt/google/chrome/chrome-sandbox", 0x01010101, 443), kProxy);
    EXPECT_EQ(p.choosePort("/opt/chrome/other", 0x01010101, 443), kProxy);

    RoutingPolicy plain = policy();
    plain.addDirectProcess("xray");
    EXPECT_EQ(plain.choosePort("/usr/local/bin/xray.exe", 1, 443), kDirect);
    EXPECT_EQ(plain.choosePort("/usr/local/bin/xray", 1, 443), kDirect);
}

TEST(RoutingPolicyPort, DirectPathMatchesOnlyTheWholePathCaseInsensitively)
{
    RoutingPolicy p = policy();
    p.addDirectProcessPath("/opt/Tools/Sync");
    EXPECT_EQ(p.choosePort("/opt/tools/SYNC", 0x01010101, 443), kDirect);
    EXPECT_EQ(p.choosePort("/home/u/sync", 0x01010101, 443), kProxy);
    EXPECT_EQ(p.choosePort("/opt/tools/sync2", 0x01010101, 443), kProxy);
}

TEST(RoutingPolicyPort, NonAsciiNamesLowercaseCharacterByCharacter)
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
    RoutingPolicy p = policy();
    p.addDirectProcess("\xC3\x84pp"); // "Äpp"
    EXPECT_EQ(p.choosePort("/bin/\xC3\xA4pp", 1, 443), kDirect); // "äpp"
    // Invalid UTF-8 bytes compare exactly, never as some other character.
    p.addDirectProcess("a\xFF");
    EXPECT_EQ(p.choosePort("/bin/a\xFF", 1, 443), kDirect);
    EXPECT_EQ(p.choosePort("/bin/a\xFE", 1, 443), kProxy);
}

TEST(RoutingPolicyPort, UnknownOwnerGoesThroughProxy)
{
    RoutingPolicy p = policy();
    p.addDirectProcess("chrome");
    EXPECT_EQ(p.choosePort("", 0x01010101, 443), kProxy);
    p.addProxyProcess("firefox");
    EXPECT_EQ(p.choosePort("/usr/lib/firefox/firefox", 0x01010101, 443), kProxy);
}

TEST(RoutingPolicyRules, AddOperationsLogAndKeepSetsUnique)
{
    RoutingPolicy p = policy();
    EXPECT_FALSE(p.hasRules());
    LogCapture log;
    p.addDirectProcess("xray.exe");
    p.addDirectProcess("xray.exe");
    p.addProxyProcess("curl");
    p.addDirectProcessPath("/opt/x");
    p.addBypassIp(0x01020304);
    p.setDnsRedirectIp(0x01010101);
    EXPECT_EQ(p.directProcesses().size(), 1u);
    EXPECT_EQ(log.count("Direct process: xray.exe (port 20808 )"), 2) << log.all();
    EXPECT_TRUE(log.contains("Proxy process: curl (port 10808 )"));
    EXPECT_TRUE(log.contains("Direct process (by path): /opt/x (port 20808 )"));
    EXPECT_TRUE(log.contains("Bypass IP: 1.2.3.4"));
    EXPECT_TRUE(log.contains("DNS redirect IP: 1.1.1.1"));
    EXPECT_TRUE(p.hasRules());
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
    using D = RoutingPolicy::Destination;
    EXPECT_EQ(p.effectiveDestination(ipv4To(kTunnelIp + 1, 53), kTunnelIp), (D{0x01010101, 53}));
    EXPECT_EQ(p.effectiveDestination(ipv4To(0x09090909, 53), kTunnelIp), (D{0x09090909, 53}));
    EXPECT_EQ(p.effectiveDestination(ipv4To(kTunnelIp + 1, 5353), kTunnelIp), (D{kTunnelIp + 1, 5353}));
    EXPECT_EQ(RoutingPolicy().dnsRedirectIp(), 0x08080808u);
}
