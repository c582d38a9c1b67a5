// FirewallManager inside network namespaces the tests make (root only): the
// table's layout and order, its life tied to the owning process (a killed
// owner leaves nothing even while its child lives), a table left by an earlier
// run replaced, a vanished rule reported by the check, and permitted cgroups
// that change while the rules hold. CgroupPath's classification and the TUN
// state file need no root.
#include "net/FirewallManager.h"
#include "net/CgroupPath.h"
#include "net/TunStateFile.h"
#include "tests/support/NetnsFixture.h"
#include "tests/support/NftOwnerSocket.h"
#include "tests/support/TestCgroup.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string listTable(const NetnsFixture &net)
{
    return net.run(net.a(), "nft -a list table inet kestd").output;
}

// Rules are the listing's lines indented twice that carry a handle.
std::size_t ruleCount(const std::string &listing)
{
    std::istringstream lines(listing);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.rfind("\t\t", 0) == 0 && line.find(" # handle ") != std::string::npos ? 1 : 0;
    return count;
}

// The handle that nft -a prints after the rule with that text.
std::uint64_t handleOf(const std::string &listing, const std::string &ruleText)
{
    const std::size_t at = listing.find(ruleText);
    if (at == std::string::npos)
        return 0;
    const std::size_t mark = listing.find("# handle ", at);
    return mark == std::string::npos ? 0 : std::stoull(listing.substr(mark + 9));
}

class FirewallNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NetnsFixture::isRoot())
            GTEST_SKIP() << "needs root: creates nftables tables inside its own network namespace";
        if (::access("/usr/sbin/nft", X_OK) != 0)
            GTEST_SKIP() << "the nft tool (package nftables) is not installed";
        m_net = std::make_unique<NetnsFixture>("ktfw");
        ASSERT_TRUE(m_net->ok()) << m_net->error();
        // A stand-in for the TUN link.
        ASSERT_EQ(m_net->run(m_net->a(), "ip tuntap add kt0 mode tun && ip link set kt0 up").exitCode, 0);
    }

    unsigned tunIndex() const
    {
        unsigned index = 0;
        m_net->runInside(m_net->a(), [&] { index = if_nametoindex("kt0"); });
        return index;
    }

    std::unique_ptr<NetnsFixture> m_net;
};

