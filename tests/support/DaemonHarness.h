#pragma once
// Runs the real kestd binary as systemd would: its own NOTIFY_SOCKET listener,
// a temporary RUNTIME_DIRECTORY and HOME, KESTD_SESSIONS; captures its output.
// Everything it made is removed, and the daemon ended, when it is destroyed.

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <sys/types.h>

class DaemonHarness
{
public:
    // The session the daemon serves by default: one that no process of the
    // machine belongs to, so that the clean-up of leftover proxy cores after a
    // client leaves never reaches the machine's own processes.
    static constexpr quint32 kSession = 4294967290u;

    struct Options {
        QString sessions = QString::number(kSession); // KESTD_SESSIONS; a null QString leaves it unset
        bool notifySocket = true;  // false: started as from a shell
        QStringList environment;   // extra "NAME=value" entries
        QStringList arguments;     // command-line arguments
        QString binary = QString::fromLatin1(KESTD_BINARY);
        std::string networkNamespace; // non-empty: the daemon runs in this named namespace
        bool openToEveryUser = false;  // the runtime directory is reachable by every user
    };

    DaemonHarness();
    explicit DaemonHarness(Options options);
    ~DaemonHarness();
    DaemonHarness(const DaemonHarness &) = delete;
    DaemonHarness &operator=(const DaemonHarness &) = delete;

    // Starts the daemon; with waitReady, true once it reported READY=1.
    bool start(bool waitReady = true, int timeoutMs = 15000);
    pid_t pid() const { return m_pid; }

    QString rootDir() const { return m_root; }
    QString runtimeDir() const { return m_root + "/run"; }
    QString homeDir() const { return m_root + "/home"; }
    QString socketPath(quint32 session = kSession) const;
    // The default log file under HOME.
    QString defaultLogPath() const;

    // Waits until a notification containing the text arrived (all seen so far count).
    bool waitNotify(const QString &text, int timeoutMs);
    QStringList notifications();

    // The daemon's exit code (128 + N for signal N) once it exited.
    std::optional<int> waitExit(int timeoutMs);
    bool signal(int signo);
    // SIGTERM, then SIGKILL when it does not end in time; the exit code.
    std::optional<int> stop(int timeoutMs = 20000);

    // The daemon's resident memory (VmRSS) in KiB, -1 when unknown.
    long residentKiB() const;
    // The most it has been resident so far (VmHWM) in KiB, -1 when unknown.
    long peakResidentKiB() const;

    QString stderrText() const;
    QString stdoutText() const;
    bool waitForLog(const QString &text, int timeoutMs) const;

private:
    void drainNotifications(int timeoutMs);

    Options m_options;
    QString m_root;
    int m_notifyFd = -1;
    pid_t m_pid = -1;
    std::optional<int> m_exitCode;
    QStringList m_notifications;
};
