#pragma once
// A private system bus (dbus-daemon) with a real polkitd on it, for tests of
// authorization. polkitd runs in a mount namespace of its own in which its
// action directory holds only the daemon's action file from the source tree
// and its rules directories hold only the rules the test gives: nothing of the
// machine's own polkit set-up is read or touched. Both processes are ended by
// pid, and their files removed, when the object goes. Needs root.

#include <QString>

#include <sys/types.h>

class PrivatePolkit
{
public:
    static constexpr const char *kPolkitd = "/usr/lib/polkit-1/polkitd";
    static constexpr const char *kPolkitService = "org.freedesktop.PolicyKit1";

    // rules: the JavaScript of one rules file.
    explicit PrivatePolkit(const QString &rules);
    ~PrivatePolkit();
    PrivatePolkit(const PrivatePolkit &) = delete;
    PrivatePolkit &operator=(const PrivatePolkit &) = delete;

    // Starts the bus and polkitd and waits until polkitd serves; false with
    // error() saying why when either cannot run here.
    bool start(int timeoutMs = 15000);
    QString error() const { return m_error; }
    // The bus's address, for DBUS_SYSTEM_BUS_ADDRESS.
    QString busAddress() const;

private:
    bool writeFiles(const QString &rules);
    pid_t spawnBus(const QString &program);
    pid_t spawnPolkitd();
    bool waitServing(int timeoutMs);
    static void end(pid_t &pid);

    QString m_root;
    QString m_error;
    pid_t m_bus = -1;
    pid_t m_polkitd = -1;
};
