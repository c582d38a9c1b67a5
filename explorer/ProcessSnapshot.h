#pragma once
// The machine's process list read from /proc: one row per process whose
// executable path can be read (kernel threads and vanished processes are left
// out), with parent, resident memory, threads, start time and session.

#include "explorer/ProcessEntry.h"

#include <QList>

class ProcessSnapshot
{
public:
    // Boot time is re-derived when the clock has moved by more than this.
    static constexpr qint64 kBootTimeDriftMs = 1000;

    // The rows in /proc order; empty (and a warning) when /proc cannot be read.
    QList<ProcessEntry> take();

    // Milliseconds since the epoch at which the system booted, stable between
    // calls unless the wall clock is stepped.
    qint64 bootTimeMs();

private:
    bool readProcess(quint32 pid, ProcessEntry &entry);

    qint64 m_bootTimeMs = 0;
    long m_ticksPerSecond = 0;
    long m_pageSize = 0;
};
