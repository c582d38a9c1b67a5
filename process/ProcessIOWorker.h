#pragma once
// Relays one child's stdout and stderr from a thread of its own: waits until a
// pipe is readable, reads it in pieces of at most 4096 bytes and emits what it
// read. When told to stop (or the child is no longer running) it first reads
// what is still in the pipes, so output written just before an exit is kept.

#include "process/ChildProcess.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

class ProcessIOWorker : public QObject
{
    Q_OBJECT
public:
    // Re-checks the owner's state at least this often.
    static constexpr int kPollIntervalMs = 50;
    // Output emitted at once is gathered up to this size from consecutive reads.
    static constexpr qint64 kMaxEmitBytes = 65536;
    // Output read and not yet sent on to the client; above this the worker
    // stops reading, so a fast child is held back by its full pipe instead of
    // by the daemon's memory. Two flushes' worth of the process manager.
    static constexpr qint64 kMaxUndeliveredBytes = 4 * 1024 * 1024;
    static constexpr int kBackPressureWaitMs = 10;
    // Bound of the final read after a stop, per pipe (a grandchild may keep
    // the pipe open and writing).
    static constexpr qint64 kMaxFinalDrainBytes = 1024 * 1024;

    // The pipe ends and the two counters are borrowed from the owner, which
    // outlives the worker's thread. Either pipe may be kNoHandle. The wake-up
    // event (ChildProcess::createEvent) is taken over and closed with the worker.
    ProcessIOWorker(const QString &processId, ChildProcess::Handle stdoutRead,
                    ChildProcess::Handle stderrRead, ChildProcess::Handle wakeEvent,
                    const std::atomic<int> *ownerState, std::atomic<qint64> *undeliveredBytes,
                    QObject *parent = nullptr);
    ~ProcessIOWorker() override;

signals:
    void stdoutReady(const QString &processId, const QByteArray &data);
    void stderrReady(const QString &processId, const QByteArray &data);

public slots:
    void startReading();
    // Callable from any thread; also effective before reading has begun.
    void stopReading();

private:
    enum class Stream { Stdout, Stderr };
    // Reads what is available on one pipe, up to limit bytes, and emits it;
    // returns the byte count. Clears the handle once the pipe has reached its
    // end or failed.
    qint64 relay(ChildProcess::Handle &pipe, Stream stream, qint64 limit);
    void emitData(Stream stream, const QByteArray &data);

    QString m_processId;
    ChildProcess::Handle m_stdoutRead;
    ChildProcess::Handle m_stderrRead;
    const std::atomic<int> *m_ownerState;
    std::atomic<qint64> *m_undeliveredBytes;
    ChildProcess::Handle m_wakeEvent;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
};
