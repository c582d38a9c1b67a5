// ReversePathFilter: where its state file goes, and (as root, inside a namespace
// the test makes) a strict filter that a killed daemon left loose is put back
// from that file at the next start, and only when nobody changed it since.
#include "tests/support/NetnsFixture.h"
#include "tests/support/LogCapture.h"
#include "tun/KestTunManager.h"
#include "tun/ReversePathFilter.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class EnvironmentGuard {
public:
    explicit EnvironmentGuard(const char *name) : m_name(name)
    {
        if (const char *value = std::getenv(name)) {
            m_had = true;
            m_value = value;
        }
    }
    ~EnvironmentGuard()
    {
        if (m_had)
            setenv(m_name, m_value.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char *m_name;
    bool m_had = false;
    std::string m_value;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

void put(const std::string &path, const std::string &content)
{
    std::ofstream(path) << content;
}

} // namespace

TEST(ReversePathFilterState, FileSitsBesideTheRuntimeDirectoryUnlessOverridden)
{
    EnvironmentGuard runtime("RUNTIME_DIRECTORY");
    EnvironmentGuard state("KESTD_RP_FILTER_STATE");
    unsetenv("KESTD_RP_FILTER_STATE");
    unsetenv("RUNTIME_DIRECTORY");
    EXPECT_EQ(ReversePathFilter::stateFilePath(), "/run/kestd-rp_filter");
    setenv("RUNTIME_DIRECTORY", "/tmp/x/run/:/other", 1);
    EXPECT_EQ(ReversePathFilter::stateFilePath(), "/tmp/x/kestd-rp_filter");
    setenv("RUNTIME_DIRECTORY", "/kestd", 1);
    EXPECT_EQ(ReversePathFilter::stateFilePath(), "/kestd-rp_filter");
    setenv("KESTD_RP_FILTER_STATE", "/tmp/own-file", 1);
    EXPECT_EQ(ReversePathFilter::stateFilePath(), "/tmp/own-file");
}

TEST(ReversePathFilterState, StrictFilterLeftLooseByAKilledRunIsRestoredAtTheNextStart)
{
    if (!NetnsFixture::isRoot())
        GTEST_SKIP() << "needs root: changes rp_filter inside its own network namespace";
    NetnsFixture net("ktrpf");
    ASSERT_TRUE(net.ok()) << net.error();
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kestd-rpf-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    EnvironmentGuard state("KESTD_RP_FILTER_STATE");
    const std::string file = (dir / "state").string();
    setenv("KESTD_RP_FILTER_STATE", file.c_str(), 1);
    const std::string veth = NetnsFixture::kVethA;
    const std::string key = "net.ipv4.conf." + veth + ".rp_filter";
    const auto value = [&] { return ReversePathFilter::readValue(veth); };
    LogCapture log;
    ASSERT_TRUE(net.runInside(net.a(), [&] {
        ASSERT_EQ(net.run(net.a(), "sysctl -q -w net.ipv4.conf.all.rp_filter=0 " + key + "=1").exitCode, 0);
        const unsigned index = if_nametoindex(veth.c_str());
        ASSERT_NE(index, 0u);

        // A normal run: the record exists exactly while the filter is loose.
        {
            ReversePathFilter filter;
            ASSERT_TRUE(filter.loosen(index));
            EXPECT_EQ(value(), ReversePathFilter::kLoose);
            EXPECT_EQ(slurp(file), veth + " 1\n");
            filter.restore();
            EXPECT_EQ(value(), ReversePathFilter::kStrict);
            EXPECT_FALSE(std::filesystem::exists(file));
        }
        EXPECT_FALSE(ReversePathFilter::restoreAfterCrash()) << "no record, nothing to do";

        // A killed run left the filter loose and its record behind.
        ASSERT_EQ(net.run(net.a(), "sysctl -q -w " + key + "=2").exitCode, 0);
        put(file, veth + " 1\n");
        EXPECT_TRUE(ReversePathFilter::restoreAfterCrash());
        EXPECT_EQ(value(), ReversePathFilter::kStrict);
        EXPECT_FALSE(std::filesystem::exists(file));
        // The daemon does this where its TUN manager comes up.
        ASSERT_EQ(net.run(net.a(), "sysctl -q -w " + key + "=2").exitCode, 0);
        put(file, veth + " 1\n");
        {
            EnvironmentGuard resolver("KESTD_RESOLV_CONF");
            setenv("KESTD_RESOLV_CONF", (dir / "resolv.conf").c_str(), 1);
            KestTunManager manager;
        }
        EXPECT_EQ(value(), ReversePathFilter::kStrict);
        EXPECT_FALSE(std::filesystem::exists(file));

        // Changed by someone else since, an unknown interface, or a garbled
        // record: nothing is written and the record goes.
        ASSERT_EQ(net.run(net.a(), "sysctl -q -w " + key + "=0").exitCode, 0);
        for (const std::string &record : {veth + " 1\n", std::string("nosuchif0 1\n"), std::string("../../x 1\n"),
                                          veth + " 7\n", std::string("garbage")}) {
            put(file, record);
            EXPECT_FALSE(ReversePathFilter::restoreAfterCrash()) << record;
            EXPECT_EQ(value(), 0) << record;
            EXPECT_FALSE(std::filesystem::exists(file)) << record;
        }
    }));
    EXPECT_TRUE(log.contains("[RP-FILTER] Reverse-path filtering on a0 restored to 1 after an earlier run")) << log.all();
    std::filesystem::remove_all(dir);
}
