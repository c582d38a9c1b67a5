#pragma once
// One row of a process snapshot, as the "process-list" message carries it.

#include <QString>
#include <QtGlobal>

struct ProcessEntry
{
    quint32 pid = 0;
    quint32 ppid = 0;
    QString name;
    QString path;
    QString icon;
    quint64 memory = 0;
    quint32 threads = 0;
    qint64 created = 0;
    quint32 session = 0;
    // Owner of the process; chooses whose desktop entries name its icon. Not sent.
    quint32 uid = 0;
};
