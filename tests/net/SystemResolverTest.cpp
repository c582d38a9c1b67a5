// The resolv.conf half of the resolver layer, on a resolv.conf of the test's own
// (KESTD_RESOLV_CONF), never the real one: rewrite and restore, symlinks, the restore
// after a daemon killed with SIGKILL, and the DNS operations of the TUN adapter.
#include "net/InterfaceConfig.h"
#include "net/SystemResolver.h"
#include "net/TunAdapter.h"
#include "tests/support/NetnsFixture.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr const char *kOriginal = "# the machine's own\nsearch example.org\nnameserver 192.0.2.53\n";

std::string readFile(const fs::path &path)
{
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const fs::path &path, const std::string &content)
{
    std::ofstream(path) << content;
}

class SystemResolverFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestd-resolver-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_path = m_dir / "resolv.conf";
        setenv("KESTD_RESOLV_CONF", m_path.c_str(), 1);
        // Nothing on the system bus answers for resolved in these tests.
        setenv("KESTD_RESOLVED_BUS", "unix:path=/nonexistent-kestd-test/bus", 1);
    }
    void TearDown() override
    {
        SystemResolver::restoreResolvConf(true);
        unsetenv("KESTD_RESOLV_CONF");
        unsetenv("KESTD_RESOLVED_BUS");
        fs::remove_all(m_dir);
    }
    fs::path kept() const { return fs::path(m_path.string() + SystemResolver::kKeptSuffix); }

    // Runs the rewrite in a child process that is then killed with SIGKILL, as a
    // daemon killed while the TUN mode runs.
    void rewriteInKilledProcess(const std::string &server)
    {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            const int result = SystemResolver::rewriteResolvConf({server});
            const char status = result == 0 ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = write(ready[1], &status, 1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char status = 0;
        ASSERT_EQ(read(ready[0], &status, 1), 1);
        close(ready[0]);
        kill(pid, SIGKILL);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        ASSERT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGKILL);
        ASSERT_EQ(status, 'y') << "the child's rewrite failed";
    }

    fs::path m_dir;
    fs::path m_path;
};

