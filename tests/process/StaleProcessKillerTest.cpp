// Killing leftover proxy-core processes of a session: name matching, session
// filter, failures, and a real run over /proc.

#include "daemon/StaleProcessKiller.h"
#include "ipc/SessionSource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class FakeSessions : public SessionSource
{
public:
    std::optional<QList<quint32>> activeSessions() const override { return QList<quint32>{3, 4}; }
    std::optional<quint32> sessionOfProcess(qint64 pid) const override
    {
        const auto it = sessions.constFind(pid);
        return it == sessions.cend() ? std::nullopt : std::optional<quint32>(it.value());
    }
    QHash<qint64, quint32> sessions;
};

class FakeTable : public StaleProcessKiller::ProcessTable
{
public:
    std::optional<QList<StaleProcessKiller::ProcessEntry>> snapshot(int *error) const override
    {
        if (snapshotError) {
            *error = snapshotError;
            return std::nullopt;
        }
        return entries;
    }
    int open(qint64 pid, int *error) const override
    {
        if (unopenable.contains(pid)) {
            *error = EPERM;
            return -1;
        }
        if (onOpen)
            onOpen(pid);
        return int(pid);
    }
    QString imageName(qint64 pid) const override
    {
        if (namesNow.contains(pid))
            return namesNow.value(pid);
        for (const StaleProcessKiller::ProcessEntry &entry : entries)
            if (entry.pid == pid)
                return entry.imageName;
        return QString();
    }
    bool isAlive(int handle) const override { return !exited.contains(handle); }
    bool terminate(int handle, int *error) const override
    {
        if (unkillable.contains(handle)) {
            *error = EPERM;
            return false;
        }
        killed.append(handle);
        return true;
    }
    void close(int handle) const override { closed.append(handle); }

    QList<StaleProcessKiller::ProcessEntry> entries;
    int snapshotError = 0;
    QList<qint64> unopenable;
    QList<qint64> unkillable;
    // What has changed by the time a process is held: the pid's name now, the
    // held process having exited, and a hook run at open.
    QHash<qint64, QString> namesNow;
    QList<qint64> exited;
    std::function<void(qint64)> onOpen;
    mutable QList<qint64> killed;
    mutable QList<qint64> closed;
};

class StaleProcessKillerTest : public ::testing::Test
{
protected:
    void SetUp() override { SessionSource::setInstance(&sessions); }
    void TearDown() override { SessionSource::setInstance(nullptr); }

    void add(qint64 pid, const QString &name, std::optional<quint32> session)
    {
        table.entries.append({pid, name});
        if (session)
            sessions.sessions.insert(pid, *session);
    }

    FakeSessions sessions;
    FakeTable table;
};

TEST_F(StaleProcessKillerTest, ImageNamesMatchWholeAndWithoutCaseOrExeSuffix)
{
    for (const char *name : {"xray", "xray.exe", "XRAY.EXE", "Xray", "xray.EXE", "zoduzazidu", "ZODUZAZIDU.exe"})
        EXPECT_TRUE(StaleProcessKiller::imageNameMatches(name, name[0] == 'z' || name[0] == 'Z' ? "zoduzazidu.exe"
                                                                                                 : "xray.exe"))
            << name;
    for (const char *name : {"myxray", "myxray.exe", "xray2", "xray.exe.exe", "xray.ex", "xra", "", "x ray"})
        EXPECT_FALSE(StaleProcessKiller::imageNameMatches(name, "xray.exe")) << name;
}

TEST_F(StaleProcessKillerTest, KillsMatchingProcessesOfTheSessionOnly)
{
    add(10, "xray", 3);
    add(11, "XRAY.EXE", 3);
    add(12, "zoduzazidu", 3);
    add(13, "xray", 4);          // another session
    add(14, "myxray", 3);        // only contains the name
    add(15, "xray-helper", 3);
    add(16, "xray", std::nullopt); // session cannot be told
    add(17, "bash", 3);
    EXPECT_EQ(StaleProcessKiller(&table).killStaleProcesses(3), 3);
    EXPECT_EQ(table.killed, (QList<qint64>{10, 11, 12}));
    EXPECT_EQ(table.closed, (QList<qint64>{10, 11, 12}));
}

TEST_F(StaleProcessKillerTest, FailuresAreSkippedAndTheRestIsStillKilled)
{
    add(20, "xray", 3);
    add(21, "xray", 3);
    add(22, "xray", 3);
    table.unopenable = {20};
    table.unkillable = {21};
    EXPECT_EQ(StaleProcessKiller(&table).killStaleProcesses(3), 1);
    EXPECT_EQ(table.killed, (QList<qint64>{22}));
    EXPECT_EQ(table.closed, (QList<qint64>{21, 22}));
}

