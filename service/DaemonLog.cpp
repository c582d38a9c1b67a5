#include "service/DaemonLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <mutex>

Q_LOGGING_CATEGORY(lcKestd, "kestd")

namespace {

// Serialises the append and the rotation of concurrent writers, and guards
// the override and the counter.
std::recursive_mutex &logMutex()
{
    static std::recursive_mutex m;
    return m;
}

QString &pathOverride()
{
    static QString p;
    return p;
}

int g_messageCount = 0;

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "DEBUG";
    case QtInfoMsg: return "INFO";
    case QtWarningMsg: return "WARNING";
    case QtCriticalMsg: return "CRITICAL";
    case QtFatalMsg: return "FATAL";
    }
    return "";
}

QString defaultLogPath()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                        + QDir::separator() + "Kest" + QDir::separator() + "logs";
    QDir().mkpath(dir);
    return QDir::toNativeSeparators(dir + QDir::separator() + "kestd.log");
}

QString currentPathLocked()
{
    return pathOverride().isEmpty() ? defaultLogPath() : pathOverride();
}

} // namespace

QString DaemonLog::formatLine(QtMsgType type, const QString &message)
{
    return QStringLiteral("[%1] %2: %3\n")
        .arg(QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz"),
             QString::fromLatin1(levelWord(type)), message);
}

void DaemonLog::resetForTests()
{
    std::lock_guard lock(logMutex());
    pathOverride().clear();
    g_messageCount = 0;
}

void daemonMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = DaemonLog::formatLine(type, message).toUtf8();
    std::lock_guard lock(logMutex());
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);

    const QString path = currentPathLocked();
    if (!path.isEmpty()) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            file.write(line);
            file.close();
        }
    }

    ++g_messageCount;
    if (g_messageCount % DaemonLog::kRotateCheckEvery == 0 && !path.isEmpty()) {
        QFileInfo info(path);
        if (info.exists() && info.size() > DaemonLog::kRotateSize) {
            const QString rotated = path + ".old";
            QFile::remove(rotated);
            QFile::rename(path, rotated);
        }
    }
}

QString daemonLogPath()
{
    std::lock_guard lock(logMutex());
    return currentPathLocked();
}

void setDaemonLogPath(const QString &path)
{
    {
        std::lock_guard lock(logMutex());
        pathOverride() = path;
    }
    qCDebug(lcKestd) << "Daemon log path set to:" << path;
}

bool clearDaemonLogs()
{
    const QString path = daemonLogPath();
    if (path.isEmpty()) {
        qCWarning(lcKestd) << "Log path is empty, cannot clear";
        return false;
    }
    bool failed = false;
    qCDebug(lcKestd) << "Checking if main log exists:" << path;
    if (QFile::exists(path)) {
        qCDebug(lcKestd) << "Main log file exists, attempting to remove...";
        if (QFile::remove(path)) {
            qCDebug(lcKestd) << "Successfully removed main log file";
        } else {
            qCWarning(lcKestd) << "FAILED to remove main log file";
            failed = true;
        }
    }
    const QString rotated = path + ".old";
    qCDebug(lcKestd) << "Checking if .old log exists:" << rotated;
    if (QFile::exists(rotated)) {
        qCDebug(lcKestd) << ".old log file exists, attempting to remove...";
        if (!QFile::remove(rotated)) {
            qCWarning(lcKestd) << "FAILED to remove .old log file";
            qCWarning(lcKestd) << "Failed to clear some daemon log files";
            return false;
        }
        qCDebug(lcKestd) << "Successfully removed .old log file";
    }
    if (!failed) {
        qCDebug(lcKestd) << "Daemon log files cleared successfully";
        return true;
    }
    qCWarning(lcKestd) << "Failed to clear some daemon log files";
    return false;
}
