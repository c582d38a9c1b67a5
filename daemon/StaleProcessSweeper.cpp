#include "daemon/StaleProcessSweeper.h"

StaleProcessSweeper::StaleProcessSweeper(const StaleProcessKiller::ProcessTable *table, QObject *parent)
    : QObject(parent)
    , m_table(table)
{
    // One scan at a time is enough: they are rare once folded together.
    m_pool.setMaxThreadCount(1);
    m_pool.setExpiryTimeout(kIdleThreadMs);
}

StaleProcessSweeper::~StaleProcessSweeper()
{
    m_pool.clear();
    m_pool.waitForDone();
}

void StaleProcessSweeper::requestSweep(quint32 sessionId, qint64 uid)
{
    const Sweep sweep{sessionId, uid};
    const auto running = m_sweeps.find(sweep);
    if (running != m_sweeps.end()) {
        // The sweep under way may have read the process table already.
        *running = true;
        return;
    }
    m_sweeps.insert(sweep, false);
    startSweep(sweep);
}

void StaleProcessSweeper::startSweep(Sweep sweep)
{
    const StaleProcessKiller::ProcessTable *table = m_table;
    m_pool.start([this, table, sweep] {
        const int killed = StaleProcessKiller(table).killStaleProcesses(sweep.first, sweep.second);
        QMetaObject::invokeMethod(this, [this, sweep, killed] { onSweepDone(sweep, killed); }, Qt::QueuedConnection);
    });
}

void StaleProcessSweeper::onSweepDone(Sweep sweep, int killed)
{
    const auto it = m_sweeps.find(sweep);
    const bool again = it != m_sweeps.end() && *it;
    if (again) {
        *it = false;
        startSweep(sweep);
    } else {
        m_sweeps.remove(sweep);
    }
    emit sweepFinished(sweep.first, killed);
}
