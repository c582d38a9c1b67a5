#include "tests/support/NetnsFixture.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

std::atomic<int> s_counter{0};

std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string netnsPath(const std::string &ns)
{
    return "/run/netns/" + ns;
}

NetnsFixture::Result runShell(const std::string &command)
{
    NetnsFixture::Result result;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace

NetnsFixture::NetnsFixture(const std::string &tag) : NetnsFixture(tag, Options{}) {}

NetnsFixture::NetnsFixture(const std::string &tag, Options options) : m_options(std::move(options))
{
    const std::string unique = tag + "-" + std::to_string(getpid()) + "-" + std::to_string(++s_counter);
    m_a = unique + "-a";
    m_b = unique + "-b";
    if (!isRoot()) {
        m_error = "needs root";
        return;
    }
    m_ok = build();
}

NetnsFixture::~NetnsFixture()
{
    for (int pid : m_spawned) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // Deleting a namespace removes its links (the veth pair, TUN links) and routes.
    if (m_createdA)
        runShell("ip netns del " + quoted(m_a));
    if (m_createdB)
        runShell("ip netns del " + quoted(m_b));
}

bool NetnsFixture::isRoot()
{
    return geteuid() == 0;
}

std::string NetnsFixture::hostOf(const std::string &addressWithPrefix)
{
    return addressWithPrefix.substr(0, addressWithPrefix.find('/'));
}

bool NetnsFixture::step(const std::string &command)
{
    const Result result = runShell(command);
    if (result.exitCode == 0)
        return true;
    m_error = command + ": " + result.output;
    return false;
}

bool NetnsFixture::build()
{
    if (!step("ip netns add " + quoted(m_a)))
        return false;
    m_createdA = true;
    if (!step("ip netns add " + quoted(m_b)))
        return false;
    m_createdB = true;
    const std::string inA = "ip -n " + quoted(m_a) + " ";
    const std::string inB = "ip -n " + quoted(m_b) + " ";
    if (!step(inA + "link add " + kVethA + " type veth peer name " + kVethB + " netns " + quoted(m_b)))
        return false;
    for (const std::string &ns : {inA, inB})
        if (!step(ns + "link set lo up"))
            return false;
    if (!step(inA + "addr add " + m_options.addressA + " dev " + kVethA) || !step(inA + "link set " + kVethA + " up"))
        return false;
    if (!step(inB + "addr add " + m_options.addressB + " dev " + kVethB) || !step(inB + "link set " + kVethB + " up"))
        return false;
    if (m_options.defaultRouteInA && !step(inA + "route add default via " + hostOf(m_options.addressB)))
        return false;
    return true;
}

NetnsFixture::Result NetnsFixture::run(const std::string &ns, const std::string &command) const
{
    return runShell("nsenter --net=" + quoted(netnsPath(ns)) + " sh -c " + quoted(command));
}

int NetnsFixture::spawn(const std::string &ns, const std::string &command)
{
    // Everything the child needs is prepared before the fork.
    const std::string path = netnsPath(ns);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
            _exit(127);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    m_spawned.push_back(pid);
    return pid;
}

bool NetnsFixture::runInside(const std::string &ns, const std::function<void()> &fn) const
{
    bool entered = false;
    std::thread worker([&] {
        Enter enter(ns);
        entered = enter.ok();
        if (entered)
            fn();
    });
    worker.join();
    return entered;
}

NetnsFixture::Enter::Enter(const std::string &ns)
{
    m_previous = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(netnsPath(ns).c_str(), O_RDONLY | O_CLOEXEC);
    m_ok = m_previous >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}

NetnsFixture::Enter::~Enter()
{
    if (m_previous >= 0) {
        if (m_ok)
            setns(m_previous, CLONE_NEWNET);
        close(m_previous);
    }
}
