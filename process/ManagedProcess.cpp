#include "process/ManagedProcess.h"

#include "process/InterfaceDnsOverride.h"
#include "process/ProcessIOWorker.h"
#include "process/ProcessMonitorWorker.h"
#include "process/UserAccount.h"
#include "base/DaemonLog.h"

#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <unistd.h>

ManagedProcess::ManagedProcess(const QString &processId, QObject *parent)
    : QObject(parent)
{
    m_info.id = processId;
    m_killTimer.setSingleShot(true);
    m_restartTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, &ManagedProcess::kill);
    connect(&m_restartTimer, &QTimer::timeout, this, &ManagedProcess::attemptRestart);
}

ManagedProcess::~ManagedProcess()
{
    m_killTimer.stop();
    m_restartTimer.stop();
    dropStdin();
    const bool stopped = stopWorkers(kDestructionThreadWaitMs);
    if (m_info.processHandle != ChildProcess::kNoHandle) {
        // The child is asked to end but neither waited for nor killed.
        sendCtrlC();
        if (stopped)
            cleanup();
        else
            ChildProcess::releaseProcess(m_info.processHandle);
    }
}

void ManagedProcess::loadSpec(const QJsonObject &request)
{
    m_info.executable = ProcessInfo::stringValue(request, "executable");
    m_info.arguments = ProcessInfo::stringListValue(request, "arguments");
    m_info.workingDir = ProcessInfo::stringValue(request, "working-dir");
    m_info.environment = ProcessInfo::objectValue(request, "environment");
    m_info.privileges = ProcessInfo::stringValue(request, "privileges");
    m_info.autoRestart = ProcessInfo::boolValue(request, "auto-restart");
    m_info.maxRestartAttempts =
        ProcessInfo::intValue(request, "max-restart-attempts", ProcessInfo::kDefaultMaxRestartAttempts);
    // A negative delay would be refused by the timer; it means "at once".
    m_info.restartDelayMs =
        qMax(0, ProcessInfo::intValue(request, "restart-delay-ms", ProcessInfo::kDefaultRestartDelayMs));
    m_info.sessionId = ProcessInfo::intValue(request, "session-id", ProcessInfo::kDefaultSessionId);
    qCDebug(lcKestd) << "[ProcessManager] Will create process in session" << m_info.sessionId;
}

std::optional<ChildProcess::LaunchRequest> ManagedProcess::launchRequest() const
{
    const ProcessCredentials &credentials = m_info.credentials;
    if (credentials.uid < 0 || credentials.gid < 0) {
        qCWarning(lcKestd) << "[ProcessManager] Failed to start" << m_info.id << "- no user to run it as";
        return std::nullopt;
    }
    const std::optional<UserAccount> account = UserAccount::lookup(credentials.uid);
    QString error;
    const auto environment = UserAccount::childEnvironment(account ? &*account : nullptr, m_info.environment, &error);
    if (!environment) {
        qCWarning(lcKestd) << "[ProcessManager] Failed to start" << m_info.id << "-" << error;
        return std::nullopt;
    }
    if (!account)
        qCInfo(lcKestd) << "[ProcessManager] uid" << credentials.uid << "has no user database entry; starting"
                        << m_info.id << "with its group" << credentials.gid << "alone";
    ChildProcess::LaunchRequest launch;
    launch.executable = m_info.executable;
    launch.arguments = m_info.arguments;
    launch.workingDir = m_info.workingDir;
    launch.environment = *environment;
    ChildProcess::Identity identity;
    identity.uid = uid_t(credentials.uid);
    identity.gid = gid_t(account ? account->gid : credentials.gid);
    identity.groups = account ? account->groups : std::vector<gid_t>{identity.gid};
    // Root keeps all of its rights; other users get exactly these or none.
    identity.networkCapabilities = credentials.manageNetwork && !credentials.isRoot();
    launch.identity = identity;
    return launch;
}

