#include "process/ProcessManager.h"

#include "net/Netlink.h"
#include "process/InterfaceDnsOverride.h"
#include "process/ManagedProcess.h"
#include "process/ProcessInfo.h"
#include "base/DaemonLog.h"

#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QProcess>

#include <cerrno>

namespace {

QString nowIso()
{
    return QDateTime::currentDateTime().toString(Qt::ISODate);
}

QProcess::ProcessState stateName(int state)
{
    return static_cast<QProcess::ProcessState>(state);
}

} // namespace

ProcessManager::ProcessManager(QObject *parent)
    : QObject(parent)
{
    connect(&m_flushTimer, &QTimer::timeout, this, &ProcessManager::flushOutputBuffers);
    m_flushTimer.start(kFlushIntervalMs);
    QTimer::singleShot(0, this, &ProcessManager::cleanupStaleEntries);
}

ProcessManager::~ProcessManager()
{
    for (ManagedProcess *process : std::as_const(m_processes))
        process->deleteLater();
}

QJsonObject ProcessManager::successResponse(const QString &status, const QString &message)
{
    QJsonObject response{{"status", status}, {"timestamp", nowIso()}};
    if (!message.isEmpty())
        response.insert("message", message);
    return response;
}

QJsonObject ProcessManager::errorResponse(const QString &error)
{
    return QJsonObject{{"status", "error"}, {"error", error}, {"timestamp", nowIso()}};
}

void ProcessManager::emitEvent(const QString &processId, const QString &event, const QString &data)
{
    QJsonObject object{{"process-id", processId}, {"event", event}, {"timestamp", nowIso()}};
    if (!data.isEmpty())
        object.insert("data", data);
    emit processEvent(object);
}

std::optional<QString> ProcessManager::validateStartRequest(const QJsonObject &request) const
{
    if (ProcessInfo::stringValue(request, "process-id").isEmpty())
        return QStringLiteral("Missing or empty process-id");
    if (ProcessInfo::stringValue(request, "executable").isEmpty())
        return QStringLiteral("Missing or empty executable");
    return std::nullopt;
}

void ProcessManager::removeStaleEntry(const QString &processId, ManagedProcess *process)
{
    process->stop(0);
    process->deleteLater();
    m_processes.remove(processId);
    m_outputBuffers.remove(processId);
}

ManagedProcess *ProcessManager::visibleProcess(const QString &processId, qint64 requesterUid) const
{
    ManagedProcess *process = m_processes.value(processId);
    if (!process || requesterUid == ProcessCredentials::kRootUid || process->info().credentials.uid == requesterUid)
        return process;
    return nullptr;
}

bool ProcessManager::isVisibleTo(const QString &processId, qint64 requesterUid) const
{
    return visibleProcess(processId, requesterUid) != nullptr;
}

QJsonObject ProcessManager::startProcess(const QJsonObject &request, const ProcessCredentials &credentials)
{
    if (const auto error = validateStartRequest(request))
        return errorResponse(*error);
    const QString processId = ProcessInfo::stringValue(request, "process-id");

    if (ManagedProcess *existing = m_processes.value(processId)) {
        // Ids are one name space: another user's entry, even a stale one, is
        // neither replaced nor taken over.
        if (existing->isRunning() || !visibleProcess(processId, credentials.uid))
            return errorResponse("Process already exists: " + processId);
        qCWarning(lcKestd) << "[ProcessManager] Found stale process entry for" << processId
                           << "- state:" << stateName(existing->info().state) << "- cleaning up before restart";
        removeStaleEntry(processId, existing);
    }

    const bool tunCore = processId == QLatin1String(kTunCoreProcessId);
    if (tunCore && credentials.manageNetwork)
        cleanupTunInterface(QString::fromLatin1(kTunCoreInterface));
    else if (tunCore)
        qCWarning(lcKestd) << "[ProcessManager] Not removing" << kTunCoreInterface << "for" << processId
                           << "of uid" << credentials.uid << "- not authorized";

    auto *process = new ManagedProcess(processId, this);
    connect(process, &ManagedProcess::processStarted, this, &ProcessManager::onProcessStarted);
    connect(process, &ManagedProcess::processFinished, this, &ProcessManager::onProcessFinished);
    connect(process, &ManagedProcess::processError, this, &ProcessManager::onProcessError);
    connect(process, &ManagedProcess::stdoutReady, this, &ProcessManager::onProcessStdout);
    connect(process, &ManagedProcess::stderrReady, this, &ProcessManager::onProcessStderr);

    process->setSavedRequest(request);
    process->setCredentials(credentials);
    process->loadSpec(request);
    if (!process->startWindowsProcess()) {
        process->deleteLater();
        return errorResponse("Failed to start process: " + processId);
    }
    m_processes.insert(processId, process);
    scheduleDnsOverride(processId, request);
    return successResponse("started", "Process started successfully");
}

