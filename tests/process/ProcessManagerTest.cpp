// ProcessManager and ManagedProcess against real child processes (the test
// child program), on a real event loop.

#include "process/ManagedProcess.h"
#include "process/ChildReaper.h"
#include "process/ProcessManager.h"
#include "tests/process/ProcessTestSupport.h"

#include <QJsonArray>
#include <QPointer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>

using namespace ProcessTest;

namespace {

QJsonObject startRequest(const QString &id, const QStringList &script, QJsonObject extra = {})
{
    QJsonObject request{{"action", "start"},
                        {"process-id", id},
                        {"executable", testChild()},
                        {"arguments", QJsonArray::fromStringList(script)}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        request.insert(it.key(), it.value());
    return request;
}

class ProcessManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ensureApplication();
        manager = std::make_unique<ProcessManager>();
        recorder = std::make_unique<EventRecorder>(manager.get(), &ProcessManager::processEvent);
        // Let the start-up sweep of a new manager run before the test makes entries.
        spinFor(10);
        // The reaper's process-wide wake-up fd exists from its first use on.
        ChildReaper::pendingCount();
    }
    void TearDown() override
    {
        manager->stopAllProcesses(2000);
        recorder.reset();
        manager.reset();
        spinFor(20);
    }

    QJsonObject start(const QString &id, const QStringList &script, QJsonObject extra = {})
    {
        return manager->startProcess(startRequest(id, script, std::move(extra)));
    }

    std::unique_ptr<ProcessManager> manager;
    std::unique_ptr<EventRecorder> recorder;
};

TEST_F(ProcessManagerTest, StartedEventIsOutBeforeTheStartReply)
{
    const QJsonObject reply = start("a", {"wait"});
    // Nothing has run the event loop yet: the event came from inside the launch.
    ASSERT_EQ(recorder->events().size(), 1u);
    EXPECT_EQ(recorder->events()[0].name(), "started");
    EXPECT_EQ(recorder->events()[0].id(), "a");
    EXPECT_FALSE(recorder->events()[0].event.contains("data"));
    EXPECT_EQ(reply.value("status").toString(), "started");
    EXPECT_EQ(reply.value("message").toString(), "Process started successfully");
    EXPECT_TRUE(QDateTime::fromString(reply.value("timestamp").toString(), Qt::ISODate).isValid());
}

TEST_F(ProcessManagerTest, StdoutAndStderrArriveAsEventsPromptly)
{
    start("a", {"out", "hello", "err", "oops", "wait"});
    ASSERT_TRUE(recorder->waitFor("stderr", "a", 2000));
    ASSERT_TRUE(recorder->waitFor("stdout", "a", 2000));
    EXPECT_EQ(recorder->joined("stdout", "a"), "hello\n");
    EXPECT_EQ(recorder->joined("stderr", "a"), "oops\n");
    // How promptly is bench_process's figure (start -> first "stdout").
}

TEST_F(ProcessManagerTest, StdinReachesTheChild)
{
    start("a", {"echo-stdin", "2", "wait"});
    EXPECT_TRUE(manager->writeToProcess("a", "first line\nsecond"));
    EXPECT_TRUE(manager->writeToProcess("a", " part\n"));
    ASSERT_TRUE(spinUntil([&] { return recorder->joined("stdout", "a").count('\n') >= 2; }, 2000));
    EXPECT_EQ(recorder->joined("stdout", "a"), "stdin:first line\nstdin:second part\n");
    EXPECT_FALSE(manager->writeToProcess("absent", "x\n"));
}

TEST_F(ProcessManagerTest, StdinToAChildThatNeverReadsIsKeptWithoutWaitingUpToItsBound)
{
    start("a", {"wait"});
    auto *process = manager->findChild<ManagedProcess *>();
    ASSERT_NE(process, nullptr);
    const qsizetype half = ManagedProcess::kMaxPendingStdinBytes / 2;
    EXPECT_TRUE(manager->writeToProcess("a", QByteArray(half, 'x')));
    EXPECT_TRUE(manager->writeToProcess("a", QByteArray(half, 'y')));
    // The pipe took some of it; what is left fills the bound but for that.
    EXPECT_GT(process->pendingStdinBytes(), ManagedProcess::kMaxPendingStdinBytes - 1024 * 1024);
    EXPECT_FALSE(manager->writeToProcess("a", QByteArray(1024 * 1024, 'z')));
    EXPECT_TRUE(manager->writeToProcess("a", "")); // nothing to add is no overflow
    manager->killProcess("a");
    EXPECT_EQ(process->pendingStdinBytes(), 0);
}