TEST_F(StaleProcessKillerTest, AProcessThatChangedBeforeItWasHeldIsNotKilled)
{
    add(40, "xray", 3);
    add(41, "xray", 3);
    add(42, "xray", 3);
    add(43, "xray", 3);
    table.namesNow.insert(40, "bash");          // the pid now belongs to another program
    table.exited = {41};                        // the held process ended meanwhile
    table.onOpen = [this](qint64 pid) {         // the pid went to a process of another session
        if (pid == 42)
            sessions.sessions.insert(42, 4);
    };
    EXPECT_EQ(StaleProcessKiller(&table).killStaleProcesses(3), 1);
    EXPECT_EQ(table.killed, (QList<qint64>{43}));
    EXPECT_EQ(table.closed, (QList<qint64>{40, 41, 42, 43}));
}

TEST_F(StaleProcessKillerTest, FailedSnapshotKillsNothing)
{
    add(30, "xray", 3);
    table.snapshotError = EACCES;
    EXPECT_EQ(StaleProcessKiller(&table).killStaleProcesses(3), 0);
    EXPECT_TRUE(table.killed.isEmpty());
}

TEST_F(StaleProcessKillerTest, RealProcessesOverProcAreKilledOnlyWhenTheNameMatches)
{
    QTemporaryDir dir;
    const QString child = QString::fromLatin1(KEST_TESTCHILD_BINARY);
    const QString xray = dir.filePath("xray");
    const QString lookalike = dir.filePath("myxray");
    ASSERT_TRUE(QFile::copy(child, xray));
    ASSERT_TRUE(QFile::copy(child, lookalike));

    auto spawn = [](const QString &path) {
        const QByteArray program = QFile::encodeName(path);
        const pid_t pid = fork();
        if (pid == 0) {
            execl(program.constData(), program.constData(), "wait", static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid;
    };
    const pid_t stale = spawn(xray);
    const pid_t other = spawn(lookalike);
    const pid_t elsewhere = spawn(xray);
    ASSERT_GT(stale, 0);
    // Wait until each has exec'd, so /proc/PID/exe names the copy.
    for (pid_t pid : {stale, other, elsewhere})
        for (int i = 0; i < 200 && QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).path()
                                       != dir.path();
             ++i)
            usleep(5000);
    sessions.sessions.insert(stale, 3);
    sessions.sessions.insert(other, 3);
    sessions.sessions.insert(elsewhere, 4);

    EXPECT_EQ(StaleProcessKiller().killStaleProcesses(3), 1);
    int status = 0;
    ASSERT_EQ(waitpid(stale, &status, 0), stale);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(waitpid(other, &status, WNOHANG), 0) << "a process that only contains the name was killed";
    EXPECT_EQ(waitpid(elsewhere, &status, WNOHANG), 0) << "a process of another session was killed";
    // A held process that has been reaped is no longer alive, whoever gets its pid.
    const StaleProcessKiller::ProcessTable system;
    int error = 0;
    const int handle = system.open(other, &error);
    ASSERT_GE(handle, 0) << error;
    EXPECT_TRUE(system.isAlive(handle));
    EXPECT_EQ(system.imageName(other), "myxray");
    for (pid_t pid : {other, elsewhere}) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_FALSE(system.isAlive(handle));
    EXPECT_FALSE(system.terminate(handle, &error));
    system.close(handle);
}

TEST_F(StaleProcessKillerTest, ADepartingClientsCleanUpKillsOnlyItsOwnUsersProcesses)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    const QString xray = dir.filePath("xray");
    ASSERT_TRUE(QFile::copy(QString::fromLatin1(KEST_TESTCHILD_BINARY), xray));
    const QByteArray program = QFile::encodeName(xray);
    auto spawnAs = [&program](uid_t uid) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
                _exit(126);
            execl(program.constData(), program.constData(), "wait", static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid;
    };
    constexpr uid_t kNobody = 65534;
    const pid_t users = spawnAs(kNobody);
    const pid_t roots = spawnAs(0);
    for (pid_t pid : {users, roots}) {
        for (int i = 0; i < 200 && QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).path()
                                       != dir.path();
             ++i)
            usleep(5000);
        sessions.sessions.insert(pid, 3);
    }
    EXPECT_EQ(StaleProcessKiller::ProcessTable().ownerUid(users), std::optional<qint64>(kNobody));

    EXPECT_EQ(StaleProcessKiller().killStaleProcesses(3, kNobody), 1);
    int status = 0;
    ASSERT_EQ(waitpid(users, &status, 0), users);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(waitpid(roots, &status, WNOHANG), 0) << "another user's process was killed";
    ::kill(roots, SIGKILL);
    waitpid(roots, nullptr, 0);
}

} // namespace