void ProcessManager::scheduleDnsOverride(const QString &processId, const QJsonObject &request)
{
    const QJsonObject dnsOverride = ProcessInfo::objectValue(request, "tun-dns-override");
    const QString address = ProcessInfo::stringValue(dnsOverride, "address");
    const QString iface = ProcessInfo::stringValue(dnsOverride, "iface");
    if (address.isEmpty() || iface.isEmpty())
        return;
    ManagedProcess *process = m_processes.value(processId);
    // A whole machine's resolver is not any user's to redirect.
    if (!process->info().credentials.manageNetwork) {
        qCWarning(lcKestd) << "[ProcessManager] Ignoring the DNS override of" << processId << "of uid"
                           << process->info().credentials.uid << "- not authorized";
        return;
    }
    QTimer::singleShot(kDnsOverrideDelayMs, process,
                       [this, processId, address, iface] { configureInterfaceDns(processId, address, iface); });
}

void ProcessManager::configureInterfaceDns(const QString &processId, const QString &address, const QString &iface)
{
    ManagedProcess *process = m_processes.value(processId);
    if (!process || !process->isRunning())
        return;
    auto *dnsOverride = new InterfaceDnsOverride(address, iface);
    process->attachDnsOverride(dnsOverride);
    dnsOverride->start();
}

QString ProcessManager::getInterfaceGuid(const QString &name) const
{
    Netlink netlink;
    const auto link = netlink.link(name.toStdString());
    if (!link) {
        qCDebug(lcKestd) << "[ProcessManager] Interface not found:" << name;
        return {};
    }
    const QString index = QString::number(link->index);
    qCDebug(lcKestd) << "[ProcessManager] Found interface index:" << index;
    return index;
}

void ProcessManager::cleanupTunInterface(const QString &name)
{
    const QString index = getInterfaceGuid(name);
    if (index.isEmpty()) {
        qCDebug(lcKestd) << "[ProcessManager] No TUN interface found to cleanup for:" << name;
        return;
    }
    qCInfo(lcKestd) << "[ProcessManager] Cleaning up TUN interface with index:" << index;
    Netlink netlink;
    const int error = netlink.deleteLink(name.toStdString());
    if (error == 0 || error == ENODEV)
        qCInfo(lcKestd) << "[ProcessManager] TUN interface removed successfully";
    else
        qCWarning(lcKestd) << "[ProcessManager] Failed to remove TUN interface:" << error;
}

QJsonObject ProcessManager::stopProcess(const QString &processId, qint64 requesterUid)
{
    qCDebug(lcKestd) << "[ProcessManager] stopProcess called for" << processId;
    ManagedProcess *process = visibleProcess(processId, requesterUid);
    if (!process) {
        qCWarning(lcKestd) << "[ProcessManager] Process not found:" << processId;
        return errorResponse("Process not found: " + processId);
    }
    qCDebug(lcKestd) << "[ProcessManager] Calling stop() on process" << processId;
    process->stop(kStopTimeoutMs);
    return successResponse("stopping", "Process stop requested");
}

QJsonObject ProcessManager::killProcess(const QString &processId, qint64 requesterUid)
{
    ManagedProcess *process = visibleProcess(processId, requesterUid);
    if (!process)
        return errorResponse("Process not found: " + processId);
    process->kill();
    return successResponse("killed", "Process killed");
}

QJsonObject ProcessManager::restartProcess(const QString &processId, qint64 requesterUid)
{
    ManagedProcess *process = visibleProcess(processId, requesterUid);
    if (!process)
        return errorResponse("Process not found: " + processId);
    process->stop(kStopTimeoutMs);
    return successResponse("restarting", "Process restart initiated");
}