bool ManagedProcess::startWindowsProcess()
{
    std::optional<ChildProcess::LaunchRequest> launch = launchRequest();
    if (!launch)
        return false;
    // The workers' wake-up events come first: without them the child could
    // not be watched, so it is better not started at all.
    ChildProcess::Handle monitorEvent = ChildProcess::createEvent();
    ChildProcess::Handle outputEvent = ChildProcess::createEvent();
    if (monitorEvent == ChildProcess::kNoHandle || outputEvent == ChildProcess::kNoHandle) {
        qCCritical(lcKestd) << "[ProcessManager] Failed to create the monitoring events:" << errno;
        ChildProcess::closeHandle(monitorEvent);
        ChildProcess::closeHandle(outputEvent);
        return false;
    }
    auto closeEvents = [&] {
        ChildProcess::closeHandle(monitorEvent);
        ChildProcess::closeHandle(outputEvent);
    };
    ChildProcess::Pipes pipes;
    if (!ChildProcess::createPipes(pipes)) {
        closeEvents();
        return false;
    }
    auto cgroup = std::make_unique<ProcessCgroup>();
    if (!cgroup->create())
        cgroup.reset(); // ended through its process group instead
    launch->cgroupProcs = cgroup ? cgroup->procsFile() : ChildProcess::kNoHandle;

    qCDebug(lcKestd) << "[ProcessManager] Starting process in session" << m_info.sessionId;
    qCDebug(lcKestd) << "[ProcessManager] Command line:"
                     << ChildProcess::commandLine(m_info.executable, m_info.arguments);
    qCDebug(lcKestd) << "[ProcessManager] Running as uid" << launch->identity->uid << "gid" << launch->identity->gid
                     << (launch->identity->networkCapabilities ? "with the network capabilities" : "");

    const auto launched = ChildProcess::launch(*launch, pipes);
    if (cgroup)
        cgroup->closeProcsFile();
    if (!launched) {
        closeEvents();
        return false;
    }

    m_cgroup = std::move(cgroup);
    m_info.processHandle = launched->process;
    m_info.pid = launched->pid;
    m_info.startTime = QDateTime::currentDateTime();
    m_info.stdinWrite = pipes.stdinWrite;
    m_info.stdoutRead = pipes.stdoutRead;
    m_info.stderrRead = pipes.stderrRead;
    setState(ProcessInfo::kRunning);
    ++m_launchNumber;
    qCDebug(lcKestd) << "[ProcessManager] Process started with PID:" << m_info.pid;
    emit processStarted(m_info.id);
    startWorkers(monitorEvent, outputEvent);
    return true;
}

void ManagedProcess::startWorkers(ChildProcess::Handle monitorEvent, ChildProcess::Handle outputEvent)
{
    m_monitorThread = new QThread(this);
    m_monitorWorker = new ProcessMonitorWorker(m_info.processHandle, monitorEvent);
    m_monitorWorker->moveToThread(m_monitorThread);
    connect(m_monitorThread, &QThread::started, m_monitorWorker, &ProcessMonitorWorker::startMonitoring);
    const quint64 launchNumber = m_launchNumber;
    const bool connected = bool(connect(
        m_monitorWorker, &ProcessMonitorWorker::processExited, this,
        [this, launchNumber](int exitCode) { onWindowsProcessExited(exitCode, launchNumber); },
        Qt::DirectConnection));
    qCDebug(lcKestd) << "[ProcessManager] Monitor signal connected:" << connected << "for process" << m_info.id
                     << "(DirectConnection)";
    m_monitorThread->start(QThread::InheritPriority);

    m_outputThread = new QThread(this);
    m_outputWorker = new ProcessIOWorker(m_info.id, m_info.stdoutRead, m_info.stderrRead, outputEvent,
                                         &m_sharedState, &m_undeliveredBytes);
    m_outputWorker->moveToThread(m_outputThread);
    connect(m_outputWorker, &ProcessIOWorker::stdoutReady, this, &ManagedProcess::stdoutReady);
    connect(m_outputWorker, &ProcessIOWorker::stderrReady, this, &ManagedProcess::stderrReady);
    connect(m_outputThread, &QThread::started, m_outputWorker, &ProcessIOWorker::startReading);
    m_outputThread->start(QThread::InheritPriority);
}

