#pragma once
// A throw-away network topology for tests that need real links and routes: two
// uniquely named network namespaces ("a", the machine under test, and "b", its
// upstream) joined by a veth pair, loopback up in both, and a default route in "a"
// through "b". Commands run inside with nsenter (no /sys remount, so cgroup paths
// keep resolving); a thread can enter a namespace with setns. The destructor deletes
// both namespaces and everything in them. Needs root; isRoot() tells tests to skip.

#include <functional>
#include <string>
#include <vector>

class NetnsFixture {
public:
    struct Options {
        std::string addressA = "10.231.0.1/24"; // on veth "a0" in namespace a
        std::string addressB = "10.231.0.2/24"; // on veth "b0" in namespace b
        bool defaultRouteInA = true;            // default via addressB's host in a
    };
    struct Result {
        int exitCode = -1;
        std::string output; // standard output and error together
    };

    static constexpr const char *kVethA = "a0";
    static constexpr const char *kVethB = "b0";

    explicit NetnsFixture(const std::string &tag = "kt");
    NetnsFixture(const std::string &tag, Options options);
    ~NetnsFixture();
    NetnsFixture(const NetnsFixture &) = delete;
    NetnsFixture &operator=(const NetnsFixture &) = delete;

    static bool isRoot();
    // True when the topology was built; error() says what failed otherwise.
    bool ok() const { return m_ok; }
    const std::string &error() const { return m_error; }

    const std::string &a() const { return m_a; }
    const std::string &b() const { return m_b; }
    // The host part of an "address/prefix" option, e.g. "10.231.0.2".
    static std::string hostOf(const std::string &addressWithPrefix);
    const Options &options() const { return m_options; }

    // Runs "sh -c command" inside the namespace; output is captured.
    Result run(const std::string &ns, const std::string &command) const;
    // Starts "sh -c command" inside the namespace in the background; returns its pid
    // (killed by pid and reaped by the destructor if still running), or -1.
    int spawn(const std::string &ns, const std::string &command);
    // Runs fn on a new thread that has entered the namespace, and waits for it.
    bool runInside(const std::string &ns, const std::function<void()> &fn) const;

    // Switches the calling thread into a namespace for the object's lifetime.
    class Enter {
    public:
        explicit Enter(const std::string &ns);
        ~Enter();
        Enter(const Enter &) = delete;
        Enter &operator=(const Enter &) = delete;
        bool ok() const { return m_ok; }

    private:
        int m_previous = -1;
        bool m_ok = false;
    };

private:
    bool build();
    bool step(const std::string &command);

    Options m_options;
    std::string m_a;
    std::string m_b;
    bool m_ok = false;
    bool m_createdA = false;
    bool m_createdB = false;
    std::string m_error;
    std::vector<int> m_spawned;
};
