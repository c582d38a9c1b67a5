// RouteManager and findDefaultGateway against real routing tables, inside network
// namespaces the tests create (root only), never on the host's own table.
#include "net/RouteManager.h"
#include "net/TunStateFile.h"
#include "net/TunAdapter.h"
#include "tests/support/NetnsFixture.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <set>
#include <sstream>

namespace {

constexpr std::uint32_t kTunnelIp = 0x0A060701; // 10.6.7.1
constexpr std::uint32_t kPeerIp = 0x0A060702;
constexpr std::uint32_t kUpstreamGateway = 0x0AE70002; // 10.231.0.2 (namespace b)
constexpr std::uint32_t kRemoteProxy = 0xC6336407;     // 198.51.100.7

std::set<std::string> lines(const std::string &text)
{
    std::set<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (!line.empty())
            out.insert(line);
    }
    return out;
}

std::set<std::string> added(const std::set<std::string> &before, const std::set<std::string> &after)
{
    std::set<std::string> out;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::inserter(out, out.end()));
    return out;
}

class RouteManagerNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NetnsFixture::isRoot())
            GTEST_SKIP() << "needs root: changes routing tables inside its own network namespaces";
        if (access("/dev/net/tun", R_OK | W_OK) != 0)
            GTEST_SKIP() << "/dev/net/tun is not available";
        setenv("KESTD_RESOLV_CONF", "/nonexistent-kestd-test/resolv.conf", 1);
        m_state = std::filesystem::temp_directory_path() / ("kestd-routes-" + std::to_string(getpid()));
        setenv(TunStateFile::kPathVariable, m_state.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("KESTD_RESOLV_CONF");
        std::filesystem::remove(m_state);
    }
    std::filesystem::path m_state;

    // In namespace a (calling thread): the TUN link configured as the tunnel does,
    // including its own default route via 10.6.7.2.
    static void bringUp(TunAdapter &adapter)
    {
        ASSERT_TRUE(adapter.load("/dev/net/tun"));
        ASSERT_TRUE(adapter.openOrCreate("kest-default-tun", TunAdapter::kTunnelType));
        ASSERT_TRUE(adapter.setAddress(kTunnelIp, 30));
        ASSERT_TRUE(adapter.setGateway(kPeerIp));
        ASSERT_TRUE(adapter.setMetric(0));
        ASSERT_TRUE(adapter.startSession(TunAdapter::kSessionCapacity));
    }
    std::string routes(const NetnsFixture &net) const { return net.run(net.a(), "ip route show table main").output; }
    std::string rulesAndReplyTable(const NetnsFixture &net) const
    {
        return net.run(net.a(), "ip rule show; ip route show table 19284 2>/dev/null").output;
    }
    std::string routesJson(const NetnsFixture &net) const { return net.run(net.a(), "ip -j route").output; }
};

TEST_F(RouteManagerNetns, DefaultGatewayIsTheLowestMetricRouteNotOnTheTunnelLink)
{
    NetnsFixture net("ktgw");
    ASSERT_TRUE(net.ok()) << net.error();
    // A second uplink with a better metric than the veth's default route (moved to 100).
    for (const char *command : {"ip route del default", "ip route add default via 10.231.0.2 dev a0 metric 100",
                                "ip link add d0 type veth peer name d1", "ip addr add 10.232.0.1/24 dev d0",
                                "ip link set d1 up", "ip link set d0 up", "ip route add default via 10.232.0.2 dev d0 metric 20"})
        ASSERT_EQ(net.run(net.a(), command).exitCode, 0) << command;
    ASSERT_TRUE(net.runInside(net.a(), [&] {
        TunAdapter adapter;
        bringUp(adapter); // adds "default via 10.6.7.2 dev <tun> metric 0"
        const std::uint32_t tunIndex = adapter.interfaceIndex();

        const auto naive = findDefaultGateway();
        ASSERT_TRUE(naive.has_value());
        EXPECT_EQ(naive->interfaceIndex, tunIndex) << "without the exclusion the tunnel's own route wins";

        const auto original = findDefaultGateway(tunIndex);
        ASSERT_TRUE(original.has_value());
        EXPECT_EQ(original->gateway, 0x0AE80002u) << "10.232.0.2, metric 20, beats the veth's metric 100";
        EXPECT_EQ(original->interfaceIndex, if_nametoindex("d0"));
    }));
}

