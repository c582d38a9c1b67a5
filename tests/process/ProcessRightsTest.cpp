// What a child gets from the daemon besides its program: an environment of
// entries that can be passed, and a cgroup of its own under the one common
// parent that the network filters name.

#include "process/CgroupLayout.h"
#include "process/ProcessManager.h"
#include "process/UserAccount.h"

#include "ProcessTestSupport.h"

#include <QFile>
#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

using namespace ProcessTest;

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
