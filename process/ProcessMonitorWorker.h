#pragma once
// Watches one launched child from a thread of its own: one blocking wait until
// the child exits (reported once, with its exit code) or the worker is told to
// stop (reported never).

#include "process/ChildProcess.h"

#include <QObject>

#include <atomic>

class ProcessMonitorWorker : public QObject
{
    Q_OBJECT
public:
    // The process handle is borrowed and never closed here; the stop event
    // (ChildProcess::createEvent) is taken over and closed with the worker.
    ProcessMonitorWorker(ChildProcess::Handle processHandle, ChildProcess::Handle stopEvent,
                         QObject *parent = nullptr);
    ~ProcessMonitorWorker() override;

    bool isMonitoring() const { return m_running.load(); }

signals:
    void processExited(int exitCode);

public slots:
    void startMonitoring();
    // Callable from any thread; also effective before monitoring has begun.
    void stopMonitoring();

private:
    ChildProcess::Handle m_processHandle;
    ChildProcess::Handle m_stopEvent;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
};
