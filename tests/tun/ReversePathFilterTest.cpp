// ReversePathFilter (as root, inside a namespace the test makes): a strict
// filter that a killed daemon left loose is put back from its record in the
// TUN state file at the next start, and only when nobody changed it since.
#include "tests/support/NetnsFixture.h"
#include "net/TunStateFile.h"
#include "tests/support/LogCapture.h"
#include "tun/KestTunManager.h"
#include "tun/ReversePathFilter.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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

} // namespace

TEST(ReversePathFilterState, StrictFilterLeftLooseByAKilledRunIsRestoredAtTheNextStart)
{
    if (!NetnsFixture::isRoot())
        GTEST_SKIP() << "needs root: changes rp_filter inside its own network namespace";
    NetnsFixture net("ktrpf");
    ASSERT_TRUE(net.ok()) << net.error();
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kestd-rpf-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    EnvironmentGuard state(TunStateFile::kPathVariable);
    const std::string file = (dir / "state").string();
    setenv(TunStateFile::kPathVariable, file.c_str(), 1);
    const std::string veth = NetnsFixture::kVethA;
    const std::string key = "net.ipv4.conf." + veth + ".rp_filter";
    const auto value = [&] { return ReversePathFilter::readValue(veth); };
    const std::string record = std::string(ReversePathFilter::kRecordKind) + " dev=" + veth + " value=1";
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
            ASSERT_EQ(TunStateFile::records().size(), 1u);
            EXPECT_EQ(TunStateFile::records().front().rfind(record + " netns=", 0), 0u) << TunStateFile::records().front();
            filter.restore();
            EXPECT_EQ(value(), ReversePathFilter::kStrict);
            EXPECT_FALSE(std::filesystem::exists(file));
        }

        // A killed run left the filter loose and its record behind: the next
        // daemon start puts it back.
        ASSERT_EQ(net.run(net.a(), "sysctl -q -w " + key + "=2").exitCode, 0);
        TunStateFile::add(record);
        KestTunManager::recoverAfterCrash();
        EXPECT_EQ(value(), ReversePathFilter::kStrict);
        EXPECT_FALSE(std::filesystem::exists(file));

        // Changed by someone else since, an unknown interface, or a garbled
        // record: nothing is written and the record goes.
        ASSERT_EQ(net.run(net.a(), "sysctl -q -w " + key + "=0").exitCode, 0);
        for (const std::string &bad : {record, std::string("rp-filter dev=nosuchif0 value=1"),
                                       std::string("rp-filter dev=../../x value=1"), "rp-filter dev=" + veth + " value=7",
                                       std::string("rp-filter garbage")}) {
            TunStateFile::add(bad);
            KestTunManager::recoverAfterCrash();
            EXPECT_EQ(value(), 0) << bad;
            EXPECT_FALSE(std::filesystem::exists(file)) << bad;
        }
    }));
    EXPECT_TRUE(log.contains("[RP-FILTER] Reverse-path filtering on a0 restored to 1 after an earlier run")) << log.all();
    std::filesystem::remove_all(dir);
}