TEST_F(ProcessManagerTest, StdinLargerThanThePipeReachesAReadingChildWhole)
{
    constexpr int kLines = 20000;
    start("a", {"echo-stdin", QString::number(kLines), "exit", "0"});
    QByteArray input;
    for (int i = 0; i < kLines; ++i)
        input += QByteArray::number(i).rightJustified(40, '0') + '\n';
    EXPECT_TRUE(manager->writeToProcess("a", input.left(input.size() / 2)));
    EXPECT_TRUE(manager->writeToProcess("a", input.mid(input.size() / 2)));
    ASSERT_TRUE(recorder->waitFor("finished", "a", 10000));
    const QString output = recorder->joined("stdout", "a");
    EXPECT_EQ(output.count('\n'), kLines);
    EXPECT_TRUE(output.endsWith("stdin:" + QString::number(kLines - 1).rightJustified(40, '0') + "\n"));
    EXPECT_EQ(output.size(), input.size() + kLines * 6);
}

TEST_F(ProcessManagerTest, StdinOfAnEndedProcessSucceedsAndWritesNothing)
{
    start("a", {"wait"});
    manager->killProcess("a");
    EXPECT_TRUE(manager->writeToProcess("a", "ignored\n"));
}

TEST_F(ProcessManagerTest, GracefulStopEndsWithTheChildsOwnExitCode)
{
    start("a", {"trap-int", "7", "out", "ready", "wait"});
    ASSERT_TRUE(recorder->waitFor("stdout", "a", 2000)); // the trap is installed
    const QJsonObject reply = manager->stopProcess("a");
    EXPECT_EQ(reply.value("status").toString(), "stopping");
    EXPECT_EQ(reply.value("message").toString(), "Process stop requested");
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->named("finished", "a")[0].data(), "7");
    EXPECT_EQ(manager->listProcesses().value("processes").toArray().size(), 0);
}

TEST_F(ProcessManagerTest, ChildKilledBySignalReportsOneHundredTwentyEightPlusN)
{
    start("a", {"wait"});
    const qint64 pid = manager->getProcessStatus("a").value("pid").toInteger();
    ASSERT_GT(pid, 0);
    ::kill(pid_t(pid), SIGTERM);
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->named("finished", "a")[0].data(), "143");
}

TEST_F(ProcessManagerTest, KillProducesNoFinishedAndALaterStartReplacesTheStaleEntry)
{
    start("a", {"wait"});
    const qint64 pid = manager->getProcessStatus("a").value("pid").toInteger();
    const QJsonObject reply = manager->killProcess("a");
    EXPECT_EQ(reply.value("status").toString(), "killed");
    EXPECT_EQ(reply.value("message").toString(), "Process killed");
    spinFor(300);
    EXPECT_EQ(recorder->count("finished"), 0);
    EXPECT_TRUE(spinUntil([&] { return !processExists(pid); }, 2000)) << "killed child was not reaped";

    const QJsonArray list = manager->listProcesses().value("processes").toArray();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toObject().value("state").toInt(), 0);
    EXPECT_EQ(list[0].toObject().value("pid").toInteger(), -1);
    EXPECT_FALSE(list[0].toObject().value("running").toBool());

    EXPECT_EQ(start("a", {"wait"}).value("status").toString(), "started");
    EXPECT_EQ(recorder->count("started", "a"), 2);
    EXPECT_TRUE(manager->getProcessStatus("a").value("running").toBool());
}

TEST_F(ProcessManagerTest, OutputOfAKilledChildIsNotTheReplacementsOutput)
{
    start("a", {"out", "old child", "err", "old error", "wait"});
    // No event loop pass until the new start: the old child's output is read
    // and queued, as when kill and start come in one read from a client.
    usleep(300 * 1000);
    manager->killProcess("a");
    ASSERT_EQ(start("a", {"out", "new child", "exit", "0"}).value("status").toString(), "started");
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->joined("stdout", "a"), "new child\n");
    EXPECT_EQ(recorder->count("stderr", "a"), 0);
}

TEST_F(ProcessManagerTest, StartOfARunningIdIsRefusedAndLeavesTheChildAlone)
{
    start("a", {"wait"});
    const qint64 pid = manager->getProcessStatus("a").value("pid").toInteger();
    const QJsonObject reply = start("a", {"exit", "0"});
    EXPECT_EQ(reply.value("status").toString(), "error");
    EXPECT_EQ(reply.value("error").toString(), "Process already exists: a");
    EXPECT_EQ(manager->getProcessStatus("a").value("pid").toInteger(), pid);
    EXPECT_TRUE(manager->getProcessStatus("a").value("running").toBool());
}