bool ManagedProcess::stopWorkers(int waitMs)
{
    bool allStopped = true;
    if (m_monitorWorker)
        m_monitorWorker->stopMonitoring();
    if (m_monitorThread) {
        m_monitorThread->quit();
        if (m_monitorThread->wait(waitMs)) {
            delete m_monitorWorker;
            delete m_monitorThread;
        } else {
            qCWarning(lcKestd) << "[ManagedProcess] Monitor thread of" << m_info.id << "did not stop, leaving it";
            m_monitorThread->setParent(nullptr);
            allStopped = false;
        }
        m_monitorThread = nullptr;
        m_monitorWorker = nullptr;
    }
    if (m_outputWorker)
        m_outputWorker->stopReading();
    if (m_outputThread) {
        m_outputThread->quit();
        if (m_outputThread->wait(waitMs)) {
            delete m_outputWorker;
            delete m_outputThread;
        } else {
            qCWarning(lcKestd) << "[ManagedProcess] Output thread of" << m_info.id << "did not stop, leaving it";
            m_outputThread->setParent(nullptr);
            allStopped = false;
        }
        m_outputThread = nullptr;
        m_outputWorker = nullptr;
    }
    return allStopped;
}

void ManagedProcess::cleanup()
{
    // The notifier watches the stdin fd closed below.
    dropStdin();
    if (stopWorkers(kCleanupThreadWaitMs)) {
        ChildProcess::closeHandle(m_info.stdinWrite);
        ChildProcess::closeHandle(m_info.stdoutRead);
        ChildProcess::closeHandle(m_info.stderrRead);
    } else {
        // A thread left behind may still read these fds: leave them open
        // rather than let it read someone else's.
        m_info.stdoutRead = m_info.stderrRead = ChildProcess::kNoHandle;
        ChildProcess::closeHandle(m_info.stdinWrite);
    }
    ChildProcess::releaseProcess(m_info.processHandle);
    m_info.pid = -1;
    setState(ProcessInfo::kNotRunning);
    m_cgroup.reset();
    delete m_dnsOverride;
    m_dnsOverride = nullptr;
}

void ManagedProcess::attachDnsOverride(InterfaceDnsOverride *dnsOverride)
{
    delete m_dnsOverride;
    m_dnsOverride = dnsOverride;
    dnsOverride->setParent(this);
}

void ManagedProcess::endRemainingProcesses()
{
    if (!m_cgroup || !m_cgroup->isPopulated())
        return;
    int error = 0;
    if (m_cgroup->killAll(&error))
        qCDebug(lcKestd) << "[ProcessManager] Ended the processes left in the cgroup of" << m_info.id;
    else
        qCWarning(lcKestd) << "[ProcessManager] Failed to end the processes left in the cgroup of" << m_info.id
                           << "- error:" << error;
}

void ManagedProcess::setState(int state)
{
    m_info.state = state;
    m_sharedState = state;
}

void ManagedProcess::onWindowsProcessExited(int exitCode, quint64 launchNumber)
{
    qCDebug(lcKestd) << "[ProcessManager::onWindowsProcessExited] CALLED for process" << m_info.id
                     << "with exit code" << exitCode;
    QTimer::singleShot(0, this, [this, exitCode, launchNumber] {
        // A report that crossed a cleanup (kill, forced stop) belongs to a
        // child that is already forgotten.
        if (launchNumber != m_launchNumber || m_info.processHandle == ChildProcess::kNoHandle) {
            qCDebug(lcKestd) << "[ManagedProcess] Ignoring exit report of an earlier launch of" << m_info.id;
            return;
        }
        handleProcessExit(exitCode);
    });
    qCDebug(lcKestd) << "[ProcessManager::onWindowsProcessExited] Queued handleProcessExit via QTimer::singleShot";
}

