// Process actions and their ownership through the real daemon binary, with
// two clients on the same session socket.

#include "tests/support/DaemonHarness.h"
#include "tests/support/GreetedClient.h"
#include "tools/KestClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace {

QString testChild()
{
    return QString::fromLatin1(KEST_TESTCHILD_BINARY);
}

QJsonObject startRequest(const QString &id, const QStringList &script)
{
    return QJsonObject{{"action", "start"},
                       {"process-id", id},
                       {"executable", testChild()},
                       {"arguments", QJsonArray::fromStringList(script)}};
}

qint64 readPid(const QString &path, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            bool ok = false;
            const qint64 pid = file.readAll().trimmed().toLongLong(&ok);
            if (ok && pid > 0)
                return pid;
        }
        QThread::msleep(10);
    }
    return -1;
}

bool waitGone(qint64 pid, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (QFile::exists(QStringLiteral("/proc/%1").arg(pid))) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

class ProcessOwnership : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.start()) << m_daemon.stderrText().toStdString(); }

    std::unique_ptr<KestClient> connectClient() { return connectGreetedClient(m_daemon); }

    QTemporaryDir m_dir;
    DaemonHarness m_daemon;
};

TEST_F(ProcessOwnership, EventsGoOnlyToTheOwner)
{
    auto owner = connectClient();
    auto other = connectClient();
    QJsonObject request = startRequest("core", {"out", "hello", "err", "careful", "wait"});
    request["request-id"] = 11;
    const auto reply = owner->request(request);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("status").toString(), "started");
    EXPECT_EQ(reply->value("request-id").toInt(), 11);
    // "started" arrived before the reply and was kept aside by the client.
    const auto started = owner->nextEvent(0);
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->value("event").toString(), "started");
    EXPECT_EQ(started->value("process-id").toString(), "core");

    const auto out = owner->waitEvent("stdout", 3000);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->value("data").toString(), "hello\n");
    const auto err = owner->waitEvent("stderr", 3000);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->value("data").toString(), "careful\n");

    EXPECT_FALSE(other->nextEvent(500).has_value()) << "a process event reached a client that does not own it";
    const auto stopped = owner->request(QJsonObject{{"action", "stop"}, {"process-id", "core"}});
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->value("status").toString(), "stopping");
    const auto finished = owner->waitEvent("finished", 5000);
    ASSERT_TRUE(finished.has_value());
    EXPECT_EQ(finished->value("data").toString(), "130");
    EXPECT_FALSE(other->nextEvent(200).has_value());
}

TEST_F(ProcessOwnership, OwnersDisconnectStopsItsProcessesAndTheirFinishedReachesNobody)
{
    auto owner = connectClient();
    auto other = connectClient();
    const QString pidFile = m_dir.filePath("core.pid");
    ASSERT_EQ(owner->request(startRequest("core", {"trap-int", "0", "pid", pidFile, "wait"}))->value("status"),
              "started");
    ASSERT_EQ(other->request(startRequest("mine", {"wait"}))->value("status"), "started");
    ASSERT_EQ(other->nextEvent(0).value_or(QJsonObject()).value("event").toString(), "started");
    const qint64 pid = readPid(pidFile, 3000);
    ASSERT_GT(pid, 0);

    owner->close();
    EXPECT_TRUE(waitGone(pid, 5000)) << "the departed owner's process was not stopped";
    EXPECT_TRUE(m_daemon.waitForLog("(owned by disconnected client", 3000));
    EXPECT_TRUE(m_daemon.waitForLog(
        QStringLiteral("Checking for stale processes in session %1").arg(DaemonHarness::kSession), 3000));
    // The other client hears nothing of it, and its own process lives on.
    const auto event = other->nextEvent(500);
    EXPECT_FALSE(event.has_value()) << "unexpected event "
                                    << event.value_or(QJsonObject()).value("event").toString().toStdString();
    const auto status = other->request(QJsonObject{{"action", "status"}, {"process-id", "mine"}});
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->value("running").toBool());
    // The stopped entry has gone from the table.
    const auto gone = other->request(QJsonObject{{"action", "status"}, {"process-id", "core"}});
    EXPECT_EQ(gone->value("error").toString(), "Process not found: core");
}

