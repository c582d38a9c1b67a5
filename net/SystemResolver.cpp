#include "net/SystemResolver.h"

#include "net/TunStateFile.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDebug>
#include <QList>
#include <QString>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

// systemd-resolved's D-Bus records: (family, address bytes) and (domain, routing-only).
struct ResolvedDnsAddress {
    qint32 family = 0;
    QByteArray address;
};
struct ResolvedDomain {
    QString domain;
    bool routingOnly = false;
};
Q_DECLARE_METATYPE(ResolvedDnsAddress)
Q_DECLARE_METATYPE(ResolvedDomain)

QDBusArgument &operator<<(QDBusArgument &argument, const ResolvedDnsAddress &value)
{
    argument.beginStructure();
    argument << value.family << value.address;
    argument.endStructure();
    return argument;
}
const QDBusArgument &operator>>(const QDBusArgument &argument, ResolvedDnsAddress &value)
{
    argument.beginStructure();
    argument >> value.family >> value.address;
    argument.endStructure();
    return argument;
}
QDBusArgument &operator<<(QDBusArgument &argument, const ResolvedDomain &value)
{
    argument.beginStructure();
    argument << value.domain << value.routingOnly;
    argument.endStructure();
    return argument;
}
const QDBusArgument &operator>>(const QDBusArgument &argument, ResolvedDomain &value)
{
    argument.beginStructure();
    argument >> value.domain >> value.routingOnly;
    argument.endStructure();
    return argument;
}

namespace {

constexpr int kCallTimeoutMs = 5000;
constexpr const char *kBusName = "kestd-resolved";

std::mutex s_fileMutex;
bool s_rewrittenByUs = false;

void registerTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<ResolvedDnsAddress>();
        qDBusRegisterMetaType<QList<ResolvedDnsAddress>>();
        qDBusRegisterMetaType<ResolvedDomain>();
        qDBusRegisterMetaType<QList<ResolvedDomain>>();
    });
}

QDBusConnection bus()
{
    if (const char *address = std::getenv("KESTD_RESOLVED_BUS"); address && *address) {
        // One named connection per address, so that a changed address is not served
        // by a connection made for another.
        const QString text = QString::fromUtf8(address);
        return QDBusConnection::connectToBus(text, QString::fromLatin1(kBusName) + QLatin1Char('-') + text);
    }
    return QDBusConnection::systemBus();
}

int call(const char *method, const QList<QVariant> &arguments, std::string *error)
{
    QDBusConnection connection = bus();
    if (!connection.isConnected()) {
        if (error)
            *error = "no D-Bus connection";
        return -1;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(SystemResolver::kService),
                                                          QString::fromLatin1(SystemResolver::kPath),
                                                          QString::fromLatin1(SystemResolver::kManager),
                                                          QString::fromLatin1(method));
    message.setArguments(arguments);
    const QDBusMessage reply = connection.call(message, QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return 0;
    if (error)
        *error = (reply.errorName() + QStringLiteral(": ") + reply.errorMessage()).toStdString();
    return -1;
}

bool exists(const std::string &path)
{
    struct stat info{};
    return lstat(path.c_str(), &info) == 0;
}

std::optional<std::string> readAll(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            if (n < 0)
                return std::nullopt;
            return content;
        }
        content.append(buffer, std::size_t(n));
    }
}

int writeFd(int fd, const std::string &content)
{
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += std::size_t(n);
    }
    return fsync(fd) == 0 ? 0 : errno;
}

// Replaces path atomically through a temporary beside it; a bind-mounted file (as in
// containers) cannot be renamed over and is rewritten in place instead.
int replaceFile(const std::string &path, const std::string &content)
{
    const std::string temporary = path + ".kestd-new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        int result = writeFd(fd, content);
        ::close(fd);
        if (result == 0 && ::rename(temporary.c_str(), path.c_str()) == 0)
            return 0;
        result = errno;
        ::unlink(temporary.c_str());
        if (result != EBUSY && result != EXDEV && result != EPERM)
            return result;
    } else if (errno != EACCES && errno != EROFS && errno != EPERM) {
        return errno;
    }
    const int inPlace = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (inPlace < 0)
        return errno;
    const int result = writeFd(inPlace, content);
    ::close(inPlace);
    return result;
}

// Keeps the original under the kept name: a hard link keeps the very file (or
// symlink) with its attributes; where linking is impossible, a copy of its content.
int keepOriginal(const std::string &path, const std::string &kept)
{
    if (exists(kept))
        return 0;
    if (!exists(path))
        return replaceFile(kept, std::string());
    if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), 0) == 0)
        return 0;
    const auto content = readAll(path);
    if (!content)
        return errno;
    return replaceFile(kept, *content);
}

int restoreLocked(const std::string &path, const std::string &kept)
{
    if (!exists(kept))
        return 0;
    if (::rename(kept.c_str(), path.c_str()) == 0)
        return 0;
    if (errno != EBUSY && errno != EXDEV && errno != EPERM)
        return errno;
    const auto content = readAll(kept);
    if (!content)
        return errno;
    if (const int result = replaceFile(path, *content); result != 0)
        return result;
    return ::unlink(kept.c_str()) == 0 ? 0 : errno;
}

