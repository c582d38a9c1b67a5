#include "explorer/UserFileAccess.h"

#include "explorer/ExplorerLog.h"

#include <QFile>
#include <QHash>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uid_t kQueryOnly = uid_t(-1); // an invalid id: setfsuid/setfsgid only report the current one

std::optional<gid_t> primaryGroup(quint32 uid)
{
    static std::mutex mutex;
    static QHash<quint32, gid_t> known;
    {
        std::lock_guard lock(mutex);
        if (const auto it = known.constFind(uid); it != known.cend())
            return *it;
    }
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? size_t(size) : 16384);
    passwd pw{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid_t(uid), &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return std::nullopt;
    std::lock_guard lock(mutex);
    known.insert(uid, found->pw_gid);
    return found->pw_gid;
}

bool permitted(const struct stat &st, std::optional<quint32> owner)
{
    return S_ISREG(st.st_mode) && (!owner || st.st_uid == *owner || (st.st_mode & S_IROTH));
}

} // namespace

UserFileAccess::UserFileAccess(std::optional<quint32> owner)
{
    if (!owner || *owner == 0 || ::geteuid() != 0)
        return;
    if (uid_t(::setfsuid(kQueryOnly)) == uid_t(*owner)) {
        m_asOwner = true; // an outer scope already reads as this user
        return;
    }
    const auto gid = primaryGroup(*owner);
    if (gid) {
        m_oldGid = gid_t(::setfsgid(*gid));
        m_oldUid = uid_t(::setfsuid(uid_t(*owner)));
        m_switched = true;
        m_asOwner = gid_t(::setfsgid(kQueryOnly)) == *gid && uid_t(::setfsuid(kQueryOnly)) == uid_t(*owner);
    }
    if (m_asOwner)
        return;
    if (m_switched) {
        ::setfsuid(m_oldUid);
        ::setfsgid(m_oldGid);
        m_switched = false;
    }
    m_ok = false;
    // Once per process: every poll would repeat it for every file of that user.
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true)) {
        qCWarning(lcProcessExplorer) << "Cannot read files as user" << *owner
                                     << (gid ? "(setfsuid failed)" : "(not in the user database)")
                                     << "- that user's desktop entries and icons are skipped";
    }
}

UserFileAccess::~UserFileAccess()
{
    if (!m_switched)
        return;
    ::setfsuid(m_oldUid);
    ::setfsgid(m_oldGid);
}

std::optional<QByteArray> UserFileAccess::readFile(const QString &path, qint64 maxBytes, std::optional<quint32> owner)
{
    const UserFileAccess access(owner);
    if (!access.ok())
        return std::nullopt;
    const QByteArray name = QFile::encodeName(path);
    // Devices and FIFOs are refused before they are opened (opening some has
    // effects of its own); the descriptor is checked again below.
    struct stat st{};
    if (::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // Without the user's identity (a daemon that is not root reading another
    // user's files) at least a link at the last component is not followed.
    if (owner && !access.asOwner() && uid_t(*owner) != ::geteuid())
        flags |= O_NOFOLLOW;
    const int fd = ::open(name.constData(), flags);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> result;
    if (::fstat(fd, &st) == 0 && permitted(st, owner) && st.st_size <= maxBytes) {
        QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
        qsizetype done = 0;
        bool failed = false;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            failed = n < 0;
            if (n <= 0)
                break;
            done += n;
        }
        if (!failed) {
            bytes.truncate(done); // a file that shrank meanwhile
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

bool UserFileAccess::isUsableFile(const QString &path, std::optional<quint32> owner)
{
    const UserFileAccess access(owner);
    struct stat st{};
    return access.ok() && ::stat(QFile::encodeName(path).constData(), &st) == 0 && permitted(st, owner);
}
