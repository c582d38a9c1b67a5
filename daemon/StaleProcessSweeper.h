#pragma once
// Runs the stale-process clean-up of a session off the event loop, for the
// leftovers of one user there. A request for a session and user whose sweep is
// under way asks for one more sweep after it, so a burst of departures costs at
// most two scans of the process table per session and user, and the event loop
// never waits for one. Results come back to the
// event-loop thread as a signal.

#include "daemon/StaleProcessKiller.h"

#include <QHash>
#include <QObject>
#include <QThreadPool>

#include <utility>

class StaleProcessSweeper : public QObject
{
    Q_OBJECT
public:
    // The sweeping thread ends when it has had nothing to do for this long.
    static constexpr int kIdleThreadMs = 2000;

    // With no table the system's /proc is used; the table is borrowed and
    // must be safe to use from another thread.
    explicit StaleProcessSweeper(const StaleProcessKiller::ProcessTable *table = nullptr, QObject *parent = nullptr);
    // Waits for the sweep under way; queued ones are dropped.
    ~StaleProcessSweeper() override;

    void requestSweep(quint32 sessionId, qint64 uid);
    // No sweep is under way or queued.
    bool isIdle() const { return m_sweeps.isEmpty(); }

signals:
    void sweepFinished(quint32 sessionId, int killed);

private:
    using Sweep = std::pair<quint32, qint64>; // session, uid
    void startSweep(Sweep sweep);
    void onSweepDone(Sweep sweep, int killed);

    const StaleProcessKiller::ProcessTable *m_table;
    // Sweeps under way; the value says whether another was asked for meanwhile.
    QHash<Sweep, bool> m_sweeps;
    QThreadPool m_pool;
};
