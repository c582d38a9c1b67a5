#include "ipc/RuntimeDirectory.h"

#include "base/DaemonLog.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

RuntimeDirectory::RuntimeDirectory() = default;

RuntimeDirectory::~RuntimeDirectory()
{
    release();
}

QString RuntimeDirectory::path()
{
    const QString env = qEnvironmentVariable("RUNTIME_DIRECTORY");
    // systemd may pass several directories separated by ':'; ours is the first.
    const QString first = env.section(':', 0, 0);
    return first.isEmpty() ? QString::fromLatin1(kDefaultPath) : first;
}

QString RuntimeDirectory::socketPath(const QString &baseName, quint32 sessionId)
{
    return QStringLiteral("%1/%2-%3").arg(path(), baseName).arg(sessionId);
}

bool RuntimeDirectory::acquire()
{
    if (held())
        return true;
    const QByteArray dir = QFile::encodeName(path());
    if (::mkdir(dir.constData(), 0755) != 0 && errno != EEXIST) {
        qCCritical(lcKestd) << "Cannot create runtime directory" << path() << "error:" << errno;
        return false;
    }
    if (::geteuid() == 0) {
        // Only root may create entries here, so no user can squat a socket name.
        if (::chown(dir.constData(), 0, 0) != 0 || ::chmod(dir.constData(), 0755) != 0)
            qCWarning(lcKestd) << "Cannot make runtime directory root-owned:" << path() << errno;
    }
    const QByteArray lock = dir + '/' + kLockName;
    const int fd = ::open(lock.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        qCCritical(lcKestd) << "Cannot open single-instance lock" << QFile::decodeName(lock) << "error:" << errno;
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        qCCritical(lcKestd) << "Another kestd instance already serves" << path()
                            << "- refusing to take over its sockets";
        ::close(fd);
        return false;
    }
    m_lockFd = fd;
    return true;
}

void RuntimeDirectory::release()
{
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}
