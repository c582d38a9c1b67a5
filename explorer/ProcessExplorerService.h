#pragma once
// The process explorer as clients drive it: start, stop, configure and status
// on the event-loop thread, a worker on a thread of its own that polls the
// process list, and every list it produces broadcast to all connected clients.

#include <QJsonObject>
#include <QObject>
#include <QString>

class CommunicationServer;
class ProcessExplorerWorker;
class QThread;

class ProcessExplorerService : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMinIntervalMs = 500;
    static constexpr int kMaxIntervalMs = 60000;
    static constexpr int kMinIconSize = 16;
    static constexpr int kMaxIconSize = 256;
    static constexpr int kDefaultIntervalMs = 2000;
    static constexpr int kDefaultIconSize = 32;
    static constexpr bool kDefaultIncludeIcons = true;
    static constexpr int kThreadStopWaitMs = 5000;

    // server (not owned, may be null) receives every list for broadcast.
    explicit ProcessExplorerService(CommunicationServer *server, QObject *parent = nullptr);
    ~ProcessExplorerService() override;

    // The replies of "start-process-explorer", "stop-process-explorer",
    // "process-explorer-config" and "process-explorer-status".
    QJsonObject startExplorer(const QJsonObject &request);
    QJsonObject stopExplorer();
    QJsonObject configureExplorer(const QJsonObject &request);
    QJsonObject explorerStatus() const;

    bool isRunning() const { return m_running; }

signals:
    void processListUpdated(const QJsonObject &processListMessage);
    void explorerError(const QString &error);
    void startWorker(int intervalMs, bool includeIcons, int iconSize);
    void stopWorker();
    void configureWorker(int intervalMs, bool includeIcons, int iconSize);
    void clearWorkerIconCache();

public slots:
    void onProcessListReady(const QJsonObject &message);
    void onWorkerError(const QString &error);

private:
    CommunicationServer *m_communicationServer;
    QThread *m_workerThread;
    ProcessExplorerWorker *m_worker;
    bool m_running = false;
    int m_intervalMs = kDefaultIntervalMs;
    int m_iconSize = kDefaultIconSize;
    bool m_includeIcons = kDefaultIncludeIcons;
};
