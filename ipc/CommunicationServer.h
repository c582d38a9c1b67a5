#pragma once
// Serves every active user session through a socket of its own, keeps the
// registry of connected clients, watches their heartbeats, and offers unicast
// and broadcast of JSON objects.

#include "ipc/RuntimeDirectory.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class ClientBudget;
class ClientConnection;
class SessionServer;

class CommunicationServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kHeartbeatCheckMs = 5000;
    static constexpr int kHeartbeatTimeoutMs = 10000;
    static constexpr int kSessionPollMs = 3000;
    // Unsent bytes beyond which a client gets no further broadcasts (so that
    // a slow reader misses process lists rather than being disconnected).
    static constexpr qint64 kMaxBroadcastBacklog = 8ll * 1024 * 1024;

    // Monotonic milliseconds; the heartbeat check reads time only through it.
    using Clock = std::function<qint64()>;

    // Without a clock, the system's monotonic clock.
    explicit CommunicationServer(QObject *parent = nullptr, Clock clock = {});
    ~CommunicationServer() override;

    // Takes the single-instance lock, opens the sockets of the active sessions
    // and starts polling sessions. False when another daemon serves the
    // runtime directory.
    bool start(const QString &baseName);
    void stop();

    void sendToClient(const QString &clientId, const QJsonObject &message);
    void broadcast(const QJsonObject &message);
    void updateHeartbeat(const QString &clientId);
    int clientCount() const { return int(m_clients.size()); }
    // The connected client's socket peer (pid, uid, gid); empty for an unknown id.
    struct PeerCredentials {
        qint64 pid = -1;
        qint64 uid = -1;
        qint64 gid = -1;
    };
    std::optional<PeerCredentials> peerCredentials(const QString &clientId) const;
    // The session of the socket the client connected to; empty for an unknown id.
    std::optional<quint32> clientSessionId(const QString &clientId) const;
    // Bytes sent to the client that its socket has not yet taken; 0 for an unknown id.
    qint64 pendingBytes(const QString &clientId) const;

    // The session servers by session id (read-only view for diagnostics and tests).
    QList<quint32> servedSessions() const { return m_sessions.keys(); }

signals:
    void clientConnected(const QString &clientId);
    void clientDisconnected(const QString &clientId, unsigned int sessionId);
    void messageReceived(const QString &clientId, const QJsonObject &message);
    void serverError(const QString &error);
    void clientTimedOut(const QString &clientId, unsigned int sessionId);

public slots:
    void onNewConnection();
    void onClientMessage(const QString &clientId, const QJsonObject &message);
    void onClientDisconnected(const QString &clientId);
    // Drops clients silent for more than kHeartbeatTimeoutMs of the time the
    // event loop ran: a stall of the loop itself (the check came late) is
    // granted to every client, so none is dropped for the daemon's own delay.
    void checkHeartbeats();
    void pollSessions();

private:
    struct Heartbeat {
        qint64 lastMs = 0;      // clock at the last heartbeat
        qint64 stalledAtMs = 0; // m_stalledMs at the last heartbeat
    };

    void dropAll();
    // Registers an accepted connection, or closes it when its user has no
    // connection left.
    void admit(ClientConnection *connection, quint32 sessionId);
    // Disconnects the user's client that holds the most unsent bytes.
    void onUserUnsentOverLimit(qint64 uid);
    void forget(ClientConnection *connection);

    Clock m_clock;
    std::shared_ptr<ClientBudget> m_budget;
    QHash<QString, ClientConnection *> m_clients;
    QHash<QString, Heartbeat> m_heartbeats;
    // The check's own lateness, summed: time the event loop did not run.
    qint64 m_stalledMs = 0;
    qint64 m_lastCheckMs = 0;
    QTimer m_heartbeatTimer;
    QString m_baseName;
    QHash<quint32, SessionServer *> m_sessions;
    QTimer m_sessionPollTimer;
    RuntimeDirectory m_runtimeDirectory;
};
