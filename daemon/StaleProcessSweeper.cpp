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

void StaleProcessSweeper::requestSweep(quint32 sessionId)
{
    const auto running = m_sweeps.find(sessionId);
    if (running != m_sweeps.end()) {
        // The sweep under way may have read the process table already.
        *running = true;
        return;
    }
    m_sweeps.insert(sessionId, false);
    startSweep(sessionId);
}

void StaleProcessSweeper::startSweep(quint32 sessionId)
{
    const StaleProcessKiller::ProcessTable *table = m_table;
    m_pool.start([this, table, sessionId] {
        const int killed = StaleProcessKiller(table).killStaleProcesses(sessionId);
        QMetaObject::invokeMethod(this, [this, sessionId, killed] { onSweepDone(sessionId, killed); },
                                  Qt::QueuedConnection);
    });
}

void StaleProcessSweeper::onSweepDone(quint32 sessionId, int killed)
{
    const auto it = m_sweeps.find(sessionId);
    const bool again = it != m_sweeps.end() && *it;
    if (again) {
        *it = false;
        startSweep(sessionId);
    } else {
        m_sweeps.remove(sessionId);
    }
    emit sweepFinished(sessionId, killed);
}