TEST_F(FirewallNetns, TableHoldsTheGroupsInOrderAndGoesWithRemoveAll)
{
    TestCgroup managed("kestd-fw-managed-");
    ASSERT_TRUE(managed.ok());
    LogCapture log;
    const unsigned index = tunIndex();
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        FirewallManager firewall;
        ASSERT_TRUE(firewall.initialise());
        EXPECT_EQ(TunStateFile::records().size(), 1u) << "the table is recorded while it exists";
        firewall.setPermittedCgroups({{managed.path()}, {}});
        ASSERT_TRUE(firewall.applyStrictRoute(index, 0x0A060702, true));
        ASSERT_TRUE(firewall.addListenerRule(41000));
        const std::string table = listTable(*m_net);
        EXPECT_NE(table.find("flags owner"), std::string::npos) << table;
        // The output chain's rules in the order in which they decide.
        const char *order[] = {"ct direction reply accept",
                               "jump permit",
                               "icmpv6 type { mld-listener-report, nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert",
                               "meta nfproto ipv6 oif != \"lo\" reject with icmpx admin-prohibited comment \"block ipv6\"",
                               "meta nfproto ipv4 oif \"kt0\" accept comment \"allow ipv4\"",
                               "meta nfproto ipv6 oif \"kt0\" accept comment \"allow ipv6\"",
                               "meta nfproto ipv4 oif != \"lo\" meta l4proto { tcp, udp } th dport 53 reject comment \"block ipv4 dns\"",
                               "meta nfproto ipv6 oif != \"lo\" meta l4proto { tcp, udp } th dport 53 reject comment \"block ipv6 dns\""};
        std::size_t last = table.find("chain output");
        for (const char *rule : order) {
            const std::size_t at = table.find(rule, last);
            EXPECT_NE(at, std::string::npos) << "missing or out of order: " << rule << "\n" << table;
            last = at == std::string::npos ? last : at;
        }
        EXPECT_NE(table.find("meta mark & 0x10000000 == 0x10000000 accept comment \"protect ipv4\""), std::string::npos);
        EXPECT_NE(table.find("socket cgroupv2 level 1 \"" + CgroupPath::nftPath(managed.path()) +
                             "\" accept comment \"protect ipv4 xray " + managed.path() + "\""),
                  std::string::npos)
            << table;
        EXPECT_NE(table.find("iif != { \"lo\", \"kt0\" } ct state new ct mark set ct mark | 0x20000000"), std::string::npos) << table;
        EXPECT_NE(table.find("iif \"kt0\" tcp dport 41000 accept comment \"KEST TUN ("), std::string::npos) << table;
        EXPECT_EQ(firewall.listenerRuleName(), "KEST TUN (" + fs::read_symlink("/proc/self/exe").string() + ")");
        // Every rule of the table is a filter id, and all are there.
        EXPECT_EQ(ruleCount(table), firewall.filterIds().size()) << table;
        EXPECT_TRUE(firewall.verifyFilters());
        EXPECT_TRUE(firewall.filtersIntact());

        firewall.removeAll();
        EXPECT_EQ(m_net->run(m_net->a(), "nft list tables").output, "");
        EXPECT_TRUE(TunStateFile::records().empty());
        EXPECT_FALSE(firewall.verifyFilters());
    }));
    EXPECT_TRUE(log.contains("Added process permit filters for kestd (weight 13)"));
    EXPECT_TRUE(log.contains("Added process permit filters for xray (weight 13)"));
    EXPECT_TRUE(log.contains("Added IPv6 block filter (weight 12)"));
    EXPECT_TRUE(log.contains("Added interface permit filters (weight 11) - interface:"));
    EXPECT_TRUE(log.contains("Strict route firewall rules applied successfully"));
    EXPECT_TRUE(log.contains("[FILTER-CHECK] ✅ All filters verified - DNS protection active"));
    EXPECT_TRUE(log.contains("[HostFW] ✓ Added host firewall inbound allow rule for TCP"));
    EXPECT_TRUE(log.contains("[HostFW] ✓ Removed host firewall rule"));
    EXPECT_TRUE(log.contains("[FILTER-CHECK] ❌ Not initialized or no nftables context!"));
}

TEST_F(FirewallNetns, KilledOwnerLeavesNoTableEvenWhileItsChildLives)
{
    const unsigned index = tunIndex();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t owner = -1;
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        owner = ::fork();
        if (owner != 0)
            return;
        // The owner: a table, then a child that outlives it.
        FirewallManager firewall;
        const bool applied = firewall.initialise() && firewall.applyStrictRoute(index, 0, true);
        const pid_t child = applied ? ::fork() : -1;
        if (child == 0) {
            execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
            _exit(127);
        }
        (void)!::write(pipeFds[1], &child, sizeof child);
        ::pause();
        _exit(0);
    }));
    ASSERT_GT(owner, 0);
    pid_t child = -1;
    ASSERT_EQ(::read(pipeFds[0], &child, sizeof child), ssize_t(sizeof child));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ASSERT_GT(child, 0) << "the owner could not apply its rules";
    EXPECT_NE(m_net->run(m_net->a(), "nft list tables").output.find("table inet kestd"), std::string::npos);

    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
    EXPECT_EQ(::kill(child, 0), 0) << "the child still runs";
    EXPECT_EQ(m_net->run(m_net->a(), "nft list tables").output, "") << "the child kept the table alive";
    ::kill(child, SIGKILL);
}

