#include "process/ProcessCgroup.h"

#include "process/CgroupLayout.h"
#include "base/DaemonLog.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <mutex>
#include <unistd.h>

namespace {

// Cgroups whose removal found them still populated; retried at every release.
std::mutex s_pendingMutex;
QStringList s_pending;

bool removeDirectory(const QString &directory)
{
    return ::rmdir(QFile::encodeName(directory).constData()) == 0 || errno == ENOENT;
}

void retryPending()
{
    std::lock_guard lock(s_pendingMutex);
    s_pending.removeIf([](const QString &directory) { return removeDirectory(directory); });
}

} // namespace

ProcessCgroup::~ProcessCgroup()
{
    closeProcsFile();
    release();
}

bool ProcessCgroup::create()
{
    const QString directory = CgroupLayout::newLeafDirectory();
    if (directory.isEmpty())
        return false;
    const QByteArray path = QFile::encodeName(directory);
    if (::mkdir(path.constData(), 0755) != 0) {
        qCWarning(lcKestd) << "[ProcessManager] Failed to create cgroup" << directory << "- error:" << errno;
        return false;
    }
    m_procsFd = ::open((path + "/cgroup.procs").constData(), O_WRONLY | O_CLOEXEC);
    if (m_procsFd < 0) {
        qCWarning(lcKestd) << "[ProcessManager] Failed to open cgroup.procs of" << directory << "- error:" << errno;
        ::rmdir(path.constData());
        return false;
    }
    m_directory = directory;
    return true;
}

void ProcessCgroup::closeProcsFile()
{
    if (m_procsFd >= 0)
        ::close(m_procsFd);
    m_procsFd = -1;
}

bool ProcessCgroup::killAll(int *error) const
{
    if (!isValid()) {
        *error = ENOENT;
        return false;
    }
    QFile kill(m_directory + "/cgroup.kill");
    if (!kill.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || kill.write("1") != 1) {
        *error = errno ? errno : EIO;
        return false;
    }
    return true;
}

bool ProcessCgroup::isPopulated() const
{
    QFile events(m_directory + "/cgroup.events");
    if (!isValid() || !events.open(QIODevice::ReadOnly))
        return false;
    return events.readAll().contains("populated 1");
}

void ProcessCgroup::release()
{
    retryPending();
    if (!isValid())
        return;
    closeProcsFile();
    if (!removeDirectory(m_directory)) {
        std::lock_guard lock(s_pendingMutex);
        s_pending.append(m_directory);
    }
    m_directory.clear();
}
