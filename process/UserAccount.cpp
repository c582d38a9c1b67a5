#include "process/UserAccount.h"

#include <QFile>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

constexpr size_t kPasswdBufferBytes = 16384;
constexpr int kInitialGroupCount = 64;

std::vector<gid_t> groupsOf(const char *name, gid_t primary)
{
    std::vector<gid_t> groups(kInitialGroupCount);
    for (;;) {
        int count = int(groups.size());
        if (::getgrouplist(name, primary, groups.data(), &count) >= 0) {
            groups.resize(size_t(count));
            return groups;
        }
        if (count <= int(groups.size()))
            return {primary}; // the lookup failed: the primary group alone
        groups.resize(size_t(count));
    }
}

// Replaces an entry of the same name, or appends.
void setEntry(QByteArrayList &environment, const QByteArray &name, const QByteArray &value)
{
    const QByteArray prefix = name + '=';
    environment.removeIf([&](const QByteArray &entry) { return entry.startsWith(prefix); });
    environment.append(prefix + value);
}

} // namespace

std::optional<UserAccount> UserAccount::lookup(qint64 uid)
{
    if (uid < 0)
        return std::nullopt;
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(kPasswdBufferBytes);
    if (::getpwuid_r(uid_t(uid), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    UserAccount account;
    account.uid = uid;
    account.gid = found->pw_gid;
    account.name = found->pw_name ? QByteArray(found->pw_name) : QByteArray();
    account.home = found->pw_dir ? QByteArray(found->pw_dir) : QByteArray();
    account.shell = found->pw_shell ? QByteArray(found->pw_shell) : QByteArray();
    account.groups = groupsOf(found->pw_name, found->pw_gid);
    return account;
}

std::optional<QByteArrayList> UserAccount::childEnvironment(const UserAccount *account, const QJsonObject &requested,
                                                            QString *error)
{
    QByteArrayList environment;
    if (account) {
        setEntry(environment, "HOME", account->home);
        setEntry(environment, "USER", account->name);
        setEntry(environment, "LOGNAME", account->name);
        setEntry(environment, "SHELL", account->shell);
    }
    for (const char *variable : kInheritedVariables) {
        const QByteArray value = qgetenv(variable);
        if (!value.isNull())
            setEntry(environment, variable, value);
    }
    for (auto it = requested.constBegin(); it != requested.constEnd(); ++it) {
        if (!it.value().isString())
            continue;
        const QByteArray name = QFile::encodeName(it.key());
        const QByteArray value = QFile::encodeName(it.value().toString());
        if (name.isEmpty() || name.contains('=') || name.contains('\0') || value.contains('\0')) {
            *error = QStringLiteral("environment entry \"%1\" cannot be passed").arg(it.key());
            return std::nullopt;
        }
        setEntry(environment, name, value);
    }
    return environment;
}
