#pragma once
// A cgroup v2 of the test's own, made under the hierarchy's root: the daemon's,
// as a service manager gives each service one (its children share it), or a
// client's application unit ("app-...scope"). What is left in it at the end
// (processes the test started and their children) is ended by pid, then the
// cgroup goes. Needs root; header only, for tests that link kest_net.

#include "net/CgroupPath.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

class TestCgroup {
public:
    explicit TestCgroup(const std::string &prefix = "kestd-test-", const std::string &suffix = "")
    {
        static int counter = 0;
        m_path = "/" + prefix + std::to_string(getpid()) + "-" + std::to_string(++counter) + suffix;
        const std::string relative = CgroupPath::nftPath(m_path);
        const std::string directory = std::string(CgroupPath::kSysfsRoot) + "/" + relative;
        if (!relative.empty() && ::mkdir(directory.c_str(), 0755) == 0)
            m_directory = directory;
    }
    ~TestCgroup()
    {
        if (m_directory.empty())
            return;
        for (int pid : members())
            ::kill(pid, SIGKILL);
        // cgroup.events reads "populated 0" once the last member has left, and
        // signals each change as a poll priority event after it has been read.
        const int events = ::open((m_directory + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC);
        for (int round = 0; round < 50 && populated(events); ++round) {
            pollfd p{events, POLLPRI, 0};
            ::poll(&p, 1, 100);
        }
        ::close(events);
        ::rmdir(m_directory.c_str());
    }
    TestCgroup(const TestCgroup &) = delete;
    TestCgroup &operator=(const TestCgroup &) = delete;

    bool ok() const { return !m_directory.empty(); }
    // The path from the hierarchy's root ("/kestd-test-1-1"), and its directory.
    const std::string &path() const { return m_path; }
    const std::string &directory() const { return m_directory; }

    bool add(pid_t pid) const
    {
        std::ofstream procs(m_directory + "/cgroup.procs");
        procs << pid << std::flush;
        return bool(procs);
    }
    std::vector<int> members() const
    {
        std::ifstream procs(m_directory + "/cgroup.procs");
        std::vector<int> pids;
        for (int pid; procs >> pid;)
            pids.push_back(pid);
        return pids;
    }

private:
    static bool populated(int events)
    {
        char text[128] = {};
        const ssize_t n = ::pread(events, text, sizeof text - 1, 0);
        return n > 0 && std::string(text, std::size_t(n)).find("populated 1") != std::string::npos;
    }

    std::string m_path;
    std::string m_directory;
};