TEST_F(FirewallNetns, LeftoverTableIsReplacedAndARuleThatVanishedIsReported)
{
    // An unowned table of the same name, as a kernel without owned tables leaves it.
    ASSERT_EQ(m_net->run(m_net->a(), "nft add table inet kestd && nft add chain inet kestd output && "
                                     "nft add rule inet kestd output meta mark 7 accept")
                  .exitCode,
              0);
    LogCapture log;
    const unsigned index = tunIndex();
    std::uint64_t vanished = 0;
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        FirewallManager firewall;
        ASSERT_TRUE(firewall.initialise());
        ASSERT_TRUE(firewall.applyStrictRoute(index, 0, false));
        const std::string table = listTable(*m_net);
        EXPECT_EQ(table.find("meta mark 0x00000007"), std::string::npos) << "the earlier run's rule stayed";
        EXPECT_EQ(table.find("block ipv6\""), std::string::npos) << "IPv6 was not to be blocked";

        // Nobody but the owner may change the table...
        vanished = handleOf(table, "comment \"block ipv4 dns\"");
        ASSERT_NE(vanished, 0u) << table;
        const NetnsFixture::Result byHand =
            m_net->run(m_net->a(), "nft delete rule inet kestd output handle " + std::to_string(vanished));
        EXPECT_NE(byHand.exitCode, 0);
        EXPECT_NE(byHand.output.find("Operation not permitted"), std::string::npos) << byHand.output;
        // ... so the rule vanishes through the owner's own socket.
        std::string error;
        ASSERT_TRUE(deleteRuleAsOwner(getpid(), "kestd", "output", vanished, &error)) << error;
        EXPECT_EQ(listTable(*m_net).find("block ipv4 dns"), std::string::npos);
        EXPECT_FALSE(firewall.filtersIntact());
        EXPECT_FALSE(firewall.verifyFilters());
    }));
    EXPECT_TRUE(log.contains("[nftables] Removed the table kestd left by an earlier run"));
    EXPECT_TRUE(log.contains("[FILTER-CHECK] ❌ Filter ID " + std::to_string(vanished) + " is MISSING! Error: 2"));
    EXPECT_TRUE(log.contains("filters exist, 1 are MISSING"));
    EXPECT_TRUE(log.contains("[FILTER-CHECK] 🔥🔥🔥 FILTERS DISAPPEARED WITHOUT CLEANUP! 🔥🔥🔥"));
}

TEST_F(FirewallNetns, PermittedCgroupsFollowWhileTheRulesHoldAndSharedOnesAreRefused)
{
    TestCgroup first("kestd-fw-first-");
    TestCgroup second("kestd-fw-second-");
    ASSERT_TRUE(first.ok() && second.ok());
    LogCapture log;
    const unsigned index = tunIndex();
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        FirewallManager firewall;
        ASSERT_TRUE(firewall.initialise());
        firewall.setPermittedCgroups({{first.path()}, {}});
        ASSERT_TRUE(firewall.applyStrictRoute(index, 0, true));
        const std::size_t ids = firewall.filterIds().size();
        const std::uint64_t firstRule = handleOf(listTable(*m_net), "protect ipv4 xray " + first.path());
        ASSERT_NE(firstRule, 0u);

        // A client in the first, managed processes in the second: one rule more,
        // the first one's rule stays as it was.
        EXPECT_TRUE(firewall.setPermittedCgroups({{second.path()}, {first.path()}}));
        std::string table = listTable(*m_net);
        EXPECT_NE(table.find("comment \"protect ipv4 xray " + second.path()), std::string::npos) << table;
        EXPECT_EQ(handleOf(table, "protect ipv4 xray " + first.path()), firstRule) << table;
        EXPECT_EQ(firewall.filterIds().size(), ids + 1);
        EXPECT_TRUE(firewall.filtersIntact());

        EXPECT_FALSE(firewall.setPermittedCgroups({{"/", "/user.slice/user-1000.slice/session-2.scope"}, {}}));
        EXPECT_FALSE(firewall.setPermittedCgroups({{"/kestd-no-such-cgroup"}, {}}));
        table = listTable(*m_net);
        EXPECT_EQ(table.find("cgroupv2 level 0"), std::string::npos) << "the root cgroup would permit everything";
        EXPECT_EQ(table.find(second.path()), std::string::npos) << "a cgroup no longer asked for stayed";
        EXPECT_TRUE(firewall.filtersIntact());
    }));
    EXPECT_TRUE(log.contains("[nftables] Not permitting the cgroup / - other programs share it"));
}