TEST_F(RouteManagerNetns, NoDefaultRouteFailsBeforeAddingAnything)
{
    NetnsFixture::Options options;
    options.defaultRouteInA = false;
    NetnsFixture net("ktnogw", options);
    ASSERT_TRUE(net.ok()) << net.error();
    LogCapture log;
    ASSERT_TRUE(net.runInside(net.a(), [&] {
        TunAdapter adapter;
        bringUp(adapter);
        const std::string before = routesJson(net);
        RouteManager manager;
        manager.initialise(adapter.luid());
        EXPECT_FALSE(manager.setupFullTunnel(kTunnelIp, kRemoteProxy, 0))
            << "the tunnel's own default route is not an original gateway";
        EXPECT_TRUE(manager.addedRoutes().empty());
        EXPECT_EQ(routesJson(net), before);
    }));
    EXPECT_TRUE(log.contains("Failed to get original default gateway"));
}

TEST_F(RouteManagerNetns, FullTunnelAddsBypassAndSplitRoutesAndRemoveAllRestoresTheTable)
{
    NetnsFixture net("ktfull");
    ASSERT_TRUE(net.ok()) << net.error();
    LogCapture log;
    ASSERT_TRUE(net.runInside(net.a(), [&] {
        TunAdapter adapter;
        bringUp(adapter);
        const std::string name = adapter.interfaceName();
        const std::string beforeJson = routesJson(net);
        const std::string rulesBefore = rulesAndReplyTable(net);
        const auto before = lines(routes(net));

        RouteManager manager;
        manager.initialise(adapter.luid());
        EXPECT_EQ(manager.tunnelInterfaceIndex(), adapter.interfaceIndex());
        ASSERT_TRUE(manager.setupFullTunnel(kTunnelIp, kRemoteProxy, 0));
        const auto after = lines(routes(net));
        // Protocol "boot" (3), the administrator's, is the one ip leaves unprinted.
        const std::set<std::string> expected = {
            "0.0.0.0/1 dev " + name + " scope link",
            "128.0.0.0/1 dev " + name + " scope link",
            "198.51.100.7 via 10.231.0.2 dev a0 metric 1",
        };
        EXPECT_EQ(added(before, after), expected) << routes(net);
        EXPECT_EQ(added(after, before), std::set<std::string>{}) << "nothing was removed";
        EXPECT_EQ(manager.addedRoutes().size(), 4u) << "bypass, two split routes, the reply table's default";
        EXPECT_EQ(lines(net.run(net.a(), "ip route show table 19284").output),
                  std::set<std::string>{"default via 10.231.0.2 dev a0"});
        const std::string rules = net.run(net.a(), "ip rule show").output;
        EXPECT_NE(rules.find("4810:\tfrom all fwmark 0x20000000/0x20000000 lookup main suppress_prefixlength 1"),
                  std::string::npos) << rules;
        EXPECT_NE(rules.find("4811:\tfrom all fwmark 0x20000000/0x20000000 lookup 19284"), std::string::npos) << rules;
        // Marked replies leave by the original route, subnets keep their own.
        EXPECT_NE(net.run(net.a(), "ip route get 200.1.1.1 mark 0x20000000").output.find("via 10.231.0.2 dev a0"),
                  std::string::npos);
        EXPECT_NE(net.run(net.a(), "ip route get 10.231.0.77 mark 0x20000000").output.find("10.231.0.77 dev a0"),
                  std::string::npos);
        EXPECT_EQ(TunStateFile::records().size(), 6u) << "four routes and two rules recorded";

        // Traffic now goes into the tunnel, except to the proxy.
        EXPECT_NE(net.run(net.a(), "ip route get 1.1.1.1").output.find("dev " + name), std::string::npos);
        EXPECT_NE(net.run(net.a(), "ip route get 200.1.1.1").output.find("dev " + name), std::string::npos);
        EXPECT_NE(net.run(net.a(), "ip route get 198.51.100.7").output.find("via 10.231.0.2 dev a0"),
                  std::string::npos);

        manager.removeAll();
        EXPECT_EQ(routesJson(net), beforeJson) << "removeAll leaves the table as it was";
        EXPECT_EQ(rulesAndReplyTable(net), rulesBefore) << "removeAll leaves the rules as they were";
        EXPECT_TRUE(TunStateFile::records().empty());
        EXPECT_TRUE(manager.addedRoutes().empty());
        const int removedLines = log.count("Removed route:");
        manager.removeAll();
        EXPECT_EQ(log.count("Removed route:"), removedLines) << "a second removeAll does nothing";
    }));
    EXPECT_TRUE(log.contains("Original gateway: 10.231.0.2 (ifIndex="));
    EXPECT_TRUE(log.contains("Added proxy bypass route: 198.51.100.7 via 10.231.0.2"));
    EXPECT_TRUE(log.contains("Using metric from existing interface routes: 0"));
    EXPECT_TRUE(log.contains("Removed route: 198.51.100.7 / 255.255.255.255"));
    EXPECT_TRUE(log.contains("Removed route: 0.0.0.0 / 128.0.0.0"));
    EXPECT_TRUE(log.contains("Removed route: 128.0.0.0 / 128.0.0.0"));
}