QJsonObject ProcessManager::getProcessStatus(const QString &processId, qint64 requesterUid)
{
    ManagedProcess *process = visibleProcess(processId, requesterUid);
    if (!process)
        return errorResponse("Process not found: " + processId);
    const ProcessInfo info = process->info();
    QJsonObject response = successResponse("success");
    response.insert("process-id", info.id);
    response.insert("state", info.state);
    response.insert("pid", info.pid);
    response.insert("start-time", info.startTime.toString(Qt::ISODate));
    response.insert("running", process->isRunning());
    return response;
}

QJsonObject ProcessManager::listProcesses(qint64 requesterUid)
{
    QJsonArray processes;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        if (!visibleProcess(it.key(), requesterUid))
            continue;
        const ProcessInfo info = it.value()->info();
        processes.append(QJsonObject{{"process-id", info.id},
                                     {"state", info.state},
                                     {"pid", info.pid},
                                     {"running", it.value()->isRunning()}});
    }
    QJsonObject response = successResponse("success");
    response.insert("processes", processes);
    return response;
}

bool ProcessManager::writeToProcess(const QString &processId, const QByteArray &data)
{
    ManagedProcess *process = m_processes.value(processId);
    if (!process)
        return false;
    return process->writeToStdin(data);
}

void ProcessManager::onProcessStarted(const QString &processId)
{
    emitEvent(processId, "started");
}

void ProcessManager::onProcessError(const QString &processId, const QString &error)
{
    emitEvent(processId, "error", error);
}

bool ProcessManager::isCurrentSender(const QString &processId) const
{
    auto *source = qobject_cast<ManagedProcess *>(sender());
    return !source || m_processes.value(processId) == source;
}

void ProcessManager::onProcessStdout(const QString &processId, const QByteArray &data)
{
    if (!isCurrentSender(processId))
        return;
    OutputBuffers &buffers = m_outputBuffers[processId];
    buffers.processId = processId;
    buffers.stdoutData.append(data);
}

void ProcessManager::onProcessStderr(const QString &processId, const QByteArray &data)
{
    if (!isCurrentSender(processId))
        return;
    OutputBuffers &buffers = m_outputBuffers[processId];
    buffers.processId = processId;
    buffers.stderrData.append(data);
}

