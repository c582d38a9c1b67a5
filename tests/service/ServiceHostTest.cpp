// The executable as a system service: registration, the console hint, exit codes.

#include "tests/support/DaemonHarness.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct RunResult {
    int exitCode;
    QString out;
    QString err;
};

RunResult runKestd(const QStringList &args, const QTemporaryDir &dir)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("NOTIFY_SOCKET");
    env.insert("KESTD_UNIT_DIR", dir.filePath("units"));
    env.insert("KESTD_POLKIT_DIR", dir.filePath("polkit/rules.d"));
    env.insert("KESTD_POLKIT_ACTIONS_DIR", dir.filePath("polkit/actions"));
    env.insert("HOME", dir.path());
    env.insert("RUNTIME_DIRECTORY", dir.filePath("run"));
    p.setProcessEnvironment(env);
    p.start(KESTD_BINARY, args);
    p.waitForFinished(20000);
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

class ServiceHostTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QDir(m_dir.path()).mkpath("units");
        QDir(m_dir.path()).mkpath("polkit");
    }
    QTemporaryDir m_dir;
};

TEST_F(ServiceHostTest, RegisterWritesNotifyUnitAndSecondRegisterFails)
{
    const RunResult first = runKestd({"--register"}, m_dir);
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_EQ(first.out, "Service registered successfully\n");

    QFile unit(m_dir.filePath("units/KestService.service"));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(unit.readAll());
    EXPECT_TRUE(text.contains("Type=notify"));
    EXPECT_TRUE(text.contains("RuntimeDirectory=kestd"));
    EXPECT_TRUE(text.contains("Delegate=yes\n"));
    EXPECT_TRUE(text.contains("[Install]\nWantedBy=multi-user.target\n")) << "the unit can be enabled";
    EXPECT_TRUE(text.contains("RuntimeDirectoryPreserve=yes\n")) << "a killed daemon's TUN state would go with it";
    EXPECT_TRUE(text.contains(QStringLiteral("ExecStart=\"%1\"\n").arg(QFileInfo(KESTD_BINARY).canonicalFilePath())))
        << text.toStdString();
    EXPECT_TRUE(text.contains("Delegate=yes\n")) << "managed processes need a delegated cgroup subtree";
    EXPECT_TRUE(QFile::exists(m_dir.filePath("polkit/rules.d/50-kestservice.rules")));
    QFile action(m_dir.filePath("polkit/actions/org.kest.daemon.policy"));
    QFile treeAction(QStringLiteral(KESTD_SOURCE_DIR "/service/org.kest.daemon.policy"));
    ASSERT_TRUE(action.open(QIODevice::ReadOnly) && treeAction.open(QIODevice::ReadOnly));
    EXPECT_EQ(action.readAll(), treeAction.readAll()) << "the installed action is the one of the source tree";

    const RunResult second = runKestd({"--register"}, m_dir);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.err, "Failed to register service: Service already exists\n");
}

TEST_F(ServiceHostTest, UnregisterRemovesUnitAndFailsWhenThereIsNone)
{
    ASSERT_EQ(runKestd({"--register"}, m_dir).exitCode, 0);
    const RunResult removed = runKestd({"--unregister"}, m_dir);
    EXPECT_EQ(removed.exitCode, 0) << removed.err.toStdString();
    EXPECT_EQ(removed.out, "Service unregistered successfully\n");
    EXPECT_FALSE(QFile::exists(m_dir.filePath("units/KestService.service")));
    EXPECT_FALSE(QFile::exists(m_dir.filePath("polkit/rules.d/50-kestservice.rules")));
    EXPECT_FALSE(QFile::exists(m_dir.filePath("polkit/actions/org.kest.daemon.policy")));

    const RunResult again = runKestd({"--unregister"}, m_dir);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "Failed to unregister service: Failed to open service\n");
}

TEST_F(ServiceHostTest, StartedFromShellPrintsHintAndExitsOne)
{
    for (const QStringList &args : {QStringList{}, QStringList{"--something-else"}}) {
        const RunResult r = runKestd(args, m_dir);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "ERROR: kestd must be run as a system service.\n"
                         "To register the service, run: kestd --register\n"
                         "Then start it via systemctl or: systemctl start KestService\n");
        EXPECT_FALSE(QFile::exists(m_dir.filePath("run/kestd-1")));
    }
}

TEST_F(ServiceHostTest, VersionPrintsNameAndVersionWithoutServiceManager)
{
    const RunResult r = runKestd({"--version"}, m_dir);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "kestd 2.1.0\n");
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(m_dir.filePath("run/kestd-1")));
}

} // namespace