TEST_F(ProcessManagerTest, StatusAndListDescribeTheEntries)
{
    start("a", {"wait"});
    const QJsonObject status = manager->getProcessStatus("a");
    EXPECT_EQ(status.value("status").toString(), "success");
    EXPECT_FALSE(status.contains("message"));
    EXPECT_EQ(status.value("process-id").toString(), "a");
    EXPECT_EQ(status.value("state").toInt(), 2);
    EXPECT_GT(status.value("pid").toInteger(), 0);
    EXPECT_TRUE(status.value("running").toBool());
    EXPECT_TRUE(QDateTime::fromString(status.value("start-time").toString(), Qt::ISODate).isValid());

    const QJsonObject missing = manager->getProcessStatus("b");
    EXPECT_EQ(missing.value("error").toString(), "Process not found: b");
    for (const QJsonObject &reply : {manager->stopProcess("b"), manager->killProcess("b"), manager->restartProcess("b")})
        EXPECT_EQ(reply.value("error").toString(), "Process not found: b");

    const QJsonArray list = manager->listProcesses().value("processes").toArray();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toObject().keys(), (QStringList{"pid", "process-id", "running", "state"}));
}

TEST_F(ProcessManagerTest, RestartAnswersRestartingAndInterruptsTheChild)
{
    start("a", {"trap-int", "9", "out", "ready", "wait"});
    ASSERT_TRUE(recorder->waitFor("stdout", "a", 2000));
    const QJsonObject reply = manager->restartProcess("a");
    EXPECT_EQ(reply.value("status").toString(), "restarting");
    EXPECT_EQ(reply.value("message").toString(), "Process restart initiated");
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->named("finished", "a")[0].data(), "9");
}

TEST_F(ProcessManagerTest, ExitZeroUnderAutoRestartFinishesAtOnce)
{
    start("a", {"exit", "0"}, {{"auto-restart", true}});
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    // Once its entry is gone nothing can restart it.
    EXPECT_TRUE(spinUntil([&] { return manager->findChildren<ManagedProcess *>().isEmpty(); }, 3000));
    EXPECT_EQ(recorder->sequence("a"), (QStringList{"started", "finished"}));
    EXPECT_EQ(recorder->named("finished", "a")[0].data(), "0");
}

TEST_F(ProcessManagerTest, AlwaysCrashingChildIsLaunchedFourTimesThenFinishesWithItsCode)
{
    start("a", {"exit", "3"}, {{"auto-restart", true}});
    ASSERT_TRUE(recorder->waitFor("finished", "a", 8000));
    // The gaps between the launches are bench_process's figure; that the
    // delay is the request's own, the next test's.
    EXPECT_EQ(recorder->sequence("a"), (QStringList{"started", "started", "started", "started", "finished"}));
    EXPECT_EQ(recorder->count("finished", "a"), 1);
    EXPECT_EQ(recorder->named("finished", "a")[0].data(), "3");
}

TEST_F(ProcessManagerTest, MaxRestartAttemptsZeroFinishesOnTheFirstCrash)
{
    start("a", {"exit", "4"}, {{"auto-restart", true}, {"max-restart-attempts", 0}});
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->sequence("a"), (QStringList{"started", "finished"}));
    EXPECT_EQ(recorder->named("finished", "a")[0].data(), "4");
}

TEST_F(ProcessManagerTest, StopDuringTheRestartDelayCancelsTheRestart)
{
    start("a", {"exit", "3"}, {{"auto-restart", true}, {"restart-delay-ms", 400}});
    auto *process = manager->findChild<ManagedProcess *>();
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(spinUntil([&] { return process->isRestartPending(); }, 3000));
    EXPECT_EQ(manager->stopProcess("a").value("status").toString(), "stopping");
    EXPECT_FALSE(process->isRestartPending());
    spinFor(50);
    EXPECT_EQ(recorder->sequence("a"), (QStringList{"started"}));
    const QJsonArray list = manager->listProcesses().value("processes").toArray();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toObject().value("state").toInt(), 0);
}

TEST_F(ProcessManagerTest, KillDuringTheRestartDelayCancelsTheRestart)
{
    start("a", {"exit", "3"}, {{"auto-restart", true}, {"restart-delay-ms", 300}});
    auto *process = manager->findChild<ManagedProcess *>();
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(spinUntil([&] { return process->isRestartPending(); }, 3000));
    EXPECT_EQ(manager->killProcess("a").value("status").toString(), "killed");
    EXPECT_FALSE(process->isRestartPending());
    spinFor(50);
    EXPECT_EQ(recorder->sequence("a"), (QStringList{"started"}));
    EXPECT_EQ(manager->getProcessStatus("a").value("pid").toInteger(), -1);
}

