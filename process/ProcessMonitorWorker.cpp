#include "process/ProcessMonitorWorker.h"

#include "base/DaemonLog.h"

ProcessMonitorWorker::ProcessMonitorWorker(ChildProcess::Handle processHandle, ChildProcess::Handle stopEvent,
                                           QObject *parent)
    : QObject(parent)
    , m_processHandle(processHandle)
    , m_stopEvent(stopEvent)
{
}

ProcessMonitorWorker::~ProcessMonitorWorker()
{
    stopMonitoring();
    ChildProcess::closeHandle(m_stopEvent);
}

void ProcessMonitorWorker::startMonitoring()
{
    if (m_processHandle == ChildProcess::kNoHandle || m_stopEvent == ChildProcess::kNoHandle)
        return;
    if (m_stopRequested.load())
        return;
    m_running = true;
    qCDebug(lcKestd) << "[ProcessMonitorWorker] Starting process monitoring";

    int error = 0;
    const ChildProcess::WaitResult result = ChildProcess::waitForExitOrEvent(m_processHandle, m_stopEvent, &error);

    // A stop requested meanwhile wins, even when the child ended at the same moment.
    if (m_stopRequested.load()) {
        qCDebug(lcKestd) << "[ProcessMonitorWorker] Monitoring stopped";
        m_running = false;
        return;
    }
    switch (result) {
    case ChildProcess::WaitResult::ProcessEnded: {
        int exitCode = 0;
        int queryError = 0;
        if (ChildProcess::queryExit(m_processHandle, &exitCode, &queryError) != ChildProcess::ExitQuery::Exited)
            exitCode = 0;
        qCDebug(lcKestd) << "[ProcessMonitorWorker] Process exited with code:" << exitCode << "- about to emit signal";
        emit processExited(exitCode);
        qCDebug(lcKestd) << "[ProcessMonitorWorker] Signal emitted successfully, m_running:" << m_running.load();
        break;
    }
    case ChildProcess::WaitResult::EventSignalled:
        qCDebug(lcKestd) << "[ProcessMonitorWorker] Stop event signaled";
        break;
    case ChildProcess::WaitResult::Failed:
        qCWarning(lcKestd) << "[ProcessMonitorWorker] poll failed:" << error;
        break;
    }
    m_running = false;
}

void ProcessMonitorWorker::stopMonitoring()
{
    if (m_stopEvent == ChildProcess::kNoHandle || m_stopRequested.exchange(true))
        return;
    if (m_running.load())
        qCDebug(lcKestd) << "[ProcessMonitorWorker] Signaling stop event";
    m_running = false;
    ChildProcess::setEvent(m_stopEvent);
}