void ManagedProcess::handleProcessExit(int exitCode)
{
    qCDebug(lcKestd) << "[ProcessManager::handleProcessExit] Processing in main thread for" << m_info.id;
    m_killTimer.stop();
    setState(ProcessInfo::kNotRunning);
    m_info.pid = -1;
    qCDebug(lcKestd) << "[ProcessManager] Process" << m_info.id << "exited with code" << exitCode
                     << "- autoRestart:" << m_info.autoRestart << "restartAttempts:" << m_info.restartAttempts
                     << "maxRestartAttempts:" << m_info.maxRestartAttempts;
    endRemainingProcesses();
    // The output worker reads what is left in the pipes before its thread ends;
    // what it emitted is queued ahead of anything posted from here on.
    cleanup();

    if (m_info.autoRestart && exitCode != 0) {
        if (m_info.restartAttempts < m_info.maxRestartAttempts) {
            ++m_info.restartAttempts;
            qCInfo(lcKestd) << "[ProcessManager] Process" << m_info.id << "crashed (exit code" << exitCode
                            << "), scheduling restart attempt" << m_info.restartAttempts << "of"
                            << m_info.maxRestartAttempts << "in" << m_info.restartDelayMs << "ms";
            m_restartTimer.start(m_info.restartDelayMs);
            return;
        }
        qCWarning(lcKestd) << "[ProcessManager] Process" << m_info.id << "exceeded max restart attempts ("
                           << m_info.maxRestartAttempts << "), giving up";
    }
    // Queued behind the last output of the child, so that "stdout"/"stderr"
    // still precede "finished".
    QMetaObject::invokeMethod(
        this, [this, exitCode] { emit processFinished(m_info.id, exitCode); }, Qt::QueuedConnection);
}

void ManagedProcess::attemptRestart()
{
    qCInfo(lcKestd) << "[ProcessManager] Attempting to restart process" << m_info.id << "(attempt"
                    << m_info.restartAttempts << "of" << m_info.maxRestartAttempts << ")";
    loadSpec(m_savedRequest);
    if (startWindowsProcess()) {
        qCInfo(lcKestd) << "[ProcessManager] Process" << m_info.id << "restarted successfully";
        return;
    }
    qCWarning(lcKestd) << "[ProcessManager] Failed to restart process" << m_info.id;
    ++m_info.restartAttempts;
    if (m_info.restartAttempts < m_info.maxRestartAttempts) {
        qCInfo(lcKestd) << "[ProcessManager] Scheduling restart attempt" << m_info.restartAttempts << "of"
                        << m_info.maxRestartAttempts << "in" << m_info.restartDelayMs << "ms";
        m_restartTimer.start(m_info.restartDelayMs);
        return;
    }
    qCWarning(lcKestd) << "[ProcessManager] Process" << m_info.id << "exceeded max restart attempts ("
                       << m_info.maxRestartAttempts << "), giving up";
    setState(ProcessInfo::kNotRunning);
    m_info.processHandle = ChildProcess::kNoHandle;
    emit processFinished(m_info.id, -1);
}

void ManagedProcess::stop(int timeoutMs)
{
    qCDebug(lcKestd) << "[ManagedProcess::stop] Called for process" << m_info.id << "with timeout" << timeoutMs;
    if (m_restartTimer.isActive()) {
        qCDebug(lcKestd) << "[ManagedProcess::stop] Canceling pending restart for process" << m_info.id;
        m_restartTimer.stop();
    }
    m_info.autoRestart = false;
    m_info.restartAttempts = 0;
    if (m_info.processHandle == ChildProcess::kNoHandle) {
        qCDebug(lcKestd) << "[ManagedProcess::stop] Process" << m_info.id << "already not running (no handle)";
        return;
    }
    qCDebug(lcKestd) << "[ManagedProcess::stop] Terminating process" << m_info.id << "with PID" << m_info.pid;
    if (!sendCtrlC()) {
        qCWarning(lcKestd) << "[ManagedProcess::stop] Failed to send Ctrl+C to process" << m_info.id
                           << ", killing immediately (handle:"
                           << (m_info.processHandle != ChildProcess::kNoHandle ? "valid" : "null") << ")";
        forceTerminate();
        return;
    }
    if (timeoutMs <= 0)
        return;
    m_killTimer.start(timeoutMs);
    qCDebug(lcKestd) << "[ManagedProcess::stop] Kill timer started for" << timeoutMs << "ms";
}

void ManagedProcess::kill()
{
    m_killTimer.stop();
    // A kill also ends a crash/restart cycle: no relaunch may follow it.
    m_restartTimer.stop();
    m_info.autoRestart = false;
    if (m_info.processHandle == ChildProcess::kNoHandle)
        return;
    qCDebug(lcKestd) << "Killing process" << m_info.id << "with PID" << m_info.pid;
    forceTerminate();
}

void ManagedProcess::stopKillTimer()
{
    m_killTimer.stop();
}