TEST_F(ProcessManagerTest, OutputWrittenRightBeforeExitArrivesBeforeFinished)
{
    for (int round = 0; round < 20; ++round) {
        const QString id = QStringLiteral("r%1").arg(round);
        start(id, {"out", "last words", "err", "last error", "exit", "5"});
        ASSERT_TRUE(recorder->waitFor("finished", id, 3000));
        EXPECT_EQ(recorder->sequence(id), (QStringList{"started", "stdout", "stderr", "finished"}))
            << "round " << round;
        EXPECT_EQ(recorder->joined("stdout", id), "last words\n");
        EXPECT_EQ(recorder->joined("stderr", id), "last error\n");
    }
}

TEST_F(ProcessManagerTest, LargeOutputJustBeforeExitIsDeliveredWhole)
{
    // More than a pipe holds, written right before the exit.
    const QString line(99, 'y');
    QStringList script;
    for (int i = 0; i < 3000; ++i)
        script << "out" << line;
    script << "exit" << "0";
    start("a", script);
    ASSERT_TRUE(recorder->waitFor("finished", "a", 5000));
    EXPECT_EQ(recorder->joined("stdout", "a").size(), 3000 * 100);
    EXPECT_EQ(recorder->sequence("a").last(), "finished");
}

TEST_F(ProcessManagerTest, FloodingChildIsHeldBackInBoundedEventsAndLosesNothing)
{
    start("flood", {"flood", "1", "exit", "0"});
    ASSERT_TRUE(recorder->waitFor("finished", "flood", 20000));
    const QString report = recorder->joined("stderr", "flood").trimmed();
    ASSERT_TRUE(report.startsWith("flooded ")) << report.toStdString();
    qint64 received = 0;
    for (const RecordedEvent &e : recorder->named("stdout", "flood")) {
        EXPECT_LE(e.data().size(), ProcessManager::kMaxEventBytes);
        received += e.data().size();
    }
    EXPECT_EQ(received, report.mid(8).toLongLong());
    EXPECT_EQ(recorder->sequence("flood").last(), "finished");
}

TEST_F(ProcessManagerTest, OutputWaitsWhileTheReceiverIsBehindButTheFinalFlushAlwaysGoes)
{
    bool deliverable = false;
    QStringList asked;
    manager->setDeliveryCheck([&](const QString &id) {
        asked << id;
        return deliverable;
    });
    start("flood", {"flood", "1", "exit", "0"});
    start("quiet", {"out", "last words", "exit", "0"});
    ASSERT_TRUE(recorder->waitFor("finished", "quiet", 3000));
    EXPECT_EQ(recorder->sequence("quiet"), (QStringList{"started", "stdout", "finished"}));
    EXPECT_EQ(recorder->joined("stdout", "quiet"), "last words\n");

    // The flooder is held back by its full pipe: it neither gets output out nor ends.
    ASSERT_TRUE(spinUntil([&] { return asked.contains("flood"); }, 3000));
    spinFor(200);
    EXPECT_EQ(recorder->count("stdout", "flood"), 0);
    EXPECT_EQ(recorder->count("finished", "flood"), 0);
    EXPECT_TRUE(asked.contains("flood"));

    deliverable = true;
    ASSERT_TRUE(recorder->waitFor("finished", "flood", 20000));
    const QString report = recorder->joined("stderr", "flood").trimmed();
    ASSERT_TRUE(report.startsWith("flooded ")) << report.toStdString();
    EXPECT_EQ(recorder->joined("stdout", "flood").size(), report.mid(8).toLongLong());
}

TEST_F(ProcessManagerTest, Utf8CharacterSplitBetweenReadsStaysIntact)
{
    // "é" and "😀" each cut across writes that lie more than a flush apart.
    start("a", {"hex", "41c3", "sleep", "250", "hex", "a9f09f", "sleep", "250", "hex", "9880", "out", "", "wait"});
    ASSERT_TRUE(spinUntil([&] { return recorder->joined("stdout", "a").endsWith('\n'); }, 3000));
    const QString text = recorder->joined("stdout", "a");
    EXPECT_EQ(text, QString::fromUtf8("Aé😀\n"));
    EXPECT_FALSE(text.contains(QChar::ReplacementCharacter));
    EXPECT_GE(recorder->count("stdout", "a"), 2); // it really came in parts
}

