#include "daemon/StaleProcessKiller.h"

#include "ipc/SessionSource.h"
#include "base/DaemonLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

QString withoutExeSuffix(const QString &name)
{
    return name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive) ? name.chopped(4) : name;
}

// Basename of /proc/PID/exe; the command name when the link cannot be read
// (kernel threads, other namespaces).
QString imageNameOf(const QString &pidText)
{
    QString target = QFile::symLinkTarget("/proc/" + pidText + "/exe");
    if (!target.isEmpty()) {
        const QLatin1String deleted(" (deleted)");
        if (target.endsWith(deleted))
            target.chop(deleted.size());
        return QFileInfo(target).fileName();
    }
    QFile comm("/proc/" + pidText + "/comm");
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

const StaleProcessKiller::ProcessTable &systemTable()
{
    static const StaleProcessKiller::ProcessTable table;
    return table;
}

} // namespace

std::optional<QList<StaleProcessKiller::ProcessEntry>> StaleProcessKiller::ProcessTable::snapshot(int *error) const
{
    QDir proc("/proc");
    if (!proc.exists()) {
        *error = ENOENT;
        return std::nullopt;
    }
    QList<ProcessEntry> entries;
    const QStringList names = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        bool numeric = false;
        const qint64 pid = name.toLongLong(&numeric);
        if (!numeric || pid <= 0)
            continue;
        entries.append({pid, imageNameOf(name)});
    }
    return entries;
}

int StaleProcessKiller::ProcessTable::open(qint64 pid, int *error) const
{
    const int fd = int(syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (fd < 0)
        *error = errno;
    return fd;
}

QString StaleProcessKiller::ProcessTable::imageName(qint64 pid) const
{
    return imageNameOf(QString::number(pid));
}

std::optional<qint64> StaleProcessKiller::ProcessTable::ownerUid(qint64 pid) const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
        bool realOk = false;
        bool effectiveOk = false;
        const qint64 real = ids.value(0).toLongLong(&realOk);
        const qint64 effective = ids.value(1).toLongLong(&effectiveOk);
        if (realOk && effectiveOk && real == effective)
            return real;
        return std::nullopt;
    }
    return std::nullopt;
}

bool StaleProcessKiller::ProcessTable::isAlive(int handle) const
{
    return syscall(SYS_pidfd_send_signal, handle, 0, nullptr, 0) == 0;
}

bool StaleProcessKiller::ProcessTable::terminate(int handle, int *error) const
{
    if (syscall(SYS_pidfd_send_signal, handle, SIGKILL, nullptr, 0) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

void StaleProcessKiller::ProcessTable::close(int handle) const
{
    if (handle >= 0)
        ::close(handle);
}

StaleProcessKiller::StaleProcessKiller(const ProcessTable *table)
    : m_table(table ? table : &systemTable())
{
}

bool StaleProcessKiller::imageNameMatches(const QString &imageName, const QString &staleName)
{
    return withoutExeSuffix(imageName).compare(withoutExeSuffix(staleName), Qt::CaseInsensitive) == 0;
}

int StaleProcessKiller::killStaleProcesses(quint32 sessionId, std::optional<qint64> uid) const
{
    qCInfo(lcKestd) << "Checking for stale processes in session" << sessionId;
    int error = 0;
    const auto processes = m_table->snapshot(&error);
    if (!processes) {
        qCWarning(lcKestd) << "Failed to create process snapshot:" << error;
        return 0;
    }
    if (processes->isEmpty()) {
        qCWarning(lcKestd) << "Failed to get first process:" << ENOENT;
        return 0;
    }

    auto isStale = [this, sessionId, uid](qint64 pid, const QString &imageName) {
        bool nameMatches = false;
        for (const char *staleName : kStaleProcessNames)
            nameMatches = nameMatches || imageNameMatches(imageName, QString::fromLatin1(staleName));
        if (!nameMatches)
            return false;
        if (uid && m_table->ownerUid(pid) != uid)
            return false;
        const auto session = SessionSource::instance()->sessionOfProcess(pid);
        return session && *session == sessionId;
    };

    int killed = 0;
    for (const ProcessEntry &process : *processes) {
        if (!isStale(process.pid, process.imageName))
            continue;
        const QString name = process.imageName;
        const int handle = m_table->open(process.pid, &error);
        if (handle < 0) {
            qCWarning(lcKestd) << "Failed to open stale process" << name << "PID:" << process.pid << "error:" << error;
            continue;
        }
        // The snapshot may be out of date: the process may have ended and its
        // pid gone to another one. With the handle held, read again who has
        // the pid; if the held process is still alive afterwards, the pid was
        // its own throughout, so what was read describes it.
        if (!isStale(process.pid, m_table->imageName(process.pid)) || !m_table->isAlive(handle)) {
            qCDebug(lcKestd) << "Stale process" << name << "PID:" << process.pid << "is gone, not killing";
            m_table->close(handle);
            continue;
        }
        qCWarning(lcKestd) << "Found stale process" << name << "PID:" << process.pid << "in session" << sessionId
                           << "- killing";
        if (m_table->terminate(handle, &error)) {
            qCInfo(lcKestd) << "Successfully killed stale process" << name << "PID:" << process.pid;
            ++killed;
        } else {
            qCWarning(lcKestd) << "Failed to terminate stale process" << name << "PID:" << process.pid
                               << "error:" << error;
        }
        m_table->close(handle);
    }
    if (killed == 0)
        qCDebug(lcKestd) << "No stale processes found in session" << sessionId;
    else
        qCInfo(lcKestd) << "Killed" << killed << "stale process(es) in session" << sessionId;
    return killed;
}