TEST(CgroupPath, SharedCgroupsAndApplicationUnitsAreTold)
{
    for (const char *shared : {"/", "/user.slice", "/user.slice/user-1000.slice/session-3.scope",
                               "/user.slice/user-1000.slice/user@1000.service", "/init.scope", "/system.slice"})
        EXPECT_TRUE(CgroupPath::isShared(shared)) << shared;
    EXPECT_FALSE(CgroupPath::isShared("/system.slice/kestd.service"));
    const std::string user = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
    EXPECT_TRUE(CgroupPath::isApplicationUnit(user + "app-gnome-kest-4242.scope"));
    EXPECT_TRUE(CgroupPath::isApplicationUnit(user + "app-org.kest.Kest@1a2b.service"));
    EXPECT_FALSE(CgroupPath::isApplicationUnit("/user.slice/user-1000.slice/session-3.scope"));
    EXPECT_FALSE(CgroupPath::isApplicationUnit(user + "app-org.gnome.Terminal.slice"));
    EXPECT_FALSE(CgroupPath::isApplicationUnit(user + "vte-spawn-1234.scope"));
    EXPECT_EQ(CgroupPath::level("/"), 0);
    EXPECT_EQ(CgroupPath::level("/a/b.scope"), 2);
    for (const char *bad : {"", "a", "/a/../b", "/a//b", "/a/\"b", "/a/\nb", "/./a"})
        EXPECT_FALSE(CgroupPath::isValid(bad)) << bad;
    EXPECT_TRUE(CgroupPath::nftPath("/a/../etc").empty());
    const std::string own = CgroupPath::ofProcess(0);
    EXPECT_TRUE(!own.empty() && own.front() == '/') << own;
}

class TunStateFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_path = fs::temp_directory_path() / ("kestd-state-" + std::to_string(getpid()));
        setenv(TunStateFile::kPathVariable, m_path.c_str(), 1);
    }
    void TearDown() override { fs::remove(m_path); }
    fs::path m_path;
};

TEST_F(TunStateFileTest, RecordsComeBackInOrderOnceAndTheFileGoesWithTheLast)
{
    EXPECT_EQ(TunStateFile::add("route table=254 dst=1.2.3.4"), 0);
    EXPECT_EQ(TunStateFile::add("resolv-conf path=" + TunStateFile::escape("/tmp/a b%c=d\ne")), 0);
    EXPECT_EQ(TunStateFile::add("route table=254 dst=1.2.3.4"), 0) << "an equal record is kept once";
    const std::vector<std::string> records = TunStateFile::records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(TunStateFile::kindOf(records[1]), "resolv-conf");
    EXPECT_EQ(TunStateFile::field(records[1], "path"), "/tmp/a b%c=d\ne");
    EXPECT_EQ(TunStateFile::field(records[0], "dst"), "1.2.3.4");
    EXPECT_FALSE(TunStateFile::field(records[0], "via").has_value());
    EXPECT_TRUE(TunStateFile::isOfThisNamespace(records[0]));
    EXPECT_FALSE(TunStateFile::isOfThisNamespace("route table=254 netns=1"));

    TunStateFile::remove("route table=254 dst=1.2.3.4");
    EXPECT_EQ(TunStateFile::records().size(), 1u);
    EXPECT_EQ(TunStateFile::takeAll().size(), 1u);
    EXPECT_FALSE(fs::exists(m_path));
    EXPECT_TRUE(TunStateFile::takeAll().empty());
}

TEST_F(TunStateFileTest, AFileWithoutTheHeaderIsIgnoredAndThePathFollowsTheRuntimeDirectory)
{
    std::ofstream(m_path) << "route table=254 dst=1.2.3.4\n";
    EXPECT_TRUE(TunStateFile::records().empty());
    unsetenv(TunStateFile::kPathVariable);
    const char *runtime = std::getenv("RUNTIME_DIRECTORY");
    const std::string saved = runtime ? runtime : "";
    setenv("RUNTIME_DIRECTORY", "/tmp/x/run/:/other", 1);
    EXPECT_EQ(TunStateFile::path(), "/tmp/x/run/tun-state");
    unsetenv("RUNTIME_DIRECTORY");
    EXPECT_EQ(TunStateFile::path(), "/run/kestd/tun-state");
    if (runtime)
        setenv("RUNTIME_DIRECTORY", saved.c_str(), 1);
}

} // namespace