TEST_F(ProcessManagerTest, IncompleteUtf8AtTheEndIsStillFlushedBeforeFinished)
{
    start("a", {"hex", "41c3", "exit", "0"});
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->joined("stdout", "a"), QString("A") + QChar::ReplacementCharacter);
    EXPECT_EQ(recorder->sequence("a").last(), "finished");
}

TEST_F(ProcessManagerTest, CompleteUtf8LengthKeepsOnlyAnUnfinishedSequence)
{
    EXPECT_EQ(ProcessManager::completeUtf8Length(""), 0);
    EXPECT_EQ(ProcessManager::completeUtf8Length("abc"), 3);
    EXPECT_EQ(ProcessManager::completeUtf8Length("a\xc3"), 1);
    EXPECT_EQ(ProcessManager::completeUtf8Length("a\xc3\xa9"), 3);
    EXPECT_EQ(ProcessManager::completeUtf8Length("\xf0\x9f\x98"), 0);
    EXPECT_EQ(ProcessManager::completeUtf8Length("\xf0\x9f\x98\x80"), 4);
    EXPECT_EQ(ProcessManager::completeUtf8Length("a\xe2\x82"), 1);
    // Stray continuation bytes are not held back: they decode as they are.
    EXPECT_EQ(ProcessManager::completeUtf8Length("a\x80\x80\x80\x80"), 5);
    EXPECT_EQ(ProcessManager::completeUtf8Length("\xff"), 1);
}

TEST_F(ProcessManagerTest, MissingExecutableFailsAndLeavesNothingBehind)
{
    spinFor(50);
    const int fds = openFdCount();
    const int threads = threadCount();
    QJsonObject request = startRequest("x", {});
    request["executable"] = "/nonexistent/kest-no-such-program";
    const QJsonObject reply = manager->startProcess(request);
    EXPECT_EQ(reply.value("status").toString(), "error");
    EXPECT_EQ(reply.value("error").toString(), "Failed to start process: x");
    spinFor(50);
    EXPECT_EQ(recorder->events().size(), 0u);
    EXPECT_TRUE(manager->listProcesses().value("processes").toArray().isEmpty());
    EXPECT_TRUE(manager->findChildren<ManagedProcess *>().isEmpty());
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(zombieChildCount(), 0);
}

TEST_F(ProcessManagerTest, MissingWorkingDirectoryFailsAndLeavesNothingBehind)
{
    spinFor(50);
    const int fds = openFdCount();
    const int threads = threadCount();
    const QJsonObject reply = start("x", {"out", "never"}, {{"working-dir", "/nonexistent/kest-dir"}});
    EXPECT_EQ(reply.value("error").toString(), "Failed to start process: x");
    spinFor(50);
    EXPECT_EQ(recorder->events().size(), 0u);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(zombieChildCount(), 0);
}

TEST_F(ProcessManagerTest, StartFailsCleanlyWhenTheChildCouldNotBeWatched)
{
    // Room for exactly the pipes and the process handle, not for the two
    // monitoring events as well: a child that starts anyway would never be
    // reported as finished.
    spinFor(50);
    const int fds = openFdCount();
    const int threads = threadCount();
    int limit = 0;
    for (int free = 0; free < 7; ++limit)
        if (fcntl(limit, F_GETFD) < 0 && errno == EBADF)
            ++free;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(limit);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const QJsonObject reply = start("x", {"wait"});
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(reply.value("error").toString(), "Failed to start process: x");
    spinFor(50);
    EXPECT_EQ(recorder->events().size(), 0u);
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(zombieChildCount(), 0);
    EXPECT_EQ(start("x", {"exit", "0"}).value("status").toString(), "started");
    EXPECT_TRUE(recorder->waitFor("finished", "x", 3000));
}

TEST_F(ProcessManagerTest, WorkingDirectoryIsTheChildsCurrentDirectory)
{
    QTemporaryDir dir;
    start("a", {"pid", "child.pid", "exit", "0"}, {{"working-dir", dir.path()}});
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_TRUE(QFile::exists(dir.filePath("child.pid")));
}

