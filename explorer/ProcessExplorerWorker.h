#pragma once
// Polls the machine's process list on the explorer's own thread: every
// interval it takes a snapshot, attaches each executable's icon (cached by
// path) and hands the "process-list" message to the service. Settings arrive
// through queued slot calls; the message leaves through a queued signal.

#include "explorer/IconCache.h"
#include "explorer/ProcessEntry.h"
#include "explorer/ProcessSnapshot.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class IconExtractor;
class QTimer;

class ProcessExplorerWorker : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultIntervalMs = 2000;
    static constexpr int kDefaultIconSize = 32;
    static constexpr bool kDefaultIncludeIcons = true;

    // Icons from the daemon's data directories.
    explicit ProcessExplorerWorker(QObject *parent = nullptr);
    // Icons from the given extractor (tests and benchmarks).
    explicit ProcessExplorerWorker(std::unique_ptr<IconExtractor> extractor, QObject *parent = nullptr);
    ~ProcessExplorerWorker() override;

    // One snapshot with icons when they are on.
    QList<ProcessEntry> takeSnapshot();
    // The "process-list" message of these rows, stamped with the UTC time now.
    QJsonObject buildProcessListMessage(const QList<ProcessEntry> &rows) const;
    // The cached icon of a path, extracting it on a miss (owner: the user
    // whose desktop entries come first).
    QString getIcon(const QString &path, std::optional<quint32> owner = std::nullopt);
    static QString iconCacheKey(const QString &path);
    QString extractIcon(const QString &path, std::optional<quint32> owner = std::nullopt);
    void pruneIconCache(int target);

    int iconCacheSize() const { return m_iconCache.size(); }
    bool isRunning() const { return m_running; }
    int intervalMs() const { return m_intervalMs; }
    int iconSize() const { return m_iconSize; }
    bool includeIcons() const { return m_includeIcons; }

signals:
    void processListReady(const QJsonObject &processListMessage);
    void errorOccurred(const QString &error);

public slots:
    void startPolling(int intervalMs, bool includeIcons, int iconSize);
    void stopPolling();
    void updateConfig(int intervalMs, bool includeIcons, int iconSize);
    void clearIconCache();
    void onUpdateTimer();

private:
    // A new edge empties the cache, whose icons have the old one.
    void setIconSize(int iconSize);

    QTimer *m_updateTimer = nullptr;
    bool m_running = false;
    int m_intervalMs = kDefaultIntervalMs;
    int m_iconSize = kDefaultIconSize;
    bool m_includeIcons = kDefaultIncludeIcons;
    IconCache m_iconCache;
    ProcessSnapshot m_snapshot;
    std::unique_ptr<IconExtractor> m_extractor;
};