TEST_F(ProcessOwnership, ALaterStartOfTheSameIdByAnotherClientMakesItTheOwner)
{
    auto first = connectClient();
    auto second = connectClient();
    ASSERT_EQ(first->request(startRequest("core", {"wait"}))->value("status"), "started");
    ASSERT_EQ(first->request(QJsonObject{{"action", "kill"}, {"process-id", "core"}})->value("status"), "killed");
    first->nextEvent(0); // its "started"

    const auto reply = second->request(startRequest("core", {"out", "second", "wait"}));
    ASSERT_EQ(reply->value("status"), "started");
    EXPECT_TRUE(second->waitEvent("stdout", 3000).has_value());
    EXPECT_FALSE(first->nextEvent(300).has_value());
}

TEST_F(ProcessOwnership, FailedStartAnswersWithTheErrorAndSendsNoEvent)
{
    auto client = connectClient();
    QJsonObject request = startRequest("ghost", {});
    request["executable"] = "/nonexistent/kest-no-such-program";
    const auto reply = client->request(request);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("status").toString(), "error");
    EXPECT_EQ(reply->value("error").toString(), "Failed to start process: ghost");
    EXPECT_FALSE(client->nextEvent(200).has_value());
    const auto list = client->request(QJsonObject{{"action", "list"}});
    EXPECT_TRUE(list->value("processes").toArray().isEmpty());
}

TEST_F(ProcessOwnership, StdinAndTheQueryActionsWorkThroughTheDaemon)
{
    auto client = connectClient();
    ASSERT_EQ(client->request(startRequest("echo", {"echo-stdin", "1", "wait"}))->value("status"), "started");
    const auto written = client->request(QJsonObject{{"action", "stdin"}, {"process-id", "echo"}, {"data", "ping\n"}});
    EXPECT_EQ(written->value("status").toString(), "success");
    const auto echoed = client->waitEvent("stdout", 3000);
    ASSERT_TRUE(echoed.has_value());
    EXPECT_EQ(echoed->value("data").toString(), "stdin:ping\n");

    const auto absent = client->request(QJsonObject{{"action", "stdin"}, {"process-id", "nope"}, {"data", "x"}});
    EXPECT_EQ(absent->value("error").toString(), "Failed to write to process stdin");
    const auto noId = client->request(QJsonObject{{"action", "stop"}});
    EXPECT_EQ(noId->value("error").toString(), "Process not found: ");

    const auto list = client->request(QJsonObject{{"action", "list"}, {"request-id", "l"}});
    EXPECT_EQ(list->value("request-id").toString(), "l");
    ASSERT_EQ(list->value("processes").toArray().size(), 1);
    EXPECT_EQ(list->value("processes").toArray()[0].toObject().value("process-id").toString(), "echo");
    const auto status = client->request(QJsonObject{{"action", "status"}, {"process-id", "echo"}});
    EXPECT_EQ(status->value("state").toInt(), 2);
    EXPECT_TRUE(status->value("running").toBool());
}

