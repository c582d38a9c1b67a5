// Compiled into every test program: before any test runs, the daemon's
// machine-wide state is pointed at places of the test process's own unless a
// test names its own: the TUN state file (so that no recovery ever undoes or
// records anything in the host's runtime directory), the resolver file and
// the resolver's bus (so that nothing reaches the host's resolv.conf or
// systemd-resolved). Daemons started by a test inherit the same.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

class TestEnvironment {
public:
    TestEnvironment()
    {
        const std::string own = std::filesystem::temp_directory_path().string() + "/kestd-test-" + std::to_string(getpid());
        m_stateFile = own + "-tun-state";
        setenv("KESTD_TUN_STATE", m_stateFile.c_str(), 0);
        setenv("KESTD_RESOLV_CONF", (own + "-missing/resolv.conf").c_str(), 0);
        setenv("KESTD_RESOLVED_BUS", ("unix:path=" + own + "-missing/bus").c_str(), 0);
    }
    ~TestEnvironment()
    {
        std::error_code ignored;
        std::filesystem::remove(m_stateFile, ignored);
    }

private:
    std::string m_stateFile;
};

const TestEnvironment g_environment;

} // namespace