qsizetype ProcessManager::completeUtf8Length(const QByteArray &data)
{
    const qsizetype size = data.size();
    // Step back over up to three continuation bytes to the sequence's lead byte.
    qsizetype lead = size - 1;
    while (lead >= 0 && size - lead <= 3 && (uchar(data[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead < 0)
        return size;
    const uchar byte = uchar(data[lead]);
    qsizetype expected = 1;
    if ((byte & 0xE0) == 0xC0)
        expected = 2;
    else if ((byte & 0xF0) == 0xE0)
        expected = 3;
    else if ((byte & 0xF8) == 0xF0)
        expected = 4;
    return size - lead < expected ? lead : size;
}

void ProcessManager::flushRecord(OutputBuffers &buffers, bool final)
{
    ManagedProcess *process = m_processes.value(buffers.processId);
    // One event of at most kMaxEventBytes, not ending inside a UTF-8 sequence
    // unless this is the final flush and nothing else is left.
    auto emitChunk = [&](QByteArray &pending, const char *event) -> bool {
        qsizetype length = qMin(pending.size(), kMaxEventBytes);
        if (!final || length < pending.size()) {
            const qsizetype complete = completeUtf8Length(QByteArray::fromRawData(pending.constData(), length));
            length = complete > 0 || !final ? complete : length;
        }
        if (length == 0)
            return false;
        emitEvent(buffers.processId, event, QString::fromUtf8(pending.constData(), length));
        pending.remove(0, length);
        if (process)
            process->outputDelivered(length);
        return true;
    };
    auto flushStream = [&](QByteArray &pending, const char *event) {
        if (final) {
            while (!pending.isEmpty() && emitChunk(pending, event)) {
            }
        } else if (!pending.isEmpty()) {
            emitChunk(pending, event);
        }
    };
    flushStream(buffers.stdoutData, "stdout");
    flushStream(buffers.stderrData, "stderr");
}

void ProcessManager::flushOutputBuffers()
{
    // Events may reach code that starts or removes processes: walk a snapshot.
    const QStringList ids = m_outputBuffers.keys();
    for (const QString &id : ids) {
        auto it = m_outputBuffers.find(id);
        if (it == m_outputBuffers.end())
            continue;
        if (m_canDeliver && (!it->stdoutData.isEmpty() || !it->stderrData.isEmpty()) && !m_canDeliver(id))
            continue;
        // The check may have changed the table.
        it = m_outputBuffers.find(id);
        if (it != m_outputBuffers.end())
            flushRecord(it.value(), false);
    }
}

void ProcessManager::onProcessFinished(const QString &processId, int exitCode)
{
    // A finish that arrives from an object no longer in the table (replaced
    // meanwhile as stale) must not remove its successor.
    if (!isCurrentSender(processId)) {
        qCDebug(lcKestd) << "[ProcessManager::onProcessFinished] Ignoring finish of a replaced entry for"
                         << processId;
        return;
    }
    auto buffers = m_outputBuffers.find(processId);
    if (buffers != m_outputBuffers.end()) {
        OutputBuffers record = buffers.value();
        m_outputBuffers.erase(buffers);
        flushRecord(record, true);
    }
    ManagedProcess *finished = m_processes.value(processId);
    if (processId == QLatin1String(kTunCoreProcessId) && finished && finished->info().credentials.manageNetwork)
        cleanupTunInterface(QString::fromLatin1(kTunCoreInterface));
    qCDebug(lcKestd) << "[ProcessManager::onProcessFinished] Process" << processId << "finished with exit code"
                     << exitCode << "- removing from m_processes (current size:" << m_processes.size() << ")";
    emitEvent(processId, "finished", QString::number(exitCode));
    if (ManagedProcess *process = m_processes.take(processId))
        process->deleteLater();
    qCDebug(lcKestd) << "[ProcessManager::onProcessFinished] Process" << processId
                     << "removed from hash (new size:" << m_processes.size() << ")";
}

void ProcessManager::stopAllProcesses(int timeoutMs)
{
    if (m_processes.isEmpty()) {
        qCInfo(lcKestd) << "[ProcessManager] No processes to stop";
        return;
    }
    qCInfo(lcKestd) << "[ProcessManager] Stopping all" << m_processes.size() << "managed processes...";
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        qCInfo(lcKestd) << "[ProcessManager] Stopping process:" << it.key();
        it.value()->stop(timeoutMs);
    }

    auto anyRunning = [this] {
        for (ManagedProcess *process : std::as_const(m_processes))
            if (process->isRunning())
                return true;
        return false;
    };
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs + kStopAllSlackMs);
    QTimer check;
    connect(&check, &QTimer::timeout, &loop, [&] {
        if (!anyRunning())
            loop.quit();
    });
    check.start(kStopAllCheckMs);
    if (anyRunning())
        loop.exec();

    int forced = 0;
    const auto entries = m_processes;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (!it.value()->isRunning()) {
            // Its exit may not have been handled yet: what it left goes now.
            it.value()->endRemainingProcesses();
            continue;
        }
        qCWarning(lcKestd) << "[ProcessManager] Process" << it.key() << "still running after timeout, force killing...";
        it.value()->kill();
        ++forced;
    }
    if (forced == 0)
        qCInfo(lcKestd) << "[ProcessManager] All processes stopped gracefully";
    else
        qCWarning(lcKestd) << "[ProcessManager] Force killed" << forced << "processes that didn't stop gracefully";
}

void ProcessManager::cleanupStaleEntries()
{
    QStringList stale;
    for (auto it = m_processes.cbegin(); it != m_processes.cend(); ++it) {
        if (it.value()->isRunning())
            continue;
        qCWarning(lcKestd) << "[ProcessManager] Found stale process entry on startup:" << it.key()
                           << "- state:" << stateName(it.value()->info().state);
        stale.append(it.key());
    }
    for (const QString &id : std::as_const(stale)) {
        qCInfo(lcKestd) << "[ProcessManager] Removing stale process entry:" << id;
        m_processes.take(id)->deleteLater();
        m_outputBuffers.remove(id);
    }
    if (!stale.isEmpty())
        qCInfo(lcKestd) << "[ProcessManager] Cleaned up" << stale.size() << "stale process entries";
}