std::string recordOf(const std::string &path)
{
    return std::string(SystemResolver::kRecordKind) + " path=" + TunStateFile::escape(path);
}

std::string resolvConfContent(const std::vector<std::string> &servers)
{
    std::string content = "# Written by kestd while the TUN mode runs; the original is kept in " +
                          SystemResolver::keptOriginalPath() + " and restored when it stops.\n";
    for (const std::string &server : servers)
        content += "nameserver " + server + "\n";
    return content;
}

} // namespace

bool SystemResolver::resolvedRunning()
{
    QDBusConnection connection = bus();
    if (!connection.isConnected() || !connection.interface())
        return false;
    return connection.interface()->isServiceRegistered(QString::fromLatin1(kService)).value();
}

int SystemResolver::setLinkDns(std::uint32_t interfaceIndex, const std::vector<std::string> &servers,
                               std::string *error)
{
    registerTypes();
    if (servers.empty())
        return revertLink(interfaceIndex, error);
    QList<ResolvedDnsAddress> addresses;
    for (const std::string &server : servers) {
        ResolvedDnsAddress entry;
        unsigned char bytes[16];
        if (inet_pton(AF_INET, server.c_str(), bytes) == 1) {
            entry.family = AF_INET;
            entry.address = QByteArray(reinterpret_cast<const char *>(bytes), 4);
        } else if (inet_pton(AF_INET6, server.c_str(), bytes) == 1) {
            entry.family = AF_INET6;
            entry.address = QByteArray(reinterpret_cast<const char *>(bytes), 16);
        } else {
            if (error)
                *error = "not an IP address: " + server;
            return -1;
        }
        addresses.append(entry);
    }
    const qint32 index = qint32(interfaceIndex);
    if (call("SetLinkDNS", {QVariant(index), QVariant::fromValue(addresses)}, error) != 0)
        return -1;
    const QList<ResolvedDomain> domains{ResolvedDomain{QString::fromLatin1(kRoutingDomain), true}};
    if (call("SetLinkDomains", {QVariant(index), QVariant::fromValue(domains)}, error) != 0)
        return -1;
    // Older resolved versions lack it; the routing domain alone already routes "~.".
    call("SetLinkDefaultRoute", {QVariant(index), QVariant(true)}, nullptr);
    return 0;
}

int SystemResolver::revertLink(std::uint32_t interfaceIndex, std::string *error)
{
    return call("RevertLink", {QVariant(qint32(interfaceIndex))}, error);
}

int SystemResolver::flushCaches(std::string *error)
{
    return call("FlushCaches", {}, error);
}

std::string SystemResolver::resolvConfPath()
{
    if (const char *path = std::getenv("KESTD_RESOLV_CONF"); path && *path)
        return path;
    return kDefaultResolvConf;
}

std::string SystemResolver::keptOriginalPath()
{
    return resolvConfPath() + kKeptSuffix;
}

int SystemResolver::rewriteResolvConf(const std::vector<std::string> &servers)
{
    std::lock_guard lock(s_fileMutex);
    const std::string path = resolvConfPath();
    const std::string kept = keptOriginalPath();
    if (!s_rewrittenByUs && exists(kept)) {
        // Left by a run that was killed: that is the true original.
        if (const int result = restoreLocked(path, kept); result != 0)
            return result;
        qInfo() << "Restored the resolver file kept by an earlier run:" << QString::fromStdString(path);
    }
    // Recorded before the original is kept: a kill at any point leaves a record
    // whose restore finds either the kept original or nothing to do.
    TunStateFile::add(recordOf(path));
    if (const int result = keepOriginal(path, kept); result != 0)
        return result;
    if (const int result = replaceFile(path, resolvConfContent(servers)); result != 0)
        return result;
    s_rewrittenByUs = true;
    return 0;
}

int SystemResolver::restoreResolvConf(bool force)
{
    std::lock_guard lock(s_fileMutex);
    if (!force && !s_rewrittenByUs)
        return 0;
    const int result = restoreLocked(resolvConfPath(), keptOriginalPath());
    if (result == 0) {
        s_rewrittenByUs = false;
        TunStateFile::remove(recordOf(resolvConfPath()));
    }
    return result;
}

bool SystemResolver::restoreAfterCrash(const std::string &path)
{
    std::lock_guard lock(s_fileMutex);
    const std::string kept = path + kKeptSuffix;
    if (s_rewrittenByUs || !exists(kept))
        return false;
    if (const int result = restoreLocked(path, kept); result != 0) {
        qWarning() << "Failed to restore the resolver file kept by an earlier run:" << QString::fromStdString(path)
                   << result;
        return false;
    }
    qInfo() << "Restored the resolver file kept by an earlier run:" << QString::fromStdString(path);
    return true;
}

bool SystemResolver::undoRecord(const std::string &record)
{
    const std::string path = TunStateFile::field(record, "path").value_or("");
    if (path.empty() || path.front() != '/')
        return false;
    return restoreAfterCrash(path);
}
