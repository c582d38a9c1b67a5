#include "explorer/ProcessExplorerWorker.h"

#include "explorer/ExplorerLog.h"
#include "explorer/IconExtractor.h"

#include <QDateTime>
#include <QJsonArray>
#include <QTimer>

ProcessExplorerWorker::ProcessExplorerWorker(QObject *parent)
    : ProcessExplorerWorker(std::make_unique<IconExtractor>(), parent)
{
}

ProcessExplorerWorker::ProcessExplorerWorker(std::unique_ptr<IconExtractor> extractor, QObject *parent)
    : QObject(parent), m_extractor(std::move(extractor))
{
}

ProcessExplorerWorker::~ProcessExplorerWorker()
{
    stopPolling();
}

void ProcessExplorerWorker::startPolling(int intervalMs, bool includeIcons, int iconSize)
{
    if (m_running) {
        emit errorOccurred(QStringLiteral("Worker already running"));
        return;
    }
    m_intervalMs = intervalMs;
    m_includeIcons = includeIcons;
    setIconSize(iconSize);
    if (!m_updateTimer) {
        m_updateTimer = new QTimer(this);
        connect(m_updateTimer, &QTimer::timeout, this, &ProcessExplorerWorker::onUpdateTimer);
    }
    m_running = true;
    m_updateTimer->start(m_intervalMs);
    qCInfo(lcProcessExplorer) << "Worker started with interval" << m_intervalMs << "ms, icons:" << m_includeIcons;
    // The first list follows the start at once.
    QTimer::singleShot(0, this, &ProcessExplorerWorker::onUpdateTimer);
}

void ProcessExplorerWorker::stopPolling()
{
    if (!m_running)
        return;
    m_running = false;
    if (m_updateTimer)
        m_updateTimer->stop();
    qCInfo(lcProcessExplorer) << "Worker stopped";
}

void ProcessExplorerWorker::updateConfig(int intervalMs, bool includeIcons, int iconSize)
{
    m_intervalMs = intervalMs;
    m_includeIcons = includeIcons;
    setIconSize(iconSize);
    if (m_running && m_updateTimer)
        m_updateTimer->setInterval(m_intervalMs);
    qCInfo(lcProcessExplorer) << "Worker config updated: interval=" << m_intervalMs << "icons=" << m_includeIcons
                              << "iconSize=" << m_iconSize;
}

void ProcessExplorerWorker::setIconSize(int iconSize)
{
    if (iconSize == m_iconSize)
        return;
    m_iconSize = iconSize;
    // Cached icons have the old edge; keeping them would send mixed sizes.
    if (m_iconCache.size() > 0) {
        m_iconCache.clear();
        qCInfo(lcProcessExplorer) << "Icon cache cleared for icon size" << m_iconSize;
    }
}

void ProcessExplorerWorker::clearIconCache()
{
    m_iconCache.clear();
    qCInfo(lcProcessExplorer) << "Icon cache cleared";
}

void ProcessExplorerWorker::onUpdateTimer()
{
    if (!m_running)
        return;
    emit processListReady(buildProcessListMessage(takeSnapshot()));
}

QList<ProcessEntry> ProcessExplorerWorker::takeSnapshot()
{
    QList<ProcessEntry> rows = m_snapshot.take();
    if (!m_includeIcons)
        return rows;
    m_extractor->refresh();
    for (ProcessEntry &row : rows) {
        // A session's user may have desktop entries of their own.
        const auto owner = row.session != 0 ? std::optional<quint32>(row.uid) : std::nullopt;
        if (!row.path.isEmpty())
            row.icon = getIcon(row.path, owner);
    }
    return rows;
}

QJsonObject ProcessExplorerWorker::buildProcessListMessage(const QList<ProcessEntry> &rows) const
{
    QJsonArray processes;
    for (const ProcessEntry &row : rows) {
        QJsonObject item{
            {QStringLiteral("pid"), qint64(row.pid)},
            {QStringLiteral("ppid"), qint64(row.ppid)},
            {QStringLiteral("name"), row.name},
            {QStringLiteral("path"), row.path},
            {QStringLiteral("memory"), qint64(row.memory)},
            {QStringLiteral("threads"), qint64(row.threads)},
            {QStringLiteral("session"), qint64(row.session)},
            {QStringLiteral("created"), row.created},
        };
        if (!row.icon.isEmpty())
            item.insert(QStringLiteral("icon"), row.icon);
        processes.append(item);
    }
    return QJsonObject{
        {QStringLiteral("event"), QStringLiteral("process-list")},
        {QStringLiteral("timestamp"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {QStringLiteral("count"), qint64(rows.size())},
        {QStringLiteral("processes"), processes},
    };
}

QString ProcessExplorerWorker::getIcon(const QString &path, std::optional<quint32> owner)
{
    if (path.isEmpty())
        return {};
    const QString key = iconCacheKey(path);
    if (const auto cached = m_iconCache.lookup(key))
        return *cached;
    const QString icon = extractIcon(path, owner);
    m_iconCache.insert(key, icon); // a failure is cached like an icon
    return icon;
}

QString ProcessExplorerWorker::iconCacheKey(const QString &path)
{
    return IconCache::keyFor(path);
}

QString ProcessExplorerWorker::extractIcon(const QString &path, std::optional<quint32> owner)
{
    return m_extractor->extract(path, m_iconSize, owner);
}

void ProcessExplorerWorker::pruneIconCache(int target)
{
    m_iconCache.prune(target);
}
