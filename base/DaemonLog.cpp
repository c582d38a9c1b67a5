#include "base/DaemonLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

// The client-named log file: its path, and its directory held open so that
// appends, rotation and clearing act in the directory that was checked when
// the path was set, whatever is renamed or linked above it later.
struct LogOverride {
    QString path;
    int directoryFd = -1;
    QByteArray fileName;
    qint64 ownerUid = -1; // the client that named it; -1: any file will do
    qint64 namedBy = -1;  // uid of the client that named it; -1: the daemon itself
};

LogOverride &logOverride()
{
    static LogOverride o;
    return o;
}

// Where file operations go: (directory fd, name) for openat and friends.
struct LogLocation {
    int directoryFd = AT_FDCWD;
    QByteArray name;
    qint64 ownerUid = -1;
    bool valid() const { return !name.isEmpty(); }
};

// A file the log may append to, rotate or delete: a regular file and, for a
// client-named path, one the client owns or the daemon made, with no other
// name (a hard link planted there must not lead to someone else's file).
bool acceptableFile(const struct stat &st, qint64 ownerUid)
{
    if (!S_ISREG(st.st_mode))
        return false;
    return ownerUid < 0 || ((st.st_uid == uid_t(ownerUid) || st.st_uid == 0) && st.st_nlink == 1);
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
    return logOverride().path.isEmpty() ? defaultLogPath() : logOverride().path;
}

LogLocation currentLocationLocked()
{
    const LogOverride &o = logOverride();
    if (!o.path.isEmpty())
        return {o.directoryFd, o.fileName, o.ownerUid};
    return {AT_FDCWD, QFile::encodeName(defaultLogPath())};
}

bool isRegularOrMissingAt(const LogLocation &at, const QByteArray &name)
{
    struct stat st {};
    if (::fstatat(at.directoryFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return acceptableFile(st, at.ownerUid);
}

// Empties a file where it is, so that it keeps its owner and mode; a missing
// file is no failure.
bool truncateAt(const LogLocation &at, const QByteArray &name)
{
    const int fd = ::openat(at.directoryFd, name.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && acceptableFile(st, at.ownerUid) && ::ftruncate(fd, 0) == 0;
    ::close(fd);
    return ok;
}

// A log file made anew after a rotation takes the owner and mode of the file
// it replaces, now the rotated one, so rotation never widens who may read it.
void takeOwnerAndModeOfRotated(const LogLocation &at, int fd)
{
    struct stat st {};
    const QByteArray rotated = at.name + ".old";
    if (::fstatat(at.directoryFd, rotated.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !acceptableFile(st, at.ownerUid))
        return;
    // Owner first: changing it clears set-id bits, which the mode then sets as they were.
    [[maybe_unused]] const int owned = ::fchown(fd, st.st_uid, st.st_gid);
    ::fchmod(fd, st.st_mode & 07777);
}

int openForAppend(const LogLocation &at)
{
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const int fd = ::openat(at.directoryFd, at.name.constData(), flags);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    const int created = ::openat(at.directoryFd, at.name.constData(), flags | O_CREAT | O_EXCL, 0644);
    if (created < 0)
        return errno == EEXIST ? ::openat(at.directoryFd, at.name.constData(), flags) : -1;
    takeOwnerAndModeOfRotated(at, created);
    return created;
}

// Never follow a link at the last component, never block on a FIFO, append
// only to a regular file.
void appendLine(const LogLocation &at, const QByteArray &line)
{
    const int fd = openForAppend(at);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && acceptableFile(st, at.ownerUid)) {
        qsizetype written = 0;
        while (written < line.size()) {
            const ssize_t n = ::write(fd, line.constData() + written, size_t(line.size() - written));
            if (n <= 0)
                break;
            written += n;
        }
    }
    ::close(fd);
}

} // namespace

bool DaemonLog::isRegularOrMissing(const QByteArray &path)
{
    return isRegularOrMissingAt(LogLocation{AT_FDCWD, path}, path);
}

QString DaemonLog::formatLine(QtMsgType type, const QString &message)
{
    return QStringLiteral("[%1] %2: %3\n")
        .arg(QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz"),
             QString::fromLatin1(levelWord(type)), message);
}

void DaemonLog::resetForTests()
{
    std::lock_guard lock(logMutex());
    LogOverride &o = logOverride();
    if (o.directoryFd >= 0)
        ::close(o.directoryFd);
    o = LogOverride{};
    g_messageCount = 0;
}

void daemonMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = DaemonLog::formatLine(type, message).toUtf8();
    std::lock_guard lock(logMutex());
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);

    const LogLocation at = currentLocationLocked();
    if (at.valid())
        appendLine(at, line);

    ++g_messageCount;
    if (g_messageCount % DaemonLog::kRotateCheckEvery == 0 && at.valid()) {
        struct stat st {};
        if (::fstatat(at.directoryFd, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && acceptableFile(st, at.ownerUid)
            && st.st_size > DaemonLog::kRotateSize) {
            const QByteArray rotated = at.name + ".old";
            if (isRegularOrMissingAt(at, rotated))
                ::unlinkat(at.directoryFd, rotated.constData(), 0);
            ::renameat(at.directoryFd, at.name.constData(), at.directoryFd, rotated.constData());
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
    const QFileInfo info(path);
    const int directoryFd = ::open(QFile::encodeName(info.absolutePath()).constData(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    setDaemonLogPath(path, directoryFd, -1);
}

void setDaemonLogPath(const QString &path, int directoryFd, qint64 ownerUid)
{
    {
        std::lock_guard lock(logMutex());
        LogOverride &o = logOverride();
        if (o.directoryFd >= 0)
            ::close(o.directoryFd);
        o.path = path;
        o.directoryFd = directoryFd;
        o.ownerUid = ownerUid == 0 ? -1 : ownerUid;
        o.namedBy = ownerUid;
        // Without its directory the file cannot be reached; lines then go to
        // standard error only.
        o.fileName = directoryFd >= 0 ? QFile::encodeName(QFileInfo(path).fileName()) : QByteArray();
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
    // Unlinking happens where the file was checked: relative to the held
    // directory, never through a link.
    std::lock_guard lock(logMutex());
    const LogLocation at = currentLocationLocked();
    const QByteArray rotatedName = at.name + ".old";
    if (!at.valid() || !isRegularOrMissingAt(at, at.name) || !isRegularOrMissingAt(at, rotatedName)) {
        qCWarning(lcKestd) << "Log path is not a regular file, not clearing:" << path;
        return false;
    }
    const auto exists = [&](const QByteArray &name) {
        struct stat st {};
        return ::fstatat(at.directoryFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    };
    bool failed = false;
    qCDebug(lcKestd) << "Checking if main log exists:" << path;
    if (exists(at.name)) {
        qCDebug(lcKestd) << "Main log file exists, attempting to remove...";
        if (truncateAt(at, at.name)) {
            qCDebug(lcKestd) << "Successfully removed main log file";
        } else {
            qCWarning(lcKestd) << "FAILED to remove main log file";
            failed = true;
        }
    }
    const QString rotated = path + ".old";
    qCDebug(lcKestd) << "Checking if .old log exists:" << rotated;
    if (exists(rotatedName)) {
        qCDebug(lcKestd) << ".old log file exists, attempting to remove...";
        if (::unlinkat(at.directoryFd, rotatedName.constData(), 0) != 0) {
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

bool mayClearDaemonLogs(qint64 clientUid)
{
    std::lock_guard lock(logMutex());
    const LogOverride &o = logOverride();
    return o.path.isEmpty() || o.namedBy < 0 || o.namedBy == clientUid;
}