bool ManagedProcess::sendCtrlC()
{
    if (m_info.processHandle == ChildProcess::kNoHandle)
        return false;
    qCDebug(lcKestd) << "[ProcessManager] Sending Ctrl+C to process" << m_info.pid;
    return ChildProcess::interruptGroup(m_info.pid);
}

void ManagedProcess::forceTerminate()
{
    if (m_info.processHandle == ChildProcess::kNoHandle) {
        qCWarning(lcKestd) << "[ProcessManager] Cannot kill process" << m_info.id << "- no handle";
        return;
    }
    qCInfo(lcKestd) << "[ProcessManager] Forcefully terminating process" << m_info.id << "with PID" << m_info.pid;
    int error = 0;
    // The cgroup holds every descendant, also those that left the process group.
    bool killed = m_cgroup && m_cgroup->killAll(&error);
    if (!killed)
        killed = ChildProcess::killGroup(m_info.pid, &error);
    if (!killed)
        killed = ChildProcess::killProcess(m_info.processHandle, &error);
    if (killed)
        qCInfo(lcKestd) << "[ProcessManager] SIGKILL succeeded for" << m_info.id;
    else
        qCWarning(lcKestd) << "[ProcessManager] SIGKILL failed for" << m_info.id << "with error:" << error;
    cleanup();
}

bool ManagedProcess::isRunning() const
{
    if (m_info.processHandle == ChildProcess::kNoHandle || m_info.state != ProcessInfo::kRunning)
        return false;
    int exitCode = 0;
    int error = 0;
    switch (ChildProcess::queryExit(m_info.processHandle, &exitCode, &error)) {
    case ChildProcess::ExitQuery::StillActive:
        return true;
    case ChildProcess::ExitQuery::Exited:
        qCDebug(lcKestd) << "[ManagedProcess] Process" << m_info.id << "has exited with code" << exitCode
                         << "but cleanup incomplete";
        return false;
    case ChildProcess::ExitQuery::Failed:
        qCDebug(lcKestd) << "[ManagedProcess] waitid failed for" << m_info.id << "- error:" << error;
        return false;
    }
    return false;
}

bool ManagedProcess::writeToStdin(const QByteArray &data)
{
    if (m_info.stdinWrite == ChildProcess::kNoHandle || m_info.state != ProcessInfo::kRunning)
        return true;
    if (data.isEmpty())
        return true;
    if (pendingStdinBytes() + data.size() > kMaxPendingStdinBytes) {
        qCWarning(lcKestd) << "[ManagedProcess] Stdin of" << m_info.id << "has" << pendingStdinBytes()
                           << "bytes pending; refusing" << data.size() << "more";
        return false;
    }
    m_pendingStdin.append(data);
    drainStdin();
    return true;
}

void ManagedProcess::drainStdin()
{
    if (m_info.stdinWrite == ChildProcess::kNoHandle) {
        dropStdin();
        return;
    }
    bool closed = false;
    const qint64 written = ChildProcess::writeSome(m_info.stdinWrite, m_pendingStdin.constData() + m_pendingStdinOffset,
                                                   pendingStdinBytes(), &closed);
    m_pendingStdinOffset += written;
    if (closed) {
        qCWarning(lcKestd) << "[ManagedProcess] Stdin of" << m_info.id << "is closed; dropping"
                           << pendingStdinBytes() << "bytes";
        dropStdin();
        return;
    }
    if (pendingStdinBytes() == 0) {
        m_pendingStdin.clear();
        m_pendingStdinOffset = 0;
        if (m_stdinNotifier)
            m_stdinNotifier->setEnabled(false);
        return;
    }
    if (m_pendingStdinOffset > m_pendingStdin.size() / 2) {
        m_pendingStdin.remove(0, m_pendingStdinOffset);
        m_pendingStdinOffset = 0;
    }
    if (!m_stdinNotifier) {
        m_stdinNotifier = new QSocketNotifier(m_info.stdinWrite, QSocketNotifier::Write, this);
        connect(m_stdinNotifier, &QSocketNotifier::activated, this, &ManagedProcess::drainStdin);
    }
    m_stdinNotifier->setEnabled(true);
}

void ManagedProcess::dropStdin()
{
    delete m_stdinNotifier;
    m_stdinNotifier = nullptr;
    m_pendingStdin.clear();
    m_pendingStdin.squeeze();
    m_pendingStdinOffset = 0;
}
