#pragma once
// The system-service wrapper over systemd: registers and unregisters the unit,
// runs the service's work under the service manager, takes stop and custom
// controls (signals) on a thread of its own, and reports status by sd_notify.

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

class ServiceHost
{
public:
    // Control codes: 128 asks every client to shut down (SIGUSR1); 129 is SIGUSR2.
    static constexpr unsigned long kControlShutdownClients = 128;
    static constexpr unsigned long kControlUser2 = 129;
    static constexpr const char *kDefaultUnitDirectory = "/etc/systemd/system";
    static constexpr const char *kDefaultPolkitDirectory = "/etc/polkit-1/rules.d";
    static constexpr const char *kDefaultPolkitActionsDirectory = "/usr/share/polkit-1/actions";
    // The polkit action that guards the daemon's machine-wide changes; the
    // file is also in the source tree as service/org.kest.daemon.policy.
    static constexpr const char *kPolkitActionFile = "org.kest.daemon.policy";

    using Callback = std::function<void()>;
    using ControlHandler = std::function<void(unsigned long)>;

    // Creates the one instance; throws "ServiceHost already initialized"
    // when one exists.
    static ServiceHost &initialize(const QString &serviceName, const QString &displayName);
    // Throws "ServiceHost not initialized" before initialize.
    static ServiceHost &instance();

    ~ServiceHost();

    // Writes the unit (with a delegated cgroup subtree), its polkit rule and
    // the polkit action; throws the failure text.
    void registerService();
    // Stops (without waiting) and deletes the unit, the rule and the action;
    // throws the failure text.
    void unregisterService();

    // Runs the main callback under the service manager; 0 after a normal run,
    // 1 when not started by a service manager or the work failed.
    int run(Callback mainCallback, Callback stopCallback);
    void setCustomControlHandler(ControlHandler handler);

    void reportRunning();
    void reportStopped();
    // Stop pending, for a stop that did not come as a control (the daemon's own
    // exit); reported once whatever the cause.
    void reportStopPending();
    // The work could not start; run() then returns 1.
    void reportStartFailed();

    QString unitPath() const;
    QString polkitRulePath() const;
    QString polkitActionPath() const;

private:
    ServiceHost(const QString &serviceName, const QString &displayName);
    void controlThread(int signalFd);
    void handleControl(unsigned long code);
    void requestStop();
    static QString unitDirectory();
    static QString polkitDirectory();
    static QString polkitActionsDirectory();
    // Writes a file into a directory of polkit's, which is made when polkit's
    // own directory above it exists; nothing where polkit is not installed.
    static void installPolkitFile(const QString &directory, const QString &path, const QByteArray &content);

    QString m_serviceName;
    QString m_displayName;
    Callback m_main;
    Callback m_stop;
    ControlHandler m_custom;
    std::mutex m_customMutex; // the handler is replaced while the control thread runs
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_failed{false};
    int m_wakeFd = -1; // ends the control thread
};

// The failures of ServiceHost, carrying their fixed texts.
class ServiceError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
