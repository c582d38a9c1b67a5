#include "daemon/KestDaemon.h"

#include "daemon/ClientFileAccess.h"
#include "daemon/PolkitAuthority.h"
#include "daemon/PrivilegeManager.h"
#include "daemon/StaleProcessSweeper.h"
#include "explorer/ProcessExplorerService.h"
#include "ipc/CommunicationServer.h"
#include "ipc/SessionSource.h"
#include "process/CgroupLayout.h"
#include "process/ProcessManager.h"
#include "base/DaemonLog.h"
#include "tun/KestTunManager.h"
#include "base/LogLimiter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>
#include <QVersionNumber>

#include <unistd.h>

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

constexpr const char *kNotAuthorized = "Not authorized";
constexpr const char *kForeignSession = "Client does not belong to this session";

// The TUN manager's own replies report failure by "success" false.
bool hasTunReply(const QString &action)
{
    return action == "start-tun" || action == "stop-tun" || action == "tun-status" || action == "tun-connections";
}

// The failure reply in the form the action's replies have.
QJsonObject refusal(const QString &action, const char *error)
{
    if (hasTunReply(action))
        return QJsonObject{{"success", false}, {"error", QString::fromLatin1(error)}};
    return errorReply(QString::fromLatin1(error));
}

LogLimiter s_refusalLog(20, 100);
LogLimiter g_refusedLogPathLog(20, 100);
LogLimiter g_refusedClearLog(20, 100);
} // namespace

KestDaemon::KestDaemon(QObject *parent)
    : QObject(parent)
    , m_processManager(new ProcessManager(this))
    , m_communicationServer(new CommunicationServer(this))
    , m_privilegeManager(new PrivilegeManager(this))
    , m_processExplorer(new ProcessExplorerService(m_communicationServer, this))
    , m_tunManager(new KestTunManager(this))
    , m_authority(new PolkitAuthority(this))
    , m_staleSweeper(new StaleProcessSweeper(nullptr, this))
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
    // Only now, with the single-instance lock held: a second daemon must not
    // undo the TUN mode of the one that runs.
    KestTunManager::recoverAfterCrash();
    // Where managed processes will run (logged once), found before any starts;
    // the TUN mode's filters let their traffic pass.
    if (CgroupLayout::prepare())
        m_tunManager->setPermittedCgroups({QLatin1Char('/') + CgroupLayout::managedParentPath()});
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
    if (!m_awaitingAuthorization.contains(clientId)) {
        serveMessage(clientId, message);
        return;
    }
    // Requests are answered in arrival order: this one waits its turn.
    QList<QJsonObject> &waiting = m_waitingRequests[clientId];
    if (waiting.size() >= kMaxWaitingRequests) {
        answer(clientId, message, errorReply("Too many requests waiting for authorization"));
        return;
    }
    waiting.append(message);
}

void KestDaemon::serveMessage(const QString &clientId, const QJsonObject &message)
{
    const QString action = stringKey(message, "action");
    qCDebug(lcKestd) << "Client" << clientId << "action:" << action << "message:" << compact(message);
    if (m_foreignClients.contains(clientId) && action != "heartbeat") {
        answer(clientId, message, refusal(action, kForeignSession));
        return;
    }
    const auto peer = m_communicationServer->peerCredentials(clientId);
    // Root, and the daemon's own user when it runs as another (tests, a
    // session's own instance), hold the daemon's rights already: nothing it
    // does for them needs asking.
    const bool ownRights = peer && (peer->uid == 0 || uid_t(peer->uid) == ::geteuid());
    if (ownRights || !needsAuthorization(action, message)) {
        answerAs(clientId, message, ownRights);
        return;
    }
    const PolkitAuthority::Subject subject{peer ? peer->pid : -1, peer ? peer->uid : -1};
    const std::optional<bool> known = m_authority->checkAuthorization(
        subject, [this, clientId, message](bool granted) { onAuthorizationAnswer(clientId, message, granted); });
    if (known) {
        answerAs(clientId, message, *known);
        return;
    }
    m_awaitingAuthorization.insert(clientId);
}

