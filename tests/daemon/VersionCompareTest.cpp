// The client-hello version comparison.

#include "daemon/KestDaemon.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char *client;
    int expected; // against the daemon's "2.1.0"
};

TEST(VersionCompare, ClientVersionAgainstDaemonVersion)
{
    const Case cases[] = {
        {"2.1.0", 0},  {"2.0.9", -1}, {"", -1},     {"abc", -1},  {"2.1.1", 1},  {"2.1.0.0", 1},
        {"2.2", 1},    {"10", 1},     {"2.1", -1},  {"2.1.0-beta", 0}, {"2.1.0abc", 0},
        {"2.10.0", 1}, {"1.99.99", -1}, {"3", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(KestDaemon::compareVersions(QString::fromLatin1(c.client), "2.1.0"), c.expected)
            << "client version '" << c.client << "'";
}

TEST(VersionCompare, EmptyIsLessThanAnyNumberAndEqualToEmpty)
{
    EXPECT_EQ(KestDaemon::compareVersions("", ""), 0);
    EXPECT_EQ(KestDaemon::compareVersions("", "0"), -1);
    EXPECT_EQ(KestDaemon::compareVersions("0", ""), 1);
}

} // namespace
