#pragma once
// The daemon's replies as people read them: the status summary, tables of
// managed processes, TUN flows and the process explorer's list, and the units
// they are shown in.

#include <QJsonObject>
#include <QString>

class ReplyView
{
public:
    // 1023 B, 1.5 KiB, 20.0 MiB ...
    static QString formatBytes(qint64 bytes);
    // 42s, 3m07s, 2h05m, 3d04h
    static QString formatAge(qint64 ms);

    // The "connected" greeting and the "tun-status" reply as "key: value" lines.
    static QString statusText(const QJsonObject &greeting, const QJsonObject &tunStatus);
    // The "list" reply, by process id.
    static QString processTable(const QJsonObject &listReply, int maxWidth);
    // The "tun-connections" reply, most bytes first; maxRows 0 shows all rows,
    // else the rest are summed up in one line.
    static QString connectionTable(const QJsonObject &reply, int maxWidth, int maxRows = 0);
    // A "process-list" event, by pid.
    static QString explorerTable(const QJsonObject &processList, int maxWidth);
    // The event with its rows' "icon" keys removed.
    static QJsonObject withoutIcons(const QJsonObject &processList);
};