TEST_F(ProcessManagerTest, InvalidRequestsAreAnsweredWithTheirErrorTexts)
{
    const QJsonValue badIds[] = {QJsonValue(), QJsonValue(""), QJsonValue(5), QJsonValue(true),
                                 QJsonValue(QJsonArray{"a"}), QJsonValue(QJsonObject{{"a", 1}})};
    for (const QJsonValue &id : badIds) {
        QJsonObject request = startRequest("", {"exit", "0"});
        if (id.isUndefined() || id.isNull())
            request.remove("process-id");
        else
            request["process-id"] = id;
        EXPECT_EQ(manager->startProcess(request).value("error").toString(), "Missing or empty process-id");
    }
    const QJsonValue badExecutables[] = {QJsonValue(""), QJsonValue(1.5), QJsonValue(false), QJsonValue(QJsonArray{})};
    for (const QJsonValue &executable : badExecutables) {
        QJsonObject request = startRequest("a", {});
        request["executable"] = executable;
        EXPECT_EQ(manager->startProcess(request).value("error").toString(), "Missing or empty executable");
    }
    QJsonObject noExecutable = startRequest("a", {});
    noExecutable.remove("executable");
    EXPECT_EQ(manager->startProcess(noExecutable).value("error").toString(), "Missing or empty executable");
    EXPECT_TRUE(manager->listProcesses().value("processes").toArray().isEmpty());
    EXPECT_EQ(recorder->events().size(), 0u);
}

TEST_F(ProcessManagerTest, ArgumentsReachTheChildUnchanged)
{
    const QString quoted = "say \"hi\" \\";
    start("a", {"out", quoted, "out", "", "out", QString::fromUtf8("ünï çødé"), "exit", "0"});
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->joined("stdout", "a"), quoted + "\n\n" + QString::fromUtf8("ünï çødé") + "\n");
}

TEST_F(ProcessManagerTest, ExecutablePathWithBlanksLaunches)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("with blanks/kest child");
    ASSERT_TRUE(QDir().mkpath(dir.filePath("with blanks")));
    ASSERT_TRUE(QFile::copy(testChild(), path));
    QJsonObject request = startRequest("blank", {"out", "ok", "exit", "0"});
    request["executable"] = path;
    EXPECT_EQ(manager->startProcess(request).value("status").toString(), "started");
    ASSERT_TRUE(recorder->waitFor("finished", "blank", 3000));
    EXPECT_EQ(recorder->joined("stdout", "blank"), "ok\n");
}

TEST_F(ProcessManagerTest, NonStringArgumentsBecomeEmptyAndArgumentsOfWrongTypeAreNone)
{
    QJsonObject request = startRequest("a", {});
    request["arguments"] = QJsonArray{"out", 42, "exit", "0"};
    manager->startProcess(request);
    ASSERT_TRUE(recorder->waitFor("finished", "a", 3000));
    EXPECT_EQ(recorder->joined("stdout", "a"), "\n");

    request = startRequest("b", {});
    request["arguments"] = "out hello";
    manager->startProcess(request);
    ASSERT_TRUE(recorder->waitFor("finished", "b", 3000));
    EXPECT_EQ(recorder->count("stdout", "b"), 0);
    EXPECT_EQ(recorder->named("finished", "b")[0].data(), "0");
}

TEST_F(ProcessManagerTest, HugeArgumentsFailCleanlyAndManyArgumentsWork)
{
    const int fds = openFdCount();
    QJsonObject request = startRequest("big", {});
    request["arguments"] = QJsonArray{"out", QString(4 * 1024 * 1024, 'z')};
    EXPECT_EQ(manager->startProcess(request).value("error").toString(), "Failed to start process: big");
    EXPECT_EQ(openFdCount(), fds);

    QStringList many;
    for (int i = 0; i < 5000; ++i)
        many << "out" << QString::number(i);
    start("many", many + QStringList{"exit", "0"});
    ASSERT_TRUE(recorder->waitFor("finished", "many", 5000));
    EXPECT_EQ(recorder->joined("stdout", "many").count('\n'), 5000);
}

TEST_F(ProcessManagerTest, ArgumentWithANulCharacterIsRefused)
{
    QJsonObject request = startRequest("nul", {});
    request["arguments"] = QJsonArray{"out", QString("a") + QChar(0) + "b"};
    EXPECT_EQ(manager->startProcess(request).value("error").toString(), "Failed to start process: nul");
}

TEST_F(ProcessManagerTest, StopAllStopsGracefullyAndForcesTheDefiantWithoutFinished)
{
    start("polite", {"trap-int", "0", "out", "ready", "wait"});
    start("defiant", {"ignore-int", "out", "ready", "wait"});
    ASSERT_TRUE(recorder->waitFor("stdout", "polite", 2000));
    ASSERT_TRUE(recorder->waitFor("stdout", "defiant", 2000));
    const qint64 defiantPid = manager->getProcessStatus("defiant").value("pid").toInteger();
    QElapsedTimer clock;
    clock.start();
    manager->stopAllProcesses(300);
    EXPECT_GE(clock.elapsed(), 250) << "the defiant one was not given its grace";
    spinFor(100);
    EXPECT_EQ(recorder->count("finished", "polite"), 1);
    EXPECT_EQ(recorder->count("finished", "defiant"), 0);
    EXPECT_TRUE(spinUntil([&] { return !processExists(defiantPid); }, 2000));
}