TEST_F(ProcessOwnership, BadStartRequestsAreAnsweredAndTheClientStaysConnected)
{
    auto client = connectClient();
    const QJsonObject bad[] = {
        {{"action", "start"}, {"process-id", 3}, {"executable", testChild()}},
        {{"action", "start"}, {"process-id", "a"}, {"executable", QJsonArray{}}},
        {{"action", "start"}, {"process-id", "a"}, {"executable", testChild()}, {"arguments", QJsonObject{}},
         {"auto-restart", "yes"}, {"max-restart-attempts", "many"}, {"restart-delay-ms", QJsonArray{}},
         {"working-dir", 7}, {"environment", "x"}, {"session-id", "one"}, {"tun-dns-override", 5}},
    };
    EXPECT_EQ(client->request(bad[0])->value("error").toString(), "Missing or empty process-id");
    EXPECT_EQ(client->request(bad[1])->value("error").toString(), "Missing or empty executable");
    // Wrong types read as defaults: the child starts without arguments and exits 0.
    EXPECT_EQ(client->request(bad[2])->value("status").toString(), "started");
    const auto finished = client->waitEvent("finished", 3000);
    ASSERT_TRUE(finished.has_value());
    EXPECT_EQ(finished->value("data").toString(), "0");
    EXPECT_EQ(client->request(QJsonObject{{"action", "heartbeat"}})->value("status").toString(), "success");
}

int entryCount(const QString &directory)
{
    // The daemon opens its log file for each line it writes, on any thread:
    // a descriptor caught open for that moment is not a leak.
    int count = 0;
    const QFileInfoList entries = QDir(directory).entryInfoList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
    for (const QFileInfo &entry : entries)
        if (!entry.symLinkTarget().endsWith(".log"))
            ++count;
    return count;
}

TEST_F(ProcessOwnership, AThousandStartsAndStopsInARowLeaveTheDaemonAsItWas)
{
    auto client = connectClient();
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(m_daemon.pid());
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(m_daemon.pid());
    const int fds = entryCount(fdDir);
    const int threads = entryCount(taskDir);
    for (int i = 0; i < 1000; ++i) {
        const QString id = QStringLiteral("s%1").arg(i % 10);
        const auto started = client->request(startRequest(id, {"wait"}));
        ASSERT_TRUE(started.has_value()) << "round " << i;
        ASSERT_EQ(started->value("status").toString(), "started") << "round " << i;
        ASSERT_EQ(client->request(QJsonObject{{"action", "stop"}, {"process-id", id}})->value("status"), "stopping");
        ASSERT_TRUE(client->waitEvent("finished", 5000).has_value()) << "round " << i;
        if (i % 200 == 0)
            client->request(QJsonObject{{"action", "heartbeat"}});
    }
    EXPECT_TRUE(client->request(QJsonObject{{"action", "list"}})->value("processes").toArray().isEmpty());
    QElapsedTimer clock;
    clock.start();
    while ((entryCount(fdDir) > fds || entryCount(taskDir) > threads) && clock.elapsed() < 3000)
        QThread::msleep(20);
    EXPECT_EQ(entryCount(fdDir), fds);
    EXPECT_EQ(entryCount(taskDir), threads);
}

TEST_F(ProcessOwnership, TimedOutClientsProcessesAreStopped)
{
    auto quiet = connectClient();
    const QString pidFile = m_dir.filePath("quiet.pid");
    ASSERT_EQ(quiet->request(startRequest("quiet", {"pid", pidFile, "wait"}))->value("status"), "started");
    const qint64 pid = readPid(pidFile, 3000);
    ASSERT_GT(pid, 0);
    // No heartbeats: dropped after 10 to 15 seconds.
    EXPECT_TRUE(waitGone(pid, 20000));
    EXPECT_TRUE(m_daemon.waitForLog("(owned by timed-out client", 1000));
}

TEST_F(ProcessOwnership, DaemonStopEndsTheManagedProcesses)
{
    auto client = connectClient();
    const QString pidFile = m_dir.filePath("polite.pid");
    ASSERT_EQ(client->request(startRequest("polite", {"trap-int", "0", "pid", pidFile, "wait"}))->value("status"),
              "started");
    const qint64 pid = readPid(pidFile, 3000);
    ASSERT_GT(pid, 0);
    const auto code = m_daemon.stop(15000);
    ASSERT_TRUE(code.has_value());
    EXPECT_TRUE(waitGone(pid, 1000));
    EXPECT_TRUE(m_daemon.stderrText().contains("[ProcessManager] All processes stopped gracefully"));
}

} // namespace