void KestDaemon::onAuthorizationAnswer(const QString &clientId, const QJsonObject &message, bool authorized)
{
    m_awaitingAuthorization.remove(clientId);
    QList<QJsonObject> waiting = m_waitingRequests.take(clientId);
    // A client that left meanwhile gets nothing done on its behalf.
    if (!m_communicationServer->peerCredentials(clientId))
        return;
    answerAs(clientId, message, authorized);
    while (!waiting.isEmpty()) {
        if (m_awaitingAuthorization.contains(clientId)) {
            m_waitingRequests.insert(clientId, waiting);
            return;
        }
        serveMessage(clientId, waiting.takeFirst());
    }
}

void KestDaemon::answerAs(const QString &clientId, const QJsonObject &message, bool authorized)
{
    const auto peer = m_communicationServer->peerCredentials(clientId);
    const Requester requester{peer ? peer->uid : -1, peer ? peer->gid : -1, authorized};
    answer(clientId, message, dispatch(clientId, stringKey(message, "action"), message, requester));
}

void KestDaemon::answer(const QString &clientId, const QJsonObject &message, QJsonObject reply)
{
    if (reply.isEmpty())
        return; // the handler has answered already
    if (message.contains("request-id"))
        reply.insert("request-id", message.value("request-id"));
    qCDebug(lcKestd) << "Sending response to client" << clientId << ":" << compact(reply);
    m_communicationServer->sendToClient(clientId, reply);
}

bool KestDaemon::needsAuthorization(const QString &action, const QJsonObject &request) const
{
    if (action == "start-tun" || action == "stop-tun" || action == "reset-connections"
        || action == "flush-dns-cache" || action == "start")
        return true;
    // Without the authorization the listing shows the client's own flows
    // only; while the TUN mode is off there is nothing to ask for.
    if (action == "tun-connections")
        return m_tunManager->isRunning();
    if (action == "client-hello")
        return !stringKey(request, "log-path").isEmpty()
               && compareVersions(stringKey(request, "version"), QCoreApplication::applicationVersion()) > 0;
    return false;
}

bool KestDaemon::belongsToItsSession(const QString &clientId) const
{
    const auto peer = m_communicationServer->peerCredentials(clientId);
    const auto session = m_communicationServer->clientSessionId(clientId);
    if (!peer || !session)
        return false;
    const SessionSource *sessions = SessionSource::instance();
    if (peer->uid == 0 || !sessions->tellsProcessSessions())
        return true;
    return sessions->sessionOfProcess(peer->pid) == session;
}