TEST_F(ProcessManagerTest, ThousandsOfStartsAndStopsLeakNothing)
{
    spinFor(50);
    const int fds = openFdCount();
    const int threads = threadCount();
    constexpr int kRounds = 1500;
    for (int i = 0; i < kRounds; ++i) {
        const QString id = QStringLiteral("p%1").arg(i % 7);
        const QJsonObject reply = start(id, {"wait"});
        ASSERT_EQ(reply.value("status").toString(), "started") << "round " << i << ": "
                                                               << reply.value("error").toString().toStdString();
        EXPECT_EQ(manager->stopProcess(id).value("status").toString(), "stopping");
        ASSERT_TRUE(recorder->waitFor("finished", id, 3000, recorder->count("finished", id) + 1)) << "round " << i;
    }
    EXPECT_TRUE(spinUntil([&] { return ChildReaper::pendingCount() == 0 && zombieChildCount() == 0; }, 3000));
    EXPECT_TRUE(spinUntil([&] { return threadCount() <= threads; }, 3000)) << threadCount() << " > " << threads;
    EXPECT_EQ(openFdCount(), fds);
    EXPECT_TRUE(manager->listProcesses().value("processes").toArray().isEmpty());
}

TEST_F(ProcessManagerTest, FailedRelaunchesUseUpTheAttemptsAndTheLastFinishesWithMinusOne)
{
    QTemporaryDir dir;
    const QString vanishing = dir.filePath("vanishing");
    ASSERT_TRUE(QFile::copy(testChild(), vanishing));
    QJsonObject request = startRequest("a", {"exit", "3"}, {{"auto-restart", true}, {"restart-delay-ms", 10}});
    request["executable"] = vanishing;
    ASSERT_EQ(manager->startProcess(request).value("status").toString(), "started");
    // The child runs already; every relaunch of it now fails.
    ASSERT_TRUE(QFile::remove(vanishing));
    ASSERT_TRUE(recorder->waitFor("finished", "a", 5000)) << "a relaunch that fails must end in \"finished\"";
    EXPECT_EQ(recorder->sequence("a"), (QStringList{"started", "finished"}));
    EXPECT_EQ(recorder->named("finished", "a")[0].data(), "-1");
    EXPECT_TRUE(spinUntil([&] { return manager->findChildren<ManagedProcess *>().isEmpty(); }, 3000))
        << "the entry stays, retrying";
}

TEST_F(ProcessManagerTest, RestartDelayIsTheOneTheRequestGives)
{
    start("patient", {"exit", "3"}, {{"auto-restart", true}, {"restart-delay-ms", 600000}});
    start("eager", {"exit", "3"}, {{"auto-restart", true}, {"restart-delay-ms", 0}});
    QPointer<ManagedProcess> patient;
    for (ManagedProcess *process : manager->findChildren<ManagedProcess *>())
        if (process->processId() == "patient")
            patient = process;
    ASSERT_TRUE(patient);
    ASSERT_TRUE(spinUntil([&] { return patient && patient->isRestartPending(); }, 3000));
    // The eager one goes through all its restarts while the patient one still waits.
    ASSERT_TRUE(recorder->waitFor("finished", "eager", 8000));
    EXPECT_EQ(recorder->count("started", "eager"), 4);
    EXPECT_EQ(recorder->count("started", "patient"), 1) << "restart-delay-ms was not applied";
    EXPECT_TRUE(patient && patient->isRestartPending());
}

class ManagedProcessTest : public ::testing::Test
{
protected:
    void SetUp() override { ensureApplication(); }

    std::unique_ptr<ManagedProcess> launch(const QStringList &script)
    {
        auto process = std::make_unique<ManagedProcess>("m");
        const QJsonObject request = startRequest("m", script);
        process->setSavedRequest(request);
        process->loadSpec(request);
        EXPECT_TRUE(process->startWindowsProcess());
        return process;
    }
};

