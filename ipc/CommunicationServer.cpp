#include "ipc/CommunicationServer.h"

#include "ipc/ClientBudget.h"
#include "ipc/ClientConnection.h"
#include "ipc/SessionServer.h"
#include "ipc/SessionSource.h"
#include "base/DaemonLog.h"
#include "base/LogLimiter.h"

#include <QLocalSocket>

#include <cerrno>
#include <chrono>

namespace {
LogLimiter g_refusedConnectionLog(20, 100);
LogLimiter g_broadcastSkippedLog(20, 100);
LogLimiter g_timedOutLog(100, 100);
LogLimiter g_userUnsentLog(20, 100);

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

CommunicationServer::CommunicationServer(QObject *parent, Clock clock)
    : QObject(parent)
    , m_clock(clock ? std::move(clock) : Clock(monotonicMs))
    , m_budget(std::make_shared<ClientBudget>())
    , m_lastCheckMs(m_clock())
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
    for (ClientConnection *connection : std::as_const(m_clients)) {
        connection->leaveBudget();
        connection->deleteLater();
    }
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
            if (const auto n = g_broadcastSkippedLog.admit())
                qCWarning(lcKestd) << "Client" << connection->clientId() << "is not reading ("
                                   << connection->pendingBytes() << "bytes unsent) - broadcast skipped"
                                   << "(occurrence" << n << ")";
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

std::optional<quint32> CommunicationServer::clientSessionId(const QString &clientId) const
{
    const ClientConnection *connection = m_clients.value(clientId);
    return connection ? std::optional(connection->sessionId()) : std::nullopt;
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
        *it = Heartbeat{m_clock(), m_stalledMs};
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
    admit(connection, from->sessionId());
}

void CommunicationServer::admit(ClientConnection *connection, quint32 sessionId)
{
    if (!connection->joinBudget(m_budget)) {
        if (const auto n = g_refusedConnectionLog.admit())
            qCWarning(lcKestd) << "Refusing a connection on session" << sessionId << "of uid"
                               << connection->peerUid() << "- it has" << ClientBudget::kMaxConnectionsPerUser
                               << "connections already" << "(occurrence" << n << ")";
        connection->socket()->abort();
        connection->deleteLater();
        return;
    }
    connection->setSessionId(sessionId);
    connect(connection, &ClientConnection::messageReceived, this, &CommunicationServer::onClientMessage);
    connect(connection, &ClientConnection::clientDisconnected, this, &CommunicationServer::onClientDisconnected);
    connect(connection, &ClientConnection::userUnsentOverLimit, this, &CommunicationServer::onUserUnsentOverLimit);
    const QString id = connection->clientId();
    m_clients.insert(id, connection);
    m_heartbeats.insert(id, Heartbeat{m_clock(), m_stalledMs});
    qCDebug(lcKestd) << "Client" << id << "connected on session" << sessionId << "peer pid:" << connection->peerPid()
                     << "uid:" << connection->peerUid();
    emit clientConnected(id);
}

void CommunicationServer::onUserUnsentOverLimit(qint64 uid)
{
    ClientConnection *largest = nullptr;
    for (ClientConnection *connection : std::as_const(m_clients)) {
        if (connection->peerUid() != uid)
            continue;
        if (connection->isClosing())
            return; // one is on its way out already, and takes its bytes along
        if (!largest || connection->pendingBytes() > largest->pendingBytes())
            largest = connection;
    }
    if (!largest)
        return;
    if (const auto n = g_userUnsentLog.admit())
        qCWarning(lcKestd) << "Clients of uid" << uid << "have not taken more than"
                           << ClientBudget::kMaxUnsentBytesPerUser << "bytes - disconnecting client"
                           << largest->clientId() << "with" << largest->pendingBytes() << "(occurrence" << n << ")";
    largest->dropForOverload();
}

void CommunicationServer::forget(ClientConnection *connection)
{
    connection->leaveBudget();
    connection->deleteLater();
    m_clients.remove(connection->clientId());
    m_heartbeats.remove(connection->clientId());
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
    forget(connection);
    emit clientDisconnected(clientId, sessionId);
}

void CommunicationServer::checkHeartbeats()
{
    const qint64 now = m_clock();
    m_stalledMs += qMax<qint64>(0, now - m_lastCheckMs - kHeartbeatCheckMs);
    m_lastCheckMs = now;
    QStringList expired;
    for (auto it = m_heartbeats.cbegin(); it != m_heartbeats.cend(); ++it) {
        const qint64 silentMs = now - it->lastMs - (m_stalledMs - it->stalledAtMs);
        if (silentMs > kHeartbeatTimeoutMs)
            expired.append(it.key());
    }
    for (const QString &id : std::as_const(expired)) {
        if (g_timedOutLog.admit())
            qCWarning(lcKestd) << "Client" << id << "timed out (no heartbeat for" << kHeartbeatTimeoutMs << "ms)";
        quint32 sessionId = 0;
        if (ClientConnection *connection = m_clients.value(id)) {
            sessionId = connection->sessionId();
            forget(connection);
            if (connection->socket() && connection->socket()->state() != QLocalSocket::UnconnectedState)
                connection->socket()->disconnectFromServer();
        } else {
            m_heartbeats.remove(id);
        }
        emit clientTimedOut(id, sessionId);
    }
}
