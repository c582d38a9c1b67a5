#pragma once
// A user as the user database describes it, read before a child is started
// with that user's rights: name, home, shell, primary group and supplementary
// groups; and the environment made for that user's children.

#include <QByteArray>
#include <QByteArrayList>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

#include <sys/types.h>

class UserAccount
{
public:
    // The daemon's variables that its children get; nothing else of its own
    // environment (NOTIFY_SOCKET, RUNTIME_DIRECTORY ...) reaches them.
    static constexpr const char *kInheritedVariables[] = {"PATH", "LANG"};

    // Empty when the uid has no entry in the user database.
    static std::optional<UserAccount> lookup(qint64 uid);

    qint64 uid = -1;
    qint64 gid = -1; // primary group
    QByteArray name;
    QByteArray home;
    QByteArray shell;
    std::vector<gid_t> groups; // supplementary groups, the primary one included

    // The child's whole environment as NAME=value entries: HOME, USER, LOGNAME
    // and SHELL of the account (none without one), the inherited variables of
    // the daemon, then the string values of requested in key order (a value of
    // another type is ignored; a requested name replaces an earlier entry).
    // Empty, with the reason in *error, when a requested entry cannot be
    // passed: an empty name, or a NUL or '=' in the name, or a NUL in the value.
    static std::optional<QByteArrayList> childEnvironment(const UserAccount *account, const QJsonObject &requested,
                                                          QString *error);
};