TEST_F(ManagedProcessTest, ChildIgnoringSigintIsKilledByTheKillTimerWithoutFinished)
{
    auto process = launch({"ignore-int", "out", "ready", "wait"});
    int finished = 0;
    QObject::connect(process.get(), &ManagedProcess::processFinished, [&] { ++finished; });
    bool ready = false;
    QObject::connect(process.get(), &ManagedProcess::stdoutReady, [&] { ready = true; });
    ASSERT_TRUE(spinUntil([&] { return ready; }, 2000));
    const qint64 pid = process->info().pid;
    process->stop(300);
    EXPECT_TRUE(process->isKillTimerActive());
    spinFor(150);
    EXPECT_TRUE(process->isRunning()) << "SIGINT should have been ignored";
    EXPECT_TRUE(spinUntil([&] { return !process->isRunning() && process->info().pid == -1; }, 2000));
    spinFor(300);
    EXPECT_EQ(finished, 0);
    EXPECT_TRUE(spinUntil([&] { return !processExists(pid); }, 2000));
}

TEST_F(ManagedProcessTest, StopWithTimeoutZeroStartsNoKillTimer)
{
    auto process = launch({"ignore-int", "out", "ready", "wait"});
    bool ready = false;
    QObject::connect(process.get(), &ManagedProcess::stdoutReady, [&] { ready = true; });
    ASSERT_TRUE(spinUntil([&] { return ready; }, 2000)); // SIGINT is ignored from here on
    process->stop(0);
    EXPECT_FALSE(process->isKillTimerActive());
    spinFor(200);
    EXPECT_TRUE(process->isRunning());
    process->kill();
    EXPECT_FALSE(process->isRunning());
}

TEST_F(ManagedProcessTest, KillRightAfterLaunchReportsNothing)
{
    for (int i = 0; i < 50; ++i) {
        auto process = launch({"exit", "1"});
        int finished = 0;
        QObject::connect(process.get(), &ManagedProcess::processFinished, [&] { ++finished; });
        process->kill();
        spinFor(20);
        EXPECT_EQ(finished, 0);
        EXPECT_EQ(process->info().state, 0);
    }
}

TEST_F(ManagedProcessTest, LoadSpecReadsWrongTypesAsDefaults)
{
    ManagedProcess process("m");
    process.loadSpec(QJsonObject{{"executable", 3},
                                 {"arguments", "x"},
                                 {"working-dir", QJsonArray{}},
                                 {"environment", "A=1"},
                                 {"privileges", 1},
                                 {"auto-restart", "true"},
                                 {"max-restart-attempts", 2.5},
                                 {"restart-delay-ms", "10"},
                                 {"session-id", 1e12}});
    ProcessInfo info = process.info();
    EXPECT_TRUE(info.executable.isEmpty());
    EXPECT_TRUE(info.arguments.isEmpty());
    EXPECT_TRUE(info.workingDir.isEmpty());
    EXPECT_TRUE(info.environment.isEmpty());
    EXPECT_TRUE(info.privileges.isEmpty());
    EXPECT_FALSE(info.autoRestart);
    EXPECT_EQ(info.maxRestartAttempts, 3);
    EXPECT_EQ(info.restartDelayMs, 1000);
    EXPECT_EQ(info.sessionId, 0);

    process.loadSpec(QJsonObject{{"executable", "/bin/x"},
                                 {"arguments", QJsonArray{"a", QJsonValue(), 1}},
                                 {"environment", QJsonObject{{"A", "1"}}},
                                 {"auto-restart", true},
                                 {"max-restart-attempts", 5},
                                 {"restart-delay-ms", -20},
                                 {"session-id", 4}});
    info = process.info();
    EXPECT_EQ(info.executable, "/bin/x");
    EXPECT_EQ(info.arguments, (QStringList{"a", "", ""}));
    EXPECT_EQ(info.environment.value("A").toString(), "1");
    EXPECT_TRUE(info.autoRestart);
    EXPECT_EQ(info.maxRestartAttempts, 5);
    EXPECT_EQ(info.restartDelayMs, 0);
    EXPECT_EQ(info.sessionId, 4);
    EXPECT_EQ(info.restartAttempts, 0);
    EXPECT_EQ(info.state, 0);
}

TEST_F(ManagedProcessTest, DestroyingARunningProcessInterruptsItWithoutWaiting)
{
    qint64 pid;
    {
        auto process = launch({"trap-int", "0", "out", "ready", "wait"});
        bool ready = false;
        QObject::connect(process.get(), &ManagedProcess::stdoutReady, [&] { ready = true; });
        ASSERT_TRUE(spinUntil([&] { return ready; }, 2000));
        pid = process->info().pid;
    }
    EXPECT_TRUE(spinUntil([&] { return !processExists(pid); }, 3000)) << "child was not interrupted or not reaped";
}

} // namespace