TEST_F(RouteManagerNetns, LoopbackProxyGetsNoBypassRouteButOtherAddressesDo)
{
    NetnsFixture net("ktlocal");
    ASSERT_TRUE(net.ok()) << net.error();
    LogCapture log;
    ASSERT_TRUE(net.runInside(net.a(), [&] {
        TunAdapter adapter;
        bringUp(adapter);
        const std::string beforeJson = routesJson(net);
        {
            RouteManager manager;
            manager.initialise(adapter.luid());
            ASSERT_TRUE(manager.setupFullTunnel(kTunnelIp, 0x7F000001, 0));
            EXPECT_EQ(manager.addedRoutes().size(), 3u) << "the split routes and the reply table's default only";
        } // the destructor removes them
        EXPECT_EQ(routesJson(net), beforeJson);
        EXPECT_TRUE(log.contains("Skipping proxy bypass route for localhost"));

        RouteManager manager;
        manager.initialise(adapter.luid());
        // 128.1.2.3 is not loopback; the override replaces the discovered gateway.
        ASSERT_TRUE(manager.setupFullTunnel(kTunnelIp, 0x80010203, kUpstreamGateway));
        ASSERT_EQ(manager.addedRoutes().size(), 4u);
        EXPECT_EQ(manager.addedRoutes().front().destination, 0x80010203u);
        EXPECT_EQ(manager.addedRoutes().front().nextHop, kUpstreamGateway);
        // Setting up again over identical routes that are already there (as an
        // administrator's would be) succeeds, but records none of them, so its
        // removeAll leaves them in place.
        const std::string withRoutes = routesJson(net);
        RouteManager again;
        again.initialise(adapter.luid());
        EXPECT_TRUE(again.setupFullTunnel(kTunnelIp, 0x80010203, kUpstreamGateway));
        EXPECT_TRUE(again.addedRoutes().empty());
        EXPECT_TRUE(again.addedRulePriorities().empty());
        again.removeAll();
        EXPECT_EQ(routesJson(net), withRoutes) << "pre-existing routes survive the second manager's stop";
        manager.removeAll();
        EXPECT_EQ(routesJson(net), beforeJson);
    }));
}

TEST_F(RouteManagerNetns, RoutesAndRulesOfAKilledRunAreRemovedFromTheirRecordsButAnAdministratorsRouteStays)
{
    NetnsFixture net("ktcrash");
    ASSERT_TRUE(net.ok()) << net.error();
    // The administrator's own route to the proxy, identical to the bypass route.
    ASSERT_EQ(net.run(net.a(), "ip route add 198.51.100.7 via 10.231.0.2 dev a0 metric 1 proto boot").exitCode, 0);
    const std::string before = net.run(net.a(), "ip route show table all; ip rule show").output;
    ASSERT_TRUE(net.runInside(net.a(), [&] {
        TunAdapter adapter;
        bringUp(adapter);
        // A killed run never gets to removeAll (the object is left behind on
        // purpose); its records are all that is left, and its TUN link goes.
        auto *killed = new RouteManager;
        killed->initialise(adapter.luid());
        ASSERT_TRUE(killed->setupFullTunnel(kTunnelIp, kRemoteProxy, 0));
        adapter.closeAdapter();
        const std::vector<std::string> records = TunStateFile::takeAll();
        EXPECT_EQ(records.size(), 5u) << "the administrator's route is not recorded";
        for (auto record = records.rbegin(); record != records.rend(); ++record)
            RouteManager::undoRecord(*record);
        EXPECT_FALSE(RouteManager::undoRecord("route table=254 dst=garbage prefix=99"));
        EXPECT_FALSE(RouteManager::undoRecord("rule priority=100 table=254")) << "not a rule of ours";
    }));
    EXPECT_EQ(net.run(net.a(), "ip route show table all; ip rule show").output, before)
        << "the administrator's route stays, everything recorded is gone";
}

} // namespace
