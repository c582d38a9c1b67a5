// What a child gets from the daemon besides its program: the environment made
// for its user, and a cgroup of its own under the one common parent that the
// network filters name.

#include "process/CgroupLayout.h"
#include "process/ProcessManager.h"
#include "process/UserAccount.h"

#include "ProcessTestSupport.h"

#include <QFile>
#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

using namespace ProcessTest;

QByteArrayList sorted(QByteArrayList list)
{
    std::sort(list.begin(), list.end());
    return list;
}

TEST(UserEnvironment, IsTheUsersOwnPlusTheDaemonsPathAndLangPlusTheRequestsStrings)
{
    const QByteArray path = qgetenv("PATH");
    const QByteArray lang = qgetenv("LANG");
    qputenv("NOTIFY_SOCKET", "/run/systemd/notify");
    qputenv("PATH", "/daemon/bin");
    qputenv("LANG", "C.UTF-8");
    UserAccount account;
    account.name = "alice";
    account.home = "/home/alice";
    account.shell = "/bin/zsh";
    QString error;
    const auto environment = UserAccount::childEnvironment(
        &account, QJsonObject{{"PROXY", "on"}, {"PATH", "/opt/core"}, {"COUNT", 3}, {"FLAG", true}}, &error);
    ASSERT_TRUE(environment.has_value()) << error.toStdString();
    EXPECT_EQ(sorted(*environment), sorted({"HOME=/home/alice", "USER=alice", "LOGNAME=alice", "SHELL=/bin/zsh",
                                            "LANG=C.UTF-8", "PATH=/opt/core", "PROXY=on"}));

    const auto withoutAccount = UserAccount::childEnvironment(nullptr, {}, &error);
    ASSERT_TRUE(withoutAccount.has_value());
    EXPECT_EQ(sorted(*withoutAccount), sorted({"LANG=C.UTF-8", "PATH=/daemon/bin"}));
    qunsetenv("NOTIFY_SOCKET");
    qputenv("PATH", path);
    lang.isNull() ? qunsetenv("LANG") : qputenv("LANG", lang);
}

TEST(UserEnvironment, AnEntryThatCannotBePassedIsRefused)
{
    for (const QJsonObject &requested : {QJsonObject{{"", "x"}}, QJsonObject{{"A=B", "x"}},
                                         QJsonObject{{QString("A") + QChar(0), "x"}},
                                         QJsonObject{{"A", QString("x") + QChar(0) + "y"}}}) {
        QString error;
        EXPECT_FALSE(UserAccount::childEnvironment(nullptr, requested, &error).has_value());
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(ChildCgroup, EachChildRunsAloneInACgroupUnderTheCommonParent)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a writable cgroup v2 hierarchy";
    ensureApplication();
    if (!CgroupLayout::prepare())
        GTEST_SKIP() << "no cgroup v2 hierarchy here";
    const QString parent = CgroupLayout::managedParentPath();
    ASSERT_FALSE(parent.startsWith('/')) << "the parent is relative to the mount";
    ASSERT_TRUE(QFileInfo(CgroupLayout::mountPoint() + '/' + parent).isDir());

    ProcessManager manager;
    QStringList cgroups;
    for (const QString id : {"a", "b"}) {
        const QJsonObject request{{"process-id", id},
                                  {"executable", testChild()},
                                  {"arguments", QJsonArray{"wait"}}};
        ASSERT_EQ(manager.startProcess(request).value("status").toString(), "started");
        const qint64 pid = manager.getProcessStatus(id).value("pid").toInteger();
        QFile own(QStringLiteral("/proc/%1/cgroup").arg(pid));
        ASSERT_TRUE(own.open(QIODevice::ReadOnly));
        const QString cgroup = QString::fromUtf8(own.readAll()).section("0::/", 1).trimmed();
        EXPECT_EQ(cgroup.section('/', 0, -2), parent) << cgroup.toStdString();
        QFile members(CgroupLayout::mountPoint() + '/' + cgroup + "/cgroup.procs");
        ASSERT_TRUE(members.open(QIODevice::ReadOnly));
        EXPECT_EQ(members.readAll().trimmed(), QByteArray::number(pid)) << "the child is alone in its cgroup";
        cgroups << cgroup;
    }
    EXPECT_NE(cgroups.first(), cgroups.last());
    manager.killProcess("a");
    manager.killProcess("b");
}

} // namespace
