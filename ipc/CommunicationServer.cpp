#include "ipc/CommunicationServer.h"

#include "ipc/ClientConnection.h"
#include "ipc/SessionServer.h"
#include "ipc/SessionSource.h"
#include "base/DaemonLog.h"

#include <QLocalSocket>

#include <cerrno>

CommunicationServer::CommunicationServer(QObject *parent)
    : QObject(parent)
{
    m_heartbeatTimer.setInterval(kHeartbeatCheckMs);
    connect(&m_heartbeatTimer, &QTimer::timeout, this, &CommunicationServer::checkHeartbeats);
    m_heartbeatTimer.start();
    m_sessionPollTimer.setInterval(kSessionPollMs);
    connect(&m_sessionPollTimer, &QTimer::timeout, this, &CommunicationServer::pollSessions);
}

CommunicationServer::~CommunicationServer()
{
    dropAll();
}

bool CommunicationServer::start(const QString &baseName)
{
    if (!m_runtimeDirectory.acquire())
        return false;
    m_baseName = baseName;
    pollSessions();
    m_sessionPollTimer.start();
    qCDebug(lcKestd) << "Session polling started (every 3 seconds)";
    return true;
}

void CommunicationServer::stop()
{
    dropAll();
    m_runtimeDirectory.release();
}

void CommunicationServer::dropAll()
{
    m_heartbeatTimer.stop();
    for (ClientConnection *connection : std::as_const(m_clients))
        connection->deleteLater();
    m_clients.clear();
    m_heartbeats.clear();
    m_sessionPollTimer.stop();
    // Deleted at once, not deferred: their socket files must be gone before
    // the single-instance lock is released to another daemon.
    qDeleteAll(m_sessions);
    m_sessions.clear();
}

void CommunicationServer::sendToClient(const QString &clientId, const QJsonObject &message)
{
    if (ClientConnection *connection = m_clients.value(clientId))
        connection->sendMessage(message);
}

void CommunicationServer::broadcast(const QJsonObject &message)
{
    for (ClientConnection *connection : std::as_const(m_clients)) {
        // A client that has stopped reading would otherwise pile up every
        // broadcast (process lists of megabytes) until its heartbeat times out;
        // it misses broadcasts instead, never a reply.
        if (connection->pendingBytes() > kMaxBroadcastBacklog) {
            qCWarning(lcKestd) << "Client" << connection->clientId() << "is not reading ("
                               << connection->pendingBytes() << "bytes unsent) - broadcast skipped";
            continue;
        }
        connection->sendMessage(message);
    }
}

std::optional<CommunicationServer::PeerCredentials> CommunicationServer::peerCredentials(const QString &clientId) const
{
    const ClientConnection *connection = m_clients.value(clientId);
    if (!connection)
        return std::nullopt;
    return PeerCredentials{connection->peerPid(), connection->peerUid(), connection->peerGid()};
}

qint64 CommunicationServer::pendingBytes(const QString &clientId) const
{
    const ClientConnection *connection = m_clients.value(clientId);
    return connection ? connection->pendingBytes() : 0;
}

void CommunicationServer::updateHeartbeat(const QString &clientId)
{
    auto it = m_heartbeats.find(clientId);
    if (it != m_heartbeats.end())
        it->restart();
}

void CommunicationServer::pollSessions()
{
    auto listed = SessionSource::instance()->activeSessions();
    if (!listed) {
        qCWarning(lcKestd) << "sd_get_sessions failed:" << errno;
        listed = QList<quint32>{};
    }
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (!listed->contains(it.key())) {
            qCInfo(lcKestd) << "Removing pipe for inactive session" << it.key();
            it.value()->deleteLater();
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
    for (quint32 id : std::as_const(*listed)) {
        if (m_sessions.contains(id))
            continue;
        qCInfo(lcKestd) << "Creating pipe for new active session" << id;
        auto *server = new SessionServer(id, m_baseName, this);
        if (server->start()) {
            connect(server, &SessionServer::newConnection, this, &CommunicationServer::onNewConnection);
            m_sessions.insert(id, server);
        } else {
            delete server;
        }
    }
}

void CommunicationServer::onNewConnection()
{
    SessionServer *from = nullptr;
    for (SessionServer *server : std::as_const(m_sessions)) {
        if (server->server()->hasPendingConnections()) {
            from = server;
            break;
        }
    }
    if (!from)
        return;
    QLocalSocket *socket = from->server()->nextPendingConnection();
    if (!socket)
        return;
    auto *connection = new ClientConnection(this);
    connection->attachSocket(socket);
    connection->setSessionId(from->sessionId());
    connect(connection, &ClientConnection::messageReceived, this, &CommunicationServer::onClientMessage);
    connect(connection, &ClientConnection::clientDisconnected, this, &CommunicationServer::onClientDisconnected);
    const QString id = connection->clientId();
    m_clients.insert(id, connection);
    QElapsedTimer timer;
    timer.start();
    m_heartbeats.insert(id, timer);
    qCDebug(lcKestd) << "Client" << id << "connected on session" << from->sessionId()
                     << "peer pid:" << connection->peerPid() << "uid:" << connection->peerUid();
    emit clientConnected(id);
}

void CommunicationServer::onClientMessage(const QString &clientId, const QJsonObject &message)
{
    emit messageReceived(clientId, message);
}

void CommunicationServer::onClientDisconnected(const QString &clientId)
{
    auto it = m_clients.find(clientId);
    if (it == m_clients.end())
        return;
    ClientConnection *connection = it.value();
    const quint32 sessionId = connection->sessionId();
    connection->deleteLater();
    m_clients.erase(it);
    m_heartbeats.remove(clientId);
    emit clientDisconnected(clientId, sessionId);
}

void CommunicationServer::checkHeartbeats()
{
    QStringList expired;
    for (auto it = m_heartbeats.cbegin(); it != m_heartbeats.cend(); ++it) {
        if (it.value().elapsed() > kHeartbeatTimeoutMs)
            expired.append(it.key());
    }
    for (const QString &id : std::as_const(expired)) {
        qCWarning(lcKestd) << "Client" << id << "timed out (no heartbeat for" << kHeartbeatTimeoutMs << "ms)";
        quint32 sessionId = 0;
        if (ClientConnection *connection = m_clients.value(id)) {
            sessionId = connection->sessionId();
            m_clients.remove(id);
            m_heartbeats.remove(id);
            if (connection->socket() && connection->socket()->state() != QLocalSocket::UnconnectedState)
                connection->socket()->disconnectFromServer();
            connection->deleteLater();
        } else {
            m_heartbeats.remove(id);
        }
        emit clientTimedOut(id, sessionId);
    }
}
