#include "daemon/KestDaemon.h"

#include "daemon/ClientFileAccess.h"
#include "daemon/PrivilegeManager.h"
#include "daemon/StaleProcessKiller.h"
#include "explorer/ProcessExplorerService.h"
#include "ipc/CommunicationServer.h"
#include "process/ProcessManager.h"
#include "base/DaemonLog.h"
#include "tun/KestTunManager.h"

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
    , m_processManager(new ProcessManager(this))
    , m_communicationServer(new CommunicationServer(this))
    , m_privilegeManager(new PrivilegeManager(this))
    , m_processExplorer(new ProcessExplorerService(m_communicationServer, this))
    , m_tunManager(new KestTunManager(this))
{
    connect(m_communicationServer, &CommunicationServer::messageReceived, this, &KestDaemon::handleClientMessage);
    connect(m_communicationServer, &CommunicationServer::clientConnected, this, &KestDaemon::onClientConnected);
    connect(m_communicationServer, &CommunicationServer::clientDisconnected, this, &KestDaemon::onClientDisconnected);
    connect(m_communicationServer, &CommunicationServer::clientTimedOut, this, &KestDaemon::onClientTimedOut);
    connect(m_processManager, &ProcessManager::processEvent, this, &KestDaemon::broadcastProcessEvent);
    connect(m_processManager, &ProcessManager::processEvent, this, &KestDaemon::trackFinishedEvent);
    // A process's output waits (and its child is held back) while its owner
    // has not taken what it was sent.
    m_processManager->setDeliveryCheck([this](const QString &processId) {
        const QString owner = m_processOwners.value(processId);
        return owner.isEmpty() || m_communicationServer->pendingBytes(owner) < kMaxOwnerBacklog;
    });
    connect(m_tunManager, &KestTunManager::proxyHealthCheckFailed, this,
            [this] { m_communicationServer->broadcast(QJsonObject{{"event", "server-dead"}}); });
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
    // Clients are still served while the processes get their grace; from
    // here on nothing may start again what the stop has ended.
    m_stopping = true;
    if (m_processExplorer->isRunning()) {
        qCInfo(lcKestd) << "Stopping process explorer...";
        m_processExplorer->stopExplorer();
    }
    if (m_tunManager->isRunning()) {
        qCInfo(lcKestd) << "Stopping TUN...";
        m_tunManager->stop();
    }
    // Managed processes get their grace after the explorer and the TUN mode
    // are down, and before the sockets close.
    m_processManager->stopAllProcesses(ProcessManager::kStopTimeoutMs);
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
    if (m_stopping && action != "heartbeat")
        return errorReply("Daemon is stopping");
    if (action == "client-hello")
        return handleClientHello(clientId, request);
    if (action == "heartbeat") {
        m_communicationServer->updateHeartbeat(clientId);
        return statusReply("success");
    }
    bool processAction = false;
    QJsonObject processReply = dispatchProcessAction(clientId, action, request, &processAction);
    if (processAction)
        return processReply;
    if (action == "clear-logs")
        return clearDaemonLogs() ? statusReply("success") : errorReply("Failed to clear daemon logs");
    bool tunAction = false;
    QJsonObject tunReply = dispatchTunAction(clientId, action, request, &tunAction);
    if (tunAction)
        return tunReply;
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
    // The daemon writes, rotates and deletes this file as root: a client may
    // name only a place where it could create files itself.
    const auto peer = m_communicationServer->peerCredentials(clientId);
    const int directoryFd = peer ? ClientFileAccess::openWritableDirectory(logPath, peer->uid, peer->gid) : -1;
    if (directoryFd < 0) {
        qCWarning(lcKestd) << "Client" << clientId << "named a log path it may not write:" << logPath;
        return errorReply("Log path is not writable by the client");
    }
    setDaemonLogPath(logPath, directoryFd, peer->uid);

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

QJsonObject KestDaemon::dispatchProcessAction(const QString &clientId, const QString &action,
                                              const QJsonObject &request, bool *handled)
{
    *handled = true;
    const QString processId = stringKey(request, "process-id");
    if (action == "start") {
        // Owned before the start, so that "started" already reaches the client.
        const std::optional<QString> previousOwner =
            m_processOwners.contains(processId) ? std::optional(m_processOwners.value(processId)) : std::nullopt;
        m_processOwners.insert(processId, clientId);
        qCDebug(lcKestd) << "Process" << processId << "will be owned by client" << clientId;
        const QJsonObject reply = m_processManager->startProcess(request);
        if (reply.value("status").toString() != "started") {
            // A start refused because the process already runs must not take
            // it away from its owner.
            if (previousOwner)
                m_processOwners.insert(processId, *previousOwner);
            else
                m_processOwners.remove(processId);
            qCDebug(lcKestd) << "Process" << processId << "failed to start, removed ownership";
        }
        return reply;
    }
    if (action == "stop")
        return m_processManager->stopProcess(processId);
    if (action == "kill")
        return m_processManager->killProcess(processId);
    if (action == "restart")
        return m_processManager->restartProcess(processId);
    if (action == "status")
        return m_processManager->getProcessStatus(processId);
    if (action == "list")
        return m_processManager->listProcesses();
    if (action == "stdin") {
        if (m_processManager->writeToProcess(processId, stringKey(request, "data").toUtf8()))
            return statusReply("success");
        return errorReply("Failed to write to process stdin");
    }
    *handled = false;
    return {};
}

void KestDaemon::broadcastProcessEvent(const QJsonObject &event)
{
    const QString processId = stringKey(event, "process-id");
    const auto owner = m_processOwners.constFind(processId);
    if (owner == m_processOwners.cend()) {
        qCDebug(lcKestd) << "Process event for unowned process" << processId << "- not sending to any client";
        return;
    }
    qCDebug(lcKestd) << "Sending process event to owner client" << owner.value() << "for process" << processId
                     << "event:" << stringKey(event, "event");
    m_communicationServer->sendToClient(owner.value(), event);
}

void KestDaemon::trackFinishedEvent(const QJsonObject &event)
{
    if (stringKey(event, "event") != "finished")
        return;
    bool numeric = false;
    int exitCode = stringKey(event, "data").toInt(&numeric);
    if (!numeric)
        exitCode = 0;
    onProcessFinished(stringKey(event, "process-id"), exitCode);
}

void KestDaemon::onProcessFinished(const QString &processId, int exitCode)
{
    const auto owner = m_processOwners.constFind(processId);
    if (owner == m_processOwners.cend())
        return;
    qCDebug(lcKestd) << "Process" << processId << "finished (exit code" << exitCode
                     << "), removing ownership tracking (was owned by client" << owner.value() << ")";
    m_processOwners.erase(owner);
}

// What a departed client leaves behind is cleaned up here.
void KestDaemon::clientGone(const QString &clientId, unsigned int sessionId, bool timedOut)
{
    stopTunIfNoClientLeft();

    QStringList owned;
    for (auto it = m_processOwners.cbegin(); it != m_processOwners.cend(); ++it)
        if (it.value() == clientId)
            owned << it.key();
    for (const QString &processId : std::as_const(owned)) {
        qCInfo(lcKestd) << "Stopping process" << processId
                        << (timedOut ? "(owned by timed-out client" : "(owned by disconnected client") << clientId
                        << ")";
        m_processManager->stopProcess(processId);
        m_processOwners.remove(processId);
    }

    if (sessionId != 0)
        killStaleProcesses(sessionId);
    else
        qCInfo(lcKestd) << "Client" << clientId << "has sessionId=0, cannot check for stale processes";
}

void KestDaemon::stopTunIfNoClientLeft()
{
    if (!m_tunManager->isRunning())
        return;
    if (m_communicationServer->clientCount() == 0)
        m_tunManager->stop();
    else
        qCInfo(lcKestd) << "TUN still running - other clients are connected";
}

QJsonObject KestDaemon::dispatchTunAction(const QString &clientId, const QString &action, const QJsonObject &request,
                                          bool *handled)
{
    *handled = true;
    if (action == "start-tun")
        return m_tunManager->start(request);
    if (action == "stop-tun") {
        qCWarning(lcKestd) << "Explicit stop-tun request from client" << clientId;
        return m_tunManager->stop();
    }
    if (action == "tun-status")
        return m_tunManager->status();
    if (action == "flush-dns-cache") {
        m_tunManager->flushDnsCache();
        return statusReply("success");
    }
    if (action == "reset-connections") {
        m_tunManager->resetConnections();
        return statusReply("success");
    }
    *handled = false;
    return {};
}

void KestDaemon::killStaleProcesses(unsigned int sessionId)
{
    StaleProcessKiller().killStaleProcesses(sessionId);
}
