#pragma once
// One child process started for a client: its record, its launch and its two
// watching threads, the graceful stop with a kill timer, forced termination,
// and what happens when it exits (auto-restart within a bound of attempts over
// the life of the entry, else processFinished). Lives on the main thread.

#include "process/ProcessCgroup.h"
#include "process/ProcessInfo.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

class InterfaceDnsOverride;
class ProcessIOWorker;
class ProcessMonitorWorker;
class QSocketNotifier;
class QThread;

class ManagedProcess : public QObject
{
    Q_OBJECT
public:
    static constexpr int kCleanupThreadWaitMs = 2000;
    static constexpr int kDestructionThreadWaitMs = 5000;
    // Stdin data accepted but not yet taken by the child's pipe; a request
    // that would grow it beyond this is refused.
    static constexpr qsizetype kMaxPendingStdinBytes = 16 * 1024 * 1024;

    explicit ManagedProcess(const QString &processId, QObject *parent = nullptr);
    ~ManagedProcess() override;

    QString processId() const { return m_info.id; }

    // Copies the start-request keys into the record (reading rules of ProcessInfo).
    void loadSpec(const QJsonObject &request);
    // The rights of every launch of this entry (the client's that started it).
    void setCredentials(const ProcessCredentials &credentials) { m_info.credentials = credentials; }
    // Ties a DNS override to the running child: it is put back (the object
    // deleted) when the child ends. Takes ownership.
    void attachDnsOverride(InterfaceDnsOverride *dnsOverride);
    // The complete start request, used again for every restart.
    void setSavedRequest(const QJsonObject &request) { m_savedRequest = request; }
    QJsonObject savedRequest() const { return m_savedRequest; }

    // Launches the child with the entry's credentials, in a cgroup of its own
    // where there is a cgroup hierarchy; on success processStarted has been
    // emitted and the workers run.
    bool startWindowsProcess();
    // Graceful stop: cancels a pending restart, clears auto-restart, sends
    // SIGINT to the child's group and arms the kill timer (none for timeoutMs <= 0).
    void stop(int timeoutMs);
    // True only while a launched child is held, the state is Running and the
    // child has not exited.
    bool isRunning() const;
    ProcessInfo info() const { return m_info; }
    bool isRestartPending() const { return m_restartTimer.isActive(); }
    // Ends what is left in the child's cgroup once the child itself has ended
    // (descendants that left its process group); nothing without a cgroup.
    void endRemainingProcesses();
    bool isKillTimerActive() const { return m_killTimer.isActive(); }

    // Passes data to the child's stdin when it is held and the state is
    // Running, never waiting: what the pipe does not take now is kept and
    // written as the child reads. True when the data was accepted (also when
    // there is no running child to take it, or the child has closed its
    // stdin: then it is dropped); false when the pending stdin data would
    // exceed kMaxPendingStdinBytes, and then nothing of it is written.
    bool writeToStdin(const QByteArray &data);
    qsizetype pendingStdinBytes() const { return m_pendingStdin.size() - m_pendingStdinOffset; }
    // Output passed on by stdoutReady/stderrReady that has now been sent on
    // to the client; until then it counts against the output worker's bound.
    void outputDelivered(qint64 bytes) { m_undeliveredBytes.fetch_sub(bytes); }

signals:
    void processStarted(const QString &processId);
    void processFinished(const QString &processId, int exitCode);
    void processError(const QString &processId, const QString &error);
    void stdoutReady(const QString &processId, const QByteArray &data);
    void stderrReady(const QString &processId, const QByteArray &data);

public slots:
    // Immediate termination when a child is held (also the kill timer's handler),
    // of its whole cgroup where it has one; always cancels a pending restart
    // and clears auto-restart.
    void kill();
    void handleProcessExit(int exitCode);
    void attemptRestart();
    void stopKillTimer();

private:
    // Runs on the monitor thread: posts the exit of the given launch back to
    // the main thread, where a report of an earlier launch is dropped.
    void onWindowsProcessExited(int exitCode, quint64 launchNumber);
    bool sendCtrlC();
    void forceTerminate();
    void cleanup();
    // The launch description of the record; empty (logged) when the
    // environment cannot be passed.
    std::optional<ChildProcess::LaunchRequest> launchRequest() const;
    // Starts the two watching threads; they take over the two events.
    void startWorkers(ChildProcess::Handle monitorEvent, ChildProcess::Handle outputEvent);
    // Stops both workers and their threads; false when a thread did not end
    // within waitMs (it is then left behind, and so are the handles it uses).
    bool stopWorkers(int waitMs);
    void setState(int state);
    // Writes pending stdin data while the pipe takes it; watches the pipe
    // for room while some is left.
    void drainStdin();
    void dropStdin();

    ProcessInfo m_info;
    QJsonObject m_savedRequest;
    QTimer m_killTimer;
    QTimer m_restartTimer;

    QThread *m_monitorThread = nullptr;
    ProcessMonitorWorker *m_monitorWorker = nullptr;
    QThread *m_outputThread = nullptr;
    ProcessIOWorker *m_outputWorker = nullptr;

    // Read by the output thread; mirrors m_info.state.
    std::atomic<int> m_sharedState{ProcessInfo::kNotRunning};
    // Output read by the output worker and not yet sent on to the client.
    std::atomic<qint64> m_undeliveredBytes{0};
    quint64 m_launchNumber = 0;
    // Pending stdin data starts at the offset (compacted now and then, not on
    // every partial write).
    QByteArray m_pendingStdin;
    qsizetype m_pendingStdinOffset = 0;
    QSocketNotifier *m_stdinNotifier = nullptr;
    // The cgroup of the current launch; empty without a cgroup hierarchy.
    std::unique_ptr<ProcessCgroup> m_cgroup;
    InterfaceDnsOverride *m_dnsOverride = nullptr; // a child of this object
};
