#pragma once
// The machine's process list read from /proc: one row per process whose
// executable path can be read (kernel threads and vanished processes are left
// out), with parent, resident memory, threads, start time and session.

#include "explorer/ProcessEntry.h"

#include <QHash>
#include <QList>

class ProcessSnapshot
{
public:
    // Boot time is re-derived when the clock has moved by more than this.
    static constexpr qint64 kBootTimeDriftMs = 1000;
    // A process's session is asked again after this long (it is set once, at
    // login, so it rarely changes; asking costs more than the rest of a row).
    static constexpr qint64 kSessionRecheckMs = 10000;

    // The rows in /proc order; empty (and a warning) when /proc cannot be read.
    QList<ProcessEntry> take();

    // Milliseconds since the epoch at which the system booted, stable between
    // calls unless the wall clock is stepped.
    qint64 bootTimeMs();

private:
    struct KnownSession
    {
        qint64 created;
        quint32 session;
        qint64 checkedMs;
    };

    bool readProcess(quint32 pid, ProcessEntry &entry);
    quint32 sessionOf(const ProcessEntry &entry, qint64 nowMs);

    qint64 m_bootTimeMs = 0;
    long m_ticksPerSecond = 0;
    long m_pageSize = 0;
    QHash<quint32, KnownSession> m_sessions;
    QHash<quint32, KnownSession> m_nextSessions;
};