// The action table: rows are tested in order, the first match answers.
QJsonObject KestDaemon::dispatch(const QString &clientId, const QString &action, const QJsonObject &request,
                                 const Requester &requester)
{
    if (m_stopping && action != "heartbeat")
        return errorReply("Daemon is stopping");
    if (action == "client-hello")
        return handleClientHello(clientId, request, requester);
    if (action == "heartbeat") {
        m_communicationServer->updateHeartbeat(clientId);
        return statusReply("success");
    }
    bool processAction = false;
    QJsonObject processReply = dispatchProcessAction(clientId, action, request, requester, &processAction);
    if (processAction)
        return processReply;
    if (action == "clear-logs")
        return clearLogsFor(clientId) ? statusReply("success") : errorReply("Failed to clear daemon logs");
    bool tunAction = false;
    QJsonObject tunReply = dispatchTunAction(clientId, action, request, requester, &tunAction);
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

QJsonObject KestDaemon::handleClientHello(const QString &clientId, const QJsonObject &request,
                                          const Requester &requester)
{
    const QString logPath = stringKey(request, "log-path");
    if (logPath.isEmpty())
        return errorReply("Log path cannot be empty");
    // The daemon writes, rotates and deletes this file as root: a client may
    // name only a place where it could create files itself.
    const auto peer = m_communicationServer->peerCredentials(clientId);
    const int directoryFd = peer ? ClientFileAccess::openWritableDirectory(logPath, peer->uid, peer->gid) : -1;
    if (directoryFd < 0) {
        if (const auto n = g_refusedLogPathLog.admit())
            qCWarning(lcKestd) << "Client" << clientId << "named a log path it may not write:" << logPath
                               << "(occurrence" << n << ")";
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
    if (!requester.authorized) {
        if (s_refusalLog.admit())
            qCWarning(lcKestd) << "Client" << clientId << "of uid" << requester.uid
                               << "is not authorized to end the daemon for its newer version";
        return errorReply(QString::fromLatin1(kNotAuthorized));
    }

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

bool KestDaemon::clearLogsFor(const QString &clientId)
{
    const auto peer = m_communicationServer->peerCredentials(clientId);
    if (!peer || !mayClearDaemonLogs(peer->uid)) {
        if (const auto n = g_refusedClearLog.admit())
            qCWarning(lcKestd) << "Client" << clientId << "may not clear a log that another user named"
                               << "(occurrence" << n << ")";
        return false;
    }
    return clearDaemonLogs();
}

void KestDaemon::onClientConnected(const QString &clientId)
{
    const auto peer = m_communicationServer->peerCredentials(clientId);
    if (peer)
        m_clientUids.insert(clientId, peer->uid);
    if (!belongsToItsSession(clientId)) {
        qCWarning(lcKestd) << "Client" << clientId << "does not belong to the session of its socket";
        m_foreignClients.insert(clientId);
    } else if (peer) {
        m_tunManager->permitClient(clientId, peer->pid);
    }
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
                                              const QJsonObject &request, const Requester &requester, bool *handled)
{
    *handled = true;
    const QString processId = stringKey(request, "process-id");
    if (action == "start") {
        if (requester.uid < 0 || requester.gid < 0)
            return errorReply(QString::fromLatin1(kNotAuthorized));
        // Owned before the start, so that "started" already reaches the client.
        const std::optional<QString> previousOwner =
            m_processOwners.contains(processId) ? std::optional(m_processOwners.value(processId)) : std::nullopt;
        m_processOwners.insert(processId, clientId);
        qCDebug(lcKestd) << "Process" << processId << "will be owned by client" << clientId;
        const ProcessCredentials credentials{requester.uid, requester.gid, requester.authorized};
        const QJsonObject reply = m_processManager->startProcess(request, credentials);
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
        return m_processManager->stopProcess(processId, requester.uid);
    if (action == "kill")
        return m_processManager->killProcess(processId, requester.uid);
    if (action == "restart")
        return m_processManager->restartProcess(processId, requester.uid);
    if (action == "status")
        return m_processManager->getProcessStatus(processId, requester.uid);
    if (action == "list")
        return m_processManager->listProcesses(requester.uid);
    if (action == "stdin") {
        // Another user's process is not there for this client.
        if (!m_processManager->isVisibleTo(processId, requester.uid) && m_processManager->isVisibleTo(processId, 0))
            return errorReply("Process not found: " + processId);
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
    m_tunManager->forgetClient(clientId);
    m_awaitingAuthorization.remove(clientId);
    m_waitingRequests.remove(clientId);
    const qint64 uid = m_clientUids.value(clientId, -1);
    m_clientUids.remove(clientId);
    const bool foreign = m_foreignClients.remove(clientId);
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

    if (foreign)
        qCInfo(lcKestd) << "Client" << clientId << "did not belong to session" << sessionId << "- no clean-up there";
    else if (sessionId == 0)
        qCInfo(lcKestd) << "Client" << clientId << "has sessionId=0, cannot check for stale processes";
    else if (uid >= 0)
        killStaleProcesses(sessionId, uid);
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
                                          const Requester &requester, bool *handled)
{
    *handled = true;
    const bool changesMachine = action == "start-tun" || action == "stop-tun" || action == "flush-dns-cache"
                                || action == "reset-connections";
    if (changesMachine && !requester.authorized) {
        if (s_refusalLog.admit())
            qCWarning(lcKestd) << "Client" << clientId << "of uid" << requester.uid << "is not authorized for"
                               << action;
        return refusal(action, kNotAuthorized);
    }
    if (action == "start-tun")
        return m_tunManager->start(request);
    if (action == "stop-tun") {
        qCWarning(lcKestd) << "Explicit stop-tun request from client" << clientId;
        return m_tunManager->stop();
    }
    if (action == "tun-status")
        return m_tunManager->status();
    if (action == "tun-connections") {
        const bool everyone = requester.isRoot() || requester.authorized;
        return m_tunManager->connections(everyone ? std::nullopt : std::optional<std::uint32_t>(requester.uid));
    }
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

void KestDaemon::killStaleProcesses(unsigned int sessionId, qint64 uid)
{
    // A client's departure ends only its own user's leftovers, root's too.
    m_staleSweeper->requestSweep(sessionId, uid);
}
