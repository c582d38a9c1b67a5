#include "tools/ReplyView.h"

#include "tools/TextTable.h"

#include <QJsonArray>

#include <algorithm>
#include <array>

namespace {

using Align = TextTable::Align;
using Cut = TextTable::Cut;

QString endpoint(const QJsonObject &flow, const char *address, const char *port)
{
    return flow.value(address).toString() + ':' + QString::number(flow.value(port).toInteger());
}

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString field(const QString &name, const QString &value)
{
    return (name + ':').leftJustified(11) + value + '\n';
}

// "3 (malformed 2, not-ready 1)": the non-zero reasons, most first.
QString droppedText(const QJsonObject &reasons)
{
    QList<std::pair<qint64, QString>> counts;
    qint64 total = 0;
    for (auto it = reasons.begin(); it != reasons.end(); ++it) {
        const qint64 n = it.value().toInteger();
        total += n;
        if (n > 0)
            counts.append({n, it.key()});
    }
    std::stable_sort(counts.begin(), counts.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList parts;
    for (const auto &[n, reason] : counts)
        parts << reason + ' ' + QString::number(n);
    return parts.isEmpty() ? QString::number(total) : QStringLiteral("%1 (%2)").arg(total).arg(parts.join(", "));
}

QString tunTotals(const QJsonObject &tun)
{
    QString out;
    if (tun.contains("bytes-up") || tun.contains("bytes-down"))
        out += field("traffic", QStringLiteral("%1 up, %2 down")
                                    .arg(ReplyView::formatBytes(tun.value("bytes-up").toInteger()),
                                         ReplyView::formatBytes(tun.value("bytes-down").toInteger())));
    if (tun.contains("tcp-relays") || tun.contains("udp-sessions"))
        out += field("flows", QStringLiteral("%1 TCP relays, %2 UDP sessions")
                                  .arg(tun.value("tcp-relays").toInteger())
                                  .arg(tun.value("udp-sessions").toInteger()));
    if (tun.contains("dns-answered"))
        out += field("dns", QStringLiteral("%1 answered").arg(tun.value("dns-answered").toInteger()));
    if (tun.value("dropped").isObject())
        out += field("dropped", droppedText(tun.value("dropped").toObject()));
    return out;
}

QString processState(const QJsonObject &process)
{
    if (process.value("running").toBool())
        return QStringLiteral("running");
    return process.value("state").toInt() == 1 ? QStringLiteral("starting") : QStringLiteral("stopped");
}

qint64 flowBytes(const QJsonObject &flow)
{
    return flow.value("bytes-up").toInteger() + flow.value("bytes-down").toInteger();
}

} // namespace

QString ReplyView::formatBytes(qint64 bytes)
{
    static constexpr std::array kUnits = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    double value = double(bytes);
    std::size_t unit = 0;
    // Up a unit before the one-decimal text would read "1024.0".
    for (value /= 1024; value >= 1023.95 && unit + 1 < kUnits.size(); value /= 1024)
        ++unit;
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(kUnits[unit]));
}

QString ReplyView::formatAge(qint64 ms)
{
    const qint64 s = std::max<qint64>(ms, 0) / 1000;
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (s < 60)
        return QStringLiteral("%1s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1m%2s").arg(s / 60).arg(two(s % 60));
    if (s < 86400)
        return QStringLiteral("%1h%2m").arg(s / 3600).arg(two(s / 60 % 60));
    return QStringLiteral("%1d%2h").arg(s / 86400).arg(two(s / 3600 % 24));
}

QString ReplyView::statusText(const QJsonObject &greeting, const QJsonObject &tunStatus)
{
    QString out = field("daemon", "kestd " + greeting.value("daemon-version").toString());
    out += field("privilege", greeting.value("privilege-level").toInt() > 0 ? QStringLiteral("elevated")
                                                                             : QStringLiteral("not elevated"));
    const bool running = tunStatus.value("running").toBool();
    out += field("tun", running ? QStringLiteral("on") : QStringLiteral("off"));
    if (!running)
        return out;
    out += field("adapter", orDash(tunStatus.value("adapter-name").toString()));
    return out + tunTotals(tunStatus);
}