TEST_F(SystemResolverFile, RewriteKeepsTheOriginalAndRestorePutsItBack)
{
    writeFile(m_path, kOriginal);
    chmod(m_path.c_str(), 0640);
    ASSERT_EQ(SystemResolver::rewriteResolvConf({"10.6.7.2"}), 0);
    const std::string rewritten = readFile(m_path);
    EXPECT_NE(rewritten.find("nameserver 10.6.7.2\n"), std::string::npos);
    EXPECT_EQ(rewritten.find("192.0.2.53"), std::string::npos) << "the tunnel's server is the only one";
    EXPECT_EQ(readFile(kept()), kOriginal);

    ASSERT_EQ(SystemResolver::rewriteResolvConf({"10.6.7.2", "fd00::2"}), 0);
    EXPECT_EQ(readFile(kept()), kOriginal) << "a second rewrite keeps the first original";
    EXPECT_NE(readFile(m_path).find("nameserver fd00::2\n"), std::string::npos);

    ASSERT_EQ(SystemResolver::restoreResolvConf(), 0);
    EXPECT_EQ(readFile(m_path), kOriginal);
    EXPECT_FALSE(fs::exists(kept()));
    struct stat info{};
    ASSERT_EQ(stat(m_path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the very original file is back";
    EXPECT_EQ(SystemResolver::restoreResolvConf(), 0) << "nothing left to restore";
    EXPECT_EQ(readFile(m_path), kOriginal);
}

TEST_F(SystemResolverFile, SymlinkedResolvConfIsRestoredAsTheSameSymlink)
{
    const fs::path target = m_dir / "stub-resolv.conf";
    writeFile(target, kOriginal);
    fs::create_symlink(target, m_path);
    ASSERT_EQ(SystemResolver::rewriteResolvConf({"10.6.7.2"}), 0);
    EXPECT_FALSE(fs::is_symlink(m_path)) << "the link itself is replaced";
    EXPECT_EQ(readFile(target), kOriginal) << "the file the link points to is never touched";
    ASSERT_EQ(SystemResolver::restoreResolvConf(), 0);
    ASSERT_TRUE(fs::is_symlink(m_path));
    EXPECT_EQ(fs::read_symlink(m_path), target);
}

TEST_F(SystemResolverFile, KeptOriginalLeftByAKilledDaemonIsRestoredAtTheNextStart)
{
    writeFile(m_path, kOriginal);
    rewriteInKilledProcess("10.6.7.2");
    EXPECT_NE(readFile(m_path).find("nameserver 10.6.7.2"), std::string::npos);
    ASSERT_TRUE(fs::exists(kept())) << "the killed daemon left its kept original";

    LogCapture log;
    EXPECT_TRUE(SystemResolver::restoreAfterCrash());
    EXPECT_EQ(readFile(m_path), kOriginal);
    EXPECT_FALSE(fs::exists(kept()));
    EXPECT_TRUE(log.contains("Restored the resolver file kept by an earlier run:")) << log.all();
    EXPECT_FALSE(SystemResolver::restoreAfterCrash()) << "nothing to restore the second time";
}

TEST_F(SystemResolverFile, RewriteAfterAKilledRunKeepsTheTrueOriginal)
{
    writeFile(m_path, kOriginal);
    rewriteInKilledProcess("10.6.7.2");
    // The next tunnel starts without the start-up recovery having run.
    ASSERT_EQ(SystemResolver::rewriteResolvConf({"10.9.9.2"}), 0);
    EXPECT_EQ(readFile(kept()), kOriginal) << "the killed run's file must not become the original";
    ASSERT_EQ(SystemResolver::restoreResolvConf(), 0);
    EXPECT_EQ(readFile(m_path), kOriginal);
}

TEST_F(SystemResolverFile, RestoreWithoutARewriteOfOursLeavesAForeignKeptFileAlone)
{
    writeFile(m_path, kOriginal);
    writeFile(kept(), "someone else's\n");
    EXPECT_EQ(SystemResolver::restoreResolvConf(), 0);
    EXPECT_EQ(readFile(m_path), kOriginal) << "a plain stop restores only what this process rewrote";
}

TEST_F(SystemResolverFile, FlushWithoutACachingResolverSucceeds)
{
    LogCapture log;
    EXPECT_TRUE(flushDnsCache());
    EXPECT_TRUE(log.contains("No caching resolver runs; nothing to flush"));
}

TEST_F(SystemResolverFile, TunAdapterDnsOperationsGoThroughTheFileAndCloseRestoresIt)
{
    if (!NetnsFixture::isRoot() || access("/dev/net/tun", R_OK | W_OK) != 0)
        GTEST_SKIP() << "needs root and /dev/net/tun: creates a TUN device in its own network namespace";
    NetnsFixture net("ktdns");
    ASSERT_TRUE(net.ok()) << net.error();
    writeFile(m_path, kOriginal);
    LogCapture log;
    ASSERT_TRUE(net.runInside(net.a(), [&] {
        TunAdapter adapter;
        ASSERT_TRUE(adapter.load("/dev/net/tun"));
        ASSERT_TRUE(adapter.openOrCreate("kest-default-tun", TunAdapter::kTunnelType));
        ASSERT_TRUE(adapter.setDnsServers("10.6.7.2", ""));
        const std::string rewritten = readFile(m_path);
        EXPECT_NE(rewritten.find("nameserver 10.6.7.2\n"), std::string::npos);
        EXPECT_EQ(rewritten.find("nameserver", rewritten.find("nameserver 10.6.7.2") + 1), std::string::npos)
            << "an empty secondary writes only the primary";
        ASSERT_TRUE(adapter.setIpv6DnsServers("", ""));
        EXPECT_EQ(readFile(m_path), rewritten) << "clearing IPv6 servers changes nothing here";
        adapter.closeAdapter();
        EXPECT_EQ(readFile(m_path), kOriginal) << "closing the adapter restores the resolver";
    }));
    EXPECT_TRUE(log.contains("DNS servers configured (resolver): \"10.6.7.2\"")) << log.all();
    EXPECT_FALSE(log.contains("  Secondary:"));
    EXPECT_TRUE(log.contains("IPv6 DNS servers configured: \"\""));
    EXPECT_FALSE(log.contains("falling back")) << "without resolved the file path is taken without a warning";
}

} // namespace
