#include "daemon/ClientFileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Switches the calling thread's file-system uid and gid for its lifetime.
class FsIdentity
{
public:
    FsIdentity(uid_t uid, gid_t gid)
        : m_oldGid(::setfsgid(gid))
        , m_oldUid(::setfsuid(uid))
    {
        // setfsuid reports the previous value only; asking again tells whether it took.
        m_ok = uid_t(::setfsuid(uid)) == uid && gid_t(::setfsgid(gid)) == gid;
    }
    ~FsIdentity()
    {
        ::setfsuid(m_oldUid);
        ::setfsgid(m_oldGid);
    }
    bool ok() const { return m_ok; }

private:
    gid_t m_oldGid;
    uid_t m_oldUid;
    bool m_ok = false;
};

// Whether the current file-system identity may create files in the directory.
bool mayCreateIn(int directoryFd)
{
    const int probe = ::openat(directoryFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (probe >= 0) {
        ::close(probe);
        return true;
    }
    if (errno == EACCES || errno == EPERM || errno == EROFS)
        return false;
    // File systems without O_TMPFILE: a named probe, removed at once.
    const QByteArray name = ".kestd-probe-" + QByteArray::number(::getpid());
    const int fd = ::openat(directoryFd, name.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlinkat(directoryFd, name.constData(), 0);
    return true;
}

int openChecked(const QString &path, qint64 uid)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return -1;
    const int directoryFd = ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0)
        return -1;
    struct stat st {};
    const QByteArray name = QFile::encodeName(info.fileName());
    // An existing file must be the client's own (in a sticky /tmp a client may
    // create files but must not have root delete or rotate another user's)
    // and have no other name.
    const bool fileOk = ::fstatat(directoryFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
                            ? S_ISREG(st.st_mode) && (uid == 0 || (st.st_uid == uid_t(uid) && st.st_nlink == 1))
                            : errno == ENOENT;
    if (name.isEmpty() || !fileOk || !mayCreateIn(directoryFd)) {
        ::close(directoryFd);
        return -1;
    }
    return directoryFd;
}

} // namespace

int ClientFileAccess::openWritableDirectory(const QString &path, qint64 uid, qint64 gid)
{
    if (path.isEmpty() || uid < 0 || gid < 0)
        return -1;
    if (uid == 0 || uid_t(uid) == ::geteuid())
        return openChecked(path, uid);
    if (::geteuid() != 0)
        return -1; // an unprivileged daemon cannot act as another user
    const FsIdentity identity{static_cast<uid_t>(uid), static_cast<gid_t>(gid)};
    return identity.ok() ? openChecked(path, uid) : -1;
}