QString ReplyView::processTable(const QJsonObject &listReply, int maxWidth)
{
    QList<QJsonObject> processes;
    for (const QJsonValue &v : listReply.value("processes").toArray())
        processes << v.toObject();
    std::sort(processes.begin(), processes.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value("process-id").toString() < b.value("process-id").toString();
    });
    TextTable table({{"ID", Align::Left, Cut::End}, {"PID", Align::Right}, {"STATE"}});
    for (const QJsonObject &p : std::as_const(processes)) {
        const qint64 pid = p.value("pid").toInteger(-1);
        table.addRow({p.value("process-id").toString(), pid > 0 ? QString::number(pid) : QStringLiteral("-"),
                      processState(p)});
    }
    return table.render(maxWidth);
}

QString ReplyView::connectionTable(const QJsonObject &reply, int maxWidth, int maxRows)
{
    QList<QJsonObject> flows;
    for (const QJsonValue &v : reply.value("connections").toArray())
        flows << v.toObject();
    std::stable_sort(flows.begin(), flows.end(), [](const QJsonObject &a, const QJsonObject &b) {
        if (flowBytes(a) != flowBytes(b))
            return flowBytes(a) > flowBytes(b);
        return a.value("age-ms").toInteger() > b.value("age-ms").toInteger();
    });
    // On a narrow terminal the source (mostly the tunnel's own address) goes
    // first, then the age.
    TextTable table({{"PROTO"},
                     {"SOURCE", Align::Left, Cut::Never, 1},
                     {"DESTINATION"},
                     {"HOST", Align::Left, Cut::End},
                     {"PROCESS", Align::Left, Cut::Start},
                     {"ROUTE"},
                     {"UP", Align::Right},
                     {"DOWN", Align::Right},
                     {"AGE", Align::Right, Cut::Never, 2}});
    const qsizetype shown = maxRows > 0 ? std::min<qsizetype>(maxRows, flows.size()) : flows.size();
    for (qsizetype i = 0; i < shown; ++i) {
        const QJsonObject &f = flows[i];
        table.addRow({f.value("protocol").toString(), endpoint(f, "source", "source-port"),
                      endpoint(f, "destination", "destination-port"), orDash(f.value("host").toString()),
                      orDash(f.value("process").toString()), f.value("route").toString(),
                      formatBytes(f.value("bytes-up").toInteger()), formatBytes(f.value("bytes-down").toInteger()),
                      formatAge(f.value("age-ms").toInteger())});
    }
    QString out = table.render(maxWidth);
    // The daemon lists a bounded number of flows; "total" counts them all.
    const qint64 total = std::max<qint64>(reply.value("total").toInteger(flows.size()), flows.size());
    if (shown < total)
        out += QStringLiteral("(%1 of %2 connections shown)\n").arg(shown).arg(total);
    return out;
}

QString ReplyView::explorerTable(const QJsonObject &processList, int maxWidth)
{
    QList<QJsonObject> rows;
    for (const QJsonValue &v : processList.value("processes").toArray())
        rows << v.toObject();
    std::sort(rows.begin(), rows.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value("pid").toInteger() < b.value("pid").toInteger();
    });
    TextTable table({{"PID", Align::Right},
                     {"PPID", Align::Right},
                     {"NAME", Align::Left, Cut::End},
                     {"MEMORY", Align::Right},
                     {"THREADS", Align::Right},
                     {"PATH", Align::Left, Cut::Start}});
    for (const QJsonObject &r : std::as_const(rows))
        table.addRow({QString::number(r.value("pid").toInteger()), QString::number(r.value("ppid").toInteger()),
                      r.value("name").toString(), formatBytes(r.value("memory").toInteger()),
                      QString::number(r.value("threads").toInteger()), orDash(r.value("path").toString())});
    return table.render(maxWidth);
}

QJsonObject ReplyView::withoutIcons(const QJsonObject &processList)
{
    QJsonObject out = processList;
    QJsonArray rows;
    for (const QJsonValue &v : processList.value("processes").toArray()) {
        QJsonObject row = v.toObject();
        row.remove("icon");
        rows << row;
    }
    if (processList.contains("processes"))
        out.insert("processes", rows);
    return out;
}
