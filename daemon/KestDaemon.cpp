#include "daemon/KestDaemon.h"

#include "daemon/PrivilegeManager.h"
#include "explorer/ProcessExplorerService.h"
#include "ipc/CommunicationServer.h"
#include "service/DaemonLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>
#include <QVersionNumber>

namespace {
QString stringKey(const QJsonObject &object, const char *key)
{
    const QJsonValue v = object.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

QJsonObject statusReply(const char *status)
{
    return QJsonObject{{"status", QString::fromLatin1(status)}};
}

QJsonObject errorReply(const QString &error)
{
    return QJsonObject{{"status", "error"}, {"error", error}};
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

KestDaemon::KestDaemon(QObject *parent)
    : QObject(parent)
    , m_communicationServer(new CommunicationServer(this))
    , m_privilegeManager(new PrivilegeManager(this))
    , m_processExplorer(new ProcessExplorerService(m_communicationServer, this))
{
    connect(m_communicationServer, &CommunicationServer::messageReceived, this, &KestDaemon::handleClientMessage);
    connect(m_communicationServer, &CommunicationServer::clientConnected, this, &KestDaemon::onClientConnected);
    connect(m_communicationServer, &CommunicationServer::clientDisconnected, this, &KestDaemon::onClientDisconnected);
    connect(m_communicationServer, &CommunicationServer::clientTimedOut, this, &KestDaemon::onClientTimedOut);
}

KestDaemon::~KestDaemon() = default;

bool KestDaemon::start()
{
    qCInfo(lcKestd) << "Starting kestd daemon...";
    if (!m_communicationServer->start(QString::fromLatin1(kBaseName))) {
        qCCritical(lcKestd) << "Failed to start communication server";
        return false;
    }
    qCInfo(lcKestd) << "Daemon started successfully";
    qCDebug(lcKestd) << "Privilege level:" << PrivilegeManager::privilegeLevel();
    return true;
}

void KestDaemon::stop()
{
    qCInfo(lcKestd) << "Stopping kestd daemon...";
    if (m_processExplorer->isRunning()) {
        qCInfo(lcKestd) << "Stopping process explorer...";
        m_processExplorer->stopExplorer();
    }
    m_communicationServer->stop();
    qCInfo(lcKestd) << "Daemon stopped";
}

int KestDaemon::compareVersions(const QString &a, const QString &b)
{
    const int c = QVersionNumber::compare(QVersionNumber::fromString(a), QVersionNumber::fromString(b));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void KestDaemon::handleClientMessage(const QString &clientId, const QJsonObject &message)
{
    const QString action = stringKey(message, "action");
    qCDebug(lcKestd) << "Client" << clientId << "action:" << action << "message:" << compact(message);
    QJsonObject reply = dispatch(clientId, action, message);
    if (reply.isEmpty())
        return; // the handler has answered already
    if (message.contains("request-id"))
        reply.insert("request-id", message.value("request-id"));
    qCDebug(lcKestd) << "Sending response to client" << clientId << ":" << compact(reply);
    m_communicationServer->sendToClient(clientId, reply);
}

// The action table: rows are tested in order, the first match answers.
QJsonObject KestDaemon::dispatch(const QString &clientId, const QString &action, const QJsonObject &request)
{
    if (action == "client-hello")
        return handleClientHello(clientId, request);
    if (action == "heartbeat") {
        m_communicationServer->updateHeartbeat(clientId);
        return statusReply("success");
    }
    if (action == "clear-logs")
        return clearDaemonLogs() ? statusReply("success") : errorReply("Failed to clear daemon logs");
    if (action == "start-process-explorer")
        return m_processExplorer->startExplorer(request);
    if (action == "stop-process-explorer")
        return m_processExplorer->stopExplorer();
    if (action == "process-explorer-config")
        return m_processExplorer->configureExplorer(request);
    if (action == "process-explorer-status")
        return m_processExplorer->explorerStatus();
    return errorReply(QStringLiteral("Unknown action: ") + action);
}

QJsonObject KestDaemon::handleClientHello(const QString &clientId, const QJsonObject &request)
{
    const QString logPath = stringKey(request, "log-path");
    if (logPath.isEmpty())
        return errorReply("Log path cannot be empty");
    QDir().mkpath(QFileInfo(logPath).absolutePath());
    setDaemonLogPath(logPath);

    const QString version = stringKey(request, "version");
    const QString daemonVersion = QCoreApplication::applicationVersion();
    if (version.isEmpty()) {
        qCInfo(lcKestd) << "Client connected:" << clientId;
        return statusReply("success");
    }
    qCInfo(lcKestd) << "Client connected:" << clientId << "- Client version:" << version
                    << "Daemon version:" << daemonVersion;
    if (compareVersions(version, daemonVersion) <= 0)
        return statusReply("success");

    qCInfo(lcKestd) << "Client version" << version << "is higher than daemon version" << daemonVersion
                    << "- restarting daemon";
    QJsonObject reply{{"status", "restarting"}, {"reason", "Client version is higher than daemon version"}};
    if (request.contains("request-id"))
        reply.insert("request-id", request.value("request-id"));
    m_communicationServer->sendToClient(clientId, reply);
    QTimer::singleShot(kVersionExitDelayMs, this, [] {
        qCInfo(lcKestd) << "Initiating daemon restart due to version mismatch";
        QCoreApplication::quit();
    });
    return {};
}

void KestDaemon::onClientConnected(const QString &clientId)
{
    m_communicationServer->sendToClient(
        clientId, QJsonObject{{"event", "connected"},
                              {"daemon-version", QCoreApplication::applicationVersion()},
                              {"privilege-level", int(PrivilegeManager::privilegeLevel())}});
}

void KestDaemon::broadcastClientShutdown()
{
    qCInfo(lcKestd) << "Broadcasting shutdown request to all connected clients (triggered by installer)";
    m_communicationServer->broadcast(QJsonObject{{"event", "shutdown"}, {"reason", "installer-request"}});
}

void KestDaemon::onClientDisconnected(const QString &clientId, unsigned int sessionId)
{
    qCInfo(lcKestd) << "Client disconnected:" << clientId << "session:" << sessionId;
    qCInfo(lcKestd) << "Remaining connected clients:" << m_communicationServer->clientCount();
    clientGone(clientId, sessionId, false);
}

void KestDaemon::onClientTimedOut(const QString &clientId, unsigned int sessionId)
{
    clientGone(clientId, sessionId, true);
}

// What a departed client leaves behind is cleaned up here.
void KestDaemon::clientGone(const QString &, unsigned int, bool)
{
}
