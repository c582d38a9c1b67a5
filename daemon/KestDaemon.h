#pragma once
// The central object of the service: owns the components, dispatches every
// client message by its "action", answers the sender, and pushes events.
// Every request is served with the rights of the user who sent it (the
// socket's peer credentials): processes run as that user and only that user
// (or root) sees them; what changes the whole machine needs root or polkit's
// authorization, asked without blocking the other clients while a client's
// own later requests wait their turn.

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class CommunicationServer;
class PolkitAuthority;
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
    // Requests of one client that may wait behind its authorization check;
    // more are refused at once.
    static constexpr qsizetype kMaxWaitingRequests = 256;

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
    // Kills leftover proxy-core processes of a session that run as uid (after
    // its client left).
    // Off the event loop; requests for one session and user are folded together.
    void killStaleProcesses(unsigned int sessionId, qint64 uid);

private:
    // The sender of a request as its socket's peer credentials name it, and
    // whether it may change the machine's network set-up.
    struct Requester
    {
        qint64 uid = -1;
        qint64 gid = -1;
        bool authorized = false;
        bool isRoot() const { return uid == 0; }
    };

    void serveMessage(const QString &clientId, const QJsonObject &message);
    void onAuthorizationAnswer(const QString &clientId, const QJsonObject &message, bool authorized);
    void answer(const QString &clientId, const QJsonObject &message, QJsonObject reply);
    void answerAs(const QString &clientId, const QJsonObject &message, bool authorized);
    // Whether serving the request needs the client's authorization: the
    // actions that change the whole machine, a version-driven exit, and a
    // start (which gives the network capabilities and TUN-core helpers).
    bool needsAuthorization(const QString &action, const QJsonObject &request) const;
    // Where sessions can be told: whether a non-root client's process is in
    // the session of the socket it connected to.
    bool belongsToItsSession(const QString &clientId) const;

    QJsonObject dispatch(const QString &clientId, const QString &action, const QJsonObject &request,
                         const Requester &requester);
    QJsonObject handleClientHello(const QString &clientId, const QJsonObject &request, const Requester &requester);
    // "clear-logs": a client clears only the daemon's own log or one its user named.
    bool clearLogsFor(const QString &clientId);
    void clientGone(const QString &clientId, unsigned int sessionId, bool timedOut);

    // Process rows of the action table; "start" records the owner first.
    QJsonObject dispatchProcessAction(const QString &clientId, const QString &action, const QJsonObject &request,
                                      const Requester &requester, bool *handled);
    // Runs after broadcastProcessEvent for the same event: a "finished" ends the ownership.
    void trackFinishedEvent(const QJsonObject &event);
    // Client clean-up, step 2: the system-wide TUN mode ends with the last client.
    void stopTunIfNoClientLeft();
    // The TUN rows of the action table; *handled is false for other actions.
    QJsonObject dispatchTunAction(const QString &clientId, const QString &action, const QJsonObject &request,
                                  const Requester &requester, bool *handled);

    ProcessManager *m_processManager;
    CommunicationServer *m_communicationServer;
    PrivilegeManager *m_privilegeManager;
    ProcessExplorerService *m_processExplorer;
    KestTunManager *m_tunManager;
    PolkitAuthority *m_authority;
    StaleProcessSweeper *m_staleSweeper;
    QHash<QString, QString> m_processOwners; // process id -> client id
    // Clients whose authorization check is under way, and their requests
    // that arrived meanwhile, in order.
    QSet<QString> m_awaitingAuthorization;
    QHash<QString, QList<QJsonObject>> m_waitingRequests;
    // Clients whose process is not in the session of their socket.
    QSet<QString> m_foreignClients;
    // The uid of each client, kept for its clean-up after it has left.
    QHash<QString, qint64> m_clientUids;
    bool m_stopping = false;
};
