#pragma once
// The central object of the service: owns the components, dispatches every
// client message by its "action", answers the sender, and pushes events.

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

class CommunicationServer;
class ProcessManager;
class PrivilegeManager;
class ProcessExplorerService;
class KestTunManager;
class StaleProcessSweeper;

class KestDaemon : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kBaseName = "kestd";
    static constexpr int kVersionExitDelayMs = 100;
    // Unsent bytes beyond which a process's output waits for its owner.
    static constexpr qint64 kMaxOwnerBacklog = 8ll * 1024 * 1024;

    explicit KestDaemon(QObject *parent = nullptr);
    ~KestDaemon() override;

    bool start();
    void stop();

    // -1, 0 or 1 as a is less than, equal to or greater than b, comparing the
    // leading run of dot-separated numbers of each.
    static int compareVersions(const QString &a, const QString &b);

public slots:
    void broadcastClientShutdown();
    void handleClientMessage(const QString &clientId, const QJsonObject &message);
    void onClientConnected(const QString &clientId);
    void onClientDisconnected(const QString &clientId, unsigned int sessionId);
    void onClientTimedOut(const QString &clientId, unsigned int sessionId);
    // Sends a process event to the client that owns the process, if any.
    void broadcastProcessEvent(const QJsonObject &event);
    // Drops the ownership of a finished process.
    void onProcessFinished(const QString &processId, int exitCode);

public:
    // Kills leftover proxy-core processes of a session (after its client
    // left), off the event loop; requests for one session are folded together.
    void killStaleProcesses(unsigned int sessionId);

private:
    QJsonObject dispatch(const QString &clientId, const QString &action, const QJsonObject &request);
    QJsonObject handleClientHello(const QString &clientId, const QJsonObject &request);
    // "clear-logs": a client clears only the daemon's own log or one its user named.
    bool clearLogsFor(const QString &clientId);
    void clientGone(const QString &clientId, unsigned int sessionId, bool timedOut);

    // Process rows of the action table; "start" records the owner first.
    QJsonObject dispatchProcessAction(const QString &clientId, const QString &action, const QJsonObject &request,
                                      bool *handled);
    // Runs after broadcastProcessEvent for the same event: a "finished" ends the ownership.
    void trackFinishedEvent(const QJsonObject &event);
    // Client clean-up, step 2: the system-wide TUN mode ends with the last client.
    void stopTunIfNoClientLeft();
    // The TUN rows of the action table; *handled is false for other actions.
    QJsonObject dispatchTunAction(const QString &clientId, const QString &action, const QJsonObject &request,
                                  bool *handled);

    ProcessManager *m_processManager;
    CommunicationServer *m_communicationServer;
    PrivilegeManager *m_privilegeManager;
    ProcessExplorerService *m_processExplorer;
    KestTunManager *m_tunManager;
    StaleProcessSweeper *m_staleSweeper;
    QHash<QString, QString> m_processOwners; // process id -> client id
    bool m_stopping = false;
};
