#include "explorer/ProcessExplorerService.h"

#include "explorer/ExplorerLog.h"
#include "explorer/ProcessExplorerWorker.h"
#include "ipc/CommunicationServer.h"

#include <QStringList>
#include <QThread>

namespace {

QJsonObject success(const QString &status, const QString &message)
{
    QJsonObject reply{{QStringLiteral("status"), status}};
    if (!message.isEmpty())
        reply.insert(QStringLiteral("message"), message);
    return reply;
}

QJsonObject failure(const QString &error)
{
    return QJsonObject{{QStringLiteral("status"), QStringLiteral("error")}, {QStringLiteral("error"), error}};
}

// A value of another JSON type (or not a whole int) reads as 0, so it fails the range checks.
int readInt(const QJsonObject &request, const char *key)
{
    return request.value(QLatin1String(key)).toInt(0);
}

bool inRange(int value, int low, int high)
{
    return value >= low && value <= high;
}

QString iconSizeError()
{
    return QStringLiteral("Icon size must be between %1 and %2")
        .arg(ProcessExplorerService::kMinIconSize)
        .arg(ProcessExplorerService::kMaxIconSize);
}

} // namespace

ProcessExplorerService::ProcessExplorerService(CommunicationServer *server, QObject *parent)
    : QObject(parent),
      m_communicationServer(server),
      m_workerThread(new QThread(this)),
      m_worker(new ProcessExplorerWorker)
{
    m_worker->moveToThread(m_workerThread);
    connect(m_workerThread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(this, &ProcessExplorerService::startWorker, m_worker, &ProcessExplorerWorker::startPolling,
            Qt::QueuedConnection);
    connect(this, &ProcessExplorerService::stopWorker, m_worker, &ProcessExplorerWorker::stopPolling,
            Qt::QueuedConnection);
    connect(this, &ProcessExplorerService::configureWorker, m_worker, &ProcessExplorerWorker::updateConfig,
            Qt::QueuedConnection);
    connect(this, &ProcessExplorerService::clearWorkerIconCache, m_worker, &ProcessExplorerWorker::clearIconCache,
            Qt::QueuedConnection);
    connect(m_worker, &ProcessExplorerWorker::processListReady, this, &ProcessExplorerService::onProcessListReady,
            Qt::QueuedConnection);
    connect(m_worker, &ProcessExplorerWorker::errorOccurred, this, &ProcessExplorerService::onWorkerError,
            Qt::QueuedConnection);
    m_workerThread->start(QThread::InheritPriority);
    qCInfo(lcProcessExplorer) << "ProcessExplorerService initialized with dedicated thread";
}

ProcessExplorerService::~ProcessExplorerService()
{
    emit stopWorker();
    m_workerThread->quit();
    if (!m_workerThread->wait(kThreadStopWaitMs)) {
        // A poll still running; the thread must not outlive its QThread object.
        qCWarning(lcProcessExplorer) << "Worker thread did not stop within" << kThreadStopWaitMs << "ms, waiting";
        m_workerThread->wait();
    }
    qCInfo(lcProcessExplorer) << "ProcessExplorerService destroyed";
}

QJsonObject ProcessExplorerService::startExplorer(const QJsonObject &request)
{
    if (m_running)
        return failure(QStringLiteral("Process explorer already running"));
    int intervalMs = m_intervalMs;
    bool includeIcons = m_includeIcons;
    int iconSize = m_iconSize;
    if (request.contains(QLatin1String("interval_ms"))) {
        intervalMs = readInt(request, "interval_ms");
        if (intervalMs < kMinIntervalMs)
            return failure(QStringLiteral("Interval must be at least %1ms").arg(kMinIntervalMs));
        if (intervalMs > kMaxIntervalMs)
            return failure(QStringLiteral("Interval cannot exceed %1ms").arg(kMaxIntervalMs));
    }
    if (request.contains(QLatin1String("include_icons")))
        includeIcons = request.value(QLatin1String("include_icons")).toBool(false);
    if (request.contains(QLatin1String("icon_size"))) {
        iconSize = readInt(request, "icon_size");
        if (!inRange(iconSize, kMinIconSize, kMaxIconSize))
            return failure(iconSizeError());
    }
    m_intervalMs = intervalMs;
    m_includeIcons = includeIcons;
    m_iconSize = iconSize;
    m_running = true;
    emit startWorker(m_intervalMs, m_includeIcons, m_iconSize);
    qCInfo(lcProcessExplorer) << "Started with interval" << m_intervalMs << "ms, icons:" << m_includeIcons;
    return success(QStringLiteral("started"),
                   QStringLiteral("Process explorer started with %1ms interval").arg(m_intervalMs));
}

QJsonObject ProcessExplorerService::stopExplorer()
{
    if (!m_running)
        return failure(QStringLiteral("Process explorer not running"));
    m_running = false;
    emit stopWorker();
    qCInfo(lcProcessExplorer) << "Stopped";
    return success(QStringLiteral("stopped"), QStringLiteral("Process explorer stopped"));
}

QJsonObject ProcessExplorerService::configureExplorer(const QJsonObject &request)
{
    QStringList changes;
    if (request.contains(QLatin1String("interval_ms"))) {
        const int intervalMs = readInt(request, "interval_ms");
        if (!inRange(intervalMs, kMinIntervalMs, kMaxIntervalMs))
            return failure(QStringLiteral("Interval must be between %1 and %2ms").arg(kMinIntervalMs).arg(kMaxIntervalMs));
        m_intervalMs = intervalMs;
        changes.append(QStringLiteral("interval_ms=%1").arg(intervalMs));
    }
    if (request.contains(QLatin1String("include_icons"))) {
        m_includeIcons = request.value(QLatin1String("include_icons")).toBool(false);
        changes.append(QStringLiteral("include_icons=%1").arg(m_includeIcons ? QStringLiteral("true") : QStringLiteral("false")));
    }
    if (request.contains(QLatin1String("icon_size"))) {
        const int iconSize = readInt(request, "icon_size");
        if (!inRange(iconSize, kMinIconSize, kMaxIconSize))
            return failure(iconSizeError());
        m_iconSize = iconSize;
        changes.append(QStringLiteral("icon_size=%1").arg(iconSize));
    }
    if (request.value(QLatin1String("clear_icon_cache")).toBool(false)) {
        emit clearWorkerIconCache();
        changes.append(QStringLiteral("icon_cache_cleared"));
    }
    if (changes.isEmpty())
        return failure(QStringLiteral("No valid configuration options provided"));
    emit configureWorker(m_intervalMs, m_includeIcons, m_iconSize);
    const QString joined = changes.join(QStringLiteral(", "));
    qCInfo(lcProcessExplorer) << "Configuration updated:" << joined;
    return success(QStringLiteral("configured"), QStringLiteral("Updated: %1").arg(joined));
}

QJsonObject ProcessExplorerService::explorerStatus() const
{
    return QJsonObject{
        {QStringLiteral("status"), QStringLiteral("success")},
        {QStringLiteral("running"), m_running},
        {QStringLiteral("interval_ms"), m_intervalMs},
        {QStringLiteral("include_icons"), m_includeIcons},
        {QStringLiteral("icon_size"), m_iconSize},
    };
}

void ProcessExplorerService::onProcessListReady(const QJsonObject &message)
{
    if (m_communicationServer)
        m_communicationServer->broadcast(message);
    emit processListUpdated(message);
}

void ProcessExplorerService::onWorkerError(const QString &error)
{
    qCWarning(lcProcessExplorer) << "Worker error:" << error;
    emit explorerError(error);
}
