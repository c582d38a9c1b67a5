// The /proc snapshot: which processes appear and with which figures.

#include "explorer/ProcessSnapshot.h"
#include "ipc/SessionSource.h"
#include "tests/explorer/ExplorerTestData.h"

#include <QDateTime>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const ProcessEntry *findPid(const QList<ProcessEntry> &rows, quint32 pid)
{
    for (const ProcessEntry &row : rows) {
        if (row.pid == pid)
            return &row;
    }
    return nullptr;
}

class FakeSessions : public SessionSource
{
public:
    std::optional<quint32> sessionOfProcess(qint64 pid) const override
    {
        return pid == m_pid ? std::optional<quint32>(7) : std::nullopt;
    }
    qint64 m_pid = 0;
};

} // namespace

TEST(ProcessSnapshot, ChildAppearsWithItsFiguresAndGoesWhenItExits)
{
    ExplorerTestData data;
    const QString prog = data.copyProgram("kest-snap-child");
    ASSERT_FALSE(prog.isEmpty());
    FakeSessions sessions;
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const pid_t child = ExplorerTestData::spawn(prog, {"30"});
    ASSERT_GT(child, 0);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    sessions.m_pid = child;
    SessionSource::setInstance(&sessions);
    QThread::msleep(50); // let the exec complete

    ProcessSnapshot snapshot;
    const QList<ProcessEntry> rows = snapshot.take();
    SessionSource::setInstance(nullptr);
    const ProcessEntry *row = findPid(rows, quint32(child));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->path, prog);
    EXPECT_EQ(row->name, "kest-snap-child");
    EXPECT_EQ(row->ppid, quint32(::getpid()));
    EXPECT_EQ(row->threads, 1u);
    EXPECT_GT(row->memory, 100u * 1024) << "resident bytes, not pages or kB";
    EXPECT_LT(row->memory, 512u * 1024 * 1024);
    EXPECT_GE(row->created, before - 1000);
    EXPECT_LE(row->created, after + 1000);
    EXPECT_EQ(row->session, 7u);
    EXPECT_EQ(row->uid, quint32(::geteuid()));
    const ProcessEntry *self = findPid(rows, quint32(::getpid()));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->session, 0u) << "no session known reads as 0";

    ExplorerTestData::reap(child);
    EXPECT_EQ(findPid(snapshot.take(), quint32(child)), nullptr);
}

TEST(ProcessSnapshot, EveryRowHasAPathAndKernelThreadsAreLeftOut)
{
    ProcessSnapshot snapshot;
    const QList<ProcessEntry> rows = snapshot.take();
    ASSERT_FALSE(rows.isEmpty());
    for (const ProcessEntry &row : rows) {
        EXPECT_TRUE(row.path.startsWith('/')) << row.pid;
        EXPECT_FALSE(row.name.isEmpty()) << row.pid;
        EXPECT_GE(row.threads, 1u) << row.pid;
    }
    QFile comm("/proc/2/comm");
    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "kthreadd") {
        EXPECT_EQ(findPid(rows, 2), nullptr);
    }
}

TEST(ProcessSnapshot, StartTimeIsStableBetweenPollsAndDeletedBinaryKeepsItsPath)
{
    ExplorerTestData data;
    const QString prog = data.copyProgram("kest-snap-deleted");
    const pid_t child = ExplorerTestData::spawn(prog, {"30"});
    ASSERT_GT(child, 0);
    QThread::msleep(50);
    ASSERT_TRUE(QFile::remove(prog));

    ProcessSnapshot snapshot;
    const QList<ProcessEntry> first = snapshot.take();
    QThread::msleep(30);
    const QList<ProcessEntry> second = snapshot.take();
    ExplorerTestData::reap(child);
    const ProcessEntry *a = findPid(first, quint32(child));
    const ProcessEntry *b = findPid(second, quint32(child));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->created, b->created);
    EXPECT_EQ(a->path, prog) << "an upgraded or deleted binary keeps its path";
    EXPECT_EQ(a->name, "kest-snap-deleted");
}
