// What one user's clients can cost the daemon: memory held for frames they
// have not finished and for replies they do not read, and a storm of
// departures. Others are served throughout, and the daemon comes back to
// where it was once the load ends.

#include "ipc/ClientBudget.h"
#include "ipc/ClientConnection.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/GreetedClient.h"
#include "tools/KestClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

int entryCount(const QString &directory)
{
    // A descriptor of the log file, opened for one line at a time, is no leak.
    int count = 0;
    for (const QFileInfo &entry : QDir(directory).entryInfoList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System))
        if (!entry.symLinkTarget().endsWith(".log"))
            ++count;
    return count;
}

class ClientLimits : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.start()) << m_daemon.stderrText().toStdString(); }

    int daemonFds() const { return entryCount(QStringLiteral("/proc/%1/fd").arg(m_daemon.pid())); }
    int daemonThreads() const { return entryCount(QStringLiteral("/proc/%1/task").arg(m_daemon.pid())); }

    // Waits until the daemon holds no more descriptors and threads than given.
    bool backTo(int fds, int threads)
    {
        QElapsedTimer clock;
        clock.start();
        while (daemonFds() > fds || daemonThreads() > threads) {
            if (clock.elapsed() > 20000)
                return false;
            QThread::msleep(50);
        }
        return true;
    }

    // Heartbeats every 500 ms until done() holds; false if one went unanswered.
    bool heartbeatUntil(KestClient &client, const std::function<bool()> &done, int limitMs = 60000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > limitMs)
                return false;
            const auto reply = client.request(QJsonObject{{"action", "heartbeat"}}, 5000);
            if (!reply || reply->value("status").toString() != "success")
                return false;
            QThread::msleep(500);
        }
        return true;
    }

    DaemonHarness m_daemon;
};

TEST_F(ClientLimits, ClientThatNeverReadsIsDisconnectedAndOthersAreServedThroughout)
{
    auto watcher = connectGreetedClient(m_daemon);
    const int fds = daemonFds();
    const int threads = daemonThreads();
    auto greedy = connectGreetedClient(m_daemon);
    // Long-named processes make every "list" reply large.
    const QString pad(4096, 'p');
    for (int i = 0; i < 16; ++i) {
        const auto started = greedy->request(QJsonObject{{"action", "start"},
                                                         {"process-id", pad + QString::number(i)},
                                                         {"executable", "/bin/sh"},
                                                         {"arguments", QJsonArray{"-c", "sleep 60"}}});
        ASSERT_EQ(started.value_or(QJsonObject()).value("status").toString(), "started");
    }
    const long baselineKiB = m_daemon.residentKiB();

    // Enough requests for replies of several times the limit.
    const int kRequests = int(4 * ClientConnection::kMaxUnsentBytes / (16 * pad.size()));
    std::atomic<bool> cutOff{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        const QByteArray list = MessageFraming::encode(QJsonObject{{"action", "list"}});
        while (sent < kRequests && greedy->sendRaw(list))
            ++sent;
        cutOff = true;
    });
    EXPECT_TRUE(heartbeatUntil(*watcher, [&] { return cutOff.load(); }))
        << "a heartbeat went unanswered while another client flooded";
    flood.join();
    EXPECT_LT(sent, kRequests) << "the client that never reads was never disconnected";
    const long peakKiB = m_daemon.peakResidentKiB();
    EXPECT_LT(peakKiB, 200 * 1024) << "resident size peaked at " << peakKiB << " KiB";
    EXPECT_TRUE(m_daemon.waitForLog("has not taken", 3000));
    // Its departure is handled as any other: its processes are stopped.
    EXPECT_TRUE(m_daemon.waitForLog("(owned by disconnected client", 5000));
    QElapsedTimer clock;
    clock.start();
    const auto listed = [&] {
        return watcher->request(QJsonObject{{"action", "list"}}).value_or(QJsonObject()).value("processes").toArray();
    };
    while (!listed().isEmpty() && clock.elapsed() < 10000)
        QThread::msleep(50);
    EXPECT_TRUE(listed().isEmpty()) << "the departed client's processes are still there";
    EXPECT_TRUE(backTo(fds, threads)) << "descriptors " << daemonFds() << ", threads " << daemonThreads();
    std::printf("[ figures  ] %d requests before the cut; resident %ld KiB before, %ld KiB at most\n", int(sent),
                baselineKiB, peakKiB);
}

TEST_F(ClientLimits, UnfinishedFramesOfOneUserHoldNoMoreThanItsShare)
{
    auto watcher = connectGreetedClient(m_daemon);
    const int fds = daemonFds();
    const long baselineKiB = m_daemon.residentKiB();
    // Each declares a frame of just under the limit and sends all but its last bytes.
    const quint32 declared = MessageFraming::kMaxFrameLength - 65536;
    QByteArray unfinished(4 + declared - 16, ' ');
    qToBigEndian<quint32>(declared, unfinished.data());
    unfinished[4] = '{';
    std::vector<std::unique_ptr<KestClient>> holders;
    int fullyWritten = 0;
    for (int i = 0; i < 100; ++i) {
        holders.push_back(std::make_unique<KestClient>());
        if (holders.back()->connectTo(m_daemon.socketPath()) && holders.back()->sendRaw(unfinished))
            ++fullyWritten;
    }
    int beats = 0;
    EXPECT_TRUE(heartbeatUntil(*watcher, [&] { return ++beats > 2; }));
    const qint64 grownKiB = m_daemon.peakResidentKiB() - baselineKiB;
    EXPECT_LE(fullyWritten, 2);
    EXPECT_LT(grownKiB, (ClientBudget::kMaxPartialBytesPerUser + 16 * 1024 * 1024) / 1024)
        << "resident size grew by " << grownKiB << " KiB";
    EXPECT_TRUE(m_daemon.waitForLog("unfinished frames beyond", 3000));
    holders.clear();
    EXPECT_TRUE(backTo(fds, 1000)) << "descriptors " << daemonFds();
    std::printf("[ figures  ] %d of 100 frames fully written; resident grew by %lld KiB\n", fullyWritten,
                static_cast<long long>(grownKiB));
}

TEST_F(ClientLimits, ThousandsOfDeparturesAtOnceDoNotStallOtherClients)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to open connections as many users";
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const int perUser = ClientBudget::kMaxConnectionsPerUser - 4;
    const int users = int(std::min<rlim_t>(34, (files.rlim_cur - 256) / rlim_t(perUser)));
    ASSERT_GT(users, 4) << "too few descriptors allowed: " << files.rlim_cur;
    ::chmod(QFile::encodeName(m_daemon.rootDir()).constData(), 0755);
    ::chmod(QFile::encodeName(m_daemon.runtimeDir()).constData(), 0755);

    auto watcher = connectGreetedClient(m_daemon);
    const auto started = watcher->request(QJsonObject{{"action", "start"}, {"process-id", "core"},
                                                      {"executable", "/bin/sh"},
                                                      {"arguments", QJsonArray{"-c", "sleep 60"}}});
    ASSERT_EQ(started.value_or(QJsonObject()).value("status").toString(), "started");
    const int fds = daemonFds();
    const int threads = daemonThreads();

    // Each child, as a user of its own, opens its connections, says so, and
    // closes them all when told.
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int u = 0; u < users; ++u) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            const uid_t uid = 70000 + uid_t(u);
            char opened = 0;
            if (::setgid(uid) == 0 && ::setuid(uid) == 0) {
                std::vector<std::unique_ptr<KestClient>> clients;
                for (int i = 0; i < perUser; ++i) {
                    clients.push_back(std::make_unique<KestClient>());
                    if (!clients.back()->connectTo(m_daemon.socketPath()) || !clients.back()->waitEvent("connected", 10000))
                        break;
                }
                opened = char(clients.size() == size_t(perUser));
                [[maybe_unused]] ssize_t n = ::write(ready[1], &opened, 1);
                char byte;
                n = ::read(go[0], &byte, 1);
            } else {
                [[maybe_unused]] ssize_t n = ::write(ready[1], &opened, 1);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(ready[1]);
    ::close(go[0]);
    int allOpen = 0;
    for (int u = 0; u < users; ++u) {
        char opened = 0;
        if (::read(ready[0], &opened, 1) == 1 && opened)
            ++allOpen;
    }
    ::close(ready[0]);
    EXPECT_EQ(allOpen, users);
    ::close(go[1]); // every child sees the end of the pipe and leaves at once
    for (pid_t child : children)
        ::waitpid(child, nullptr, 0);

    const QString goneLine = "Client disconnected:";
    const int departures = users * perUser;
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(heartbeatUntil(*watcher, [&] { return m_daemon.stderrText().count(goneLine) >= departures; }))
        << "a heartbeat went unanswered during the departures";
    const qint64 drainedMs = clock.elapsed();
    const QString log = m_daemon.stderrText();
    EXPECT_FALSE(log.contains("timed out")) << "a client was timed out";
    const int scans = int(log.count("Checking for stale processes in session"));
    EXPECT_LT(scans, departures / 4) << "the clean-up scans were not folded together";
    const auto status = watcher->request(QJsonObject{{"action", "status"}, {"process-id", "core"}});
    EXPECT_TRUE(status.value_or(QJsonObject()).value("running").toBool()) << "the watcher's process was stopped";
    EXPECT_TRUE(backTo(fds, threads)) << "descriptors " << daemonFds() << ", threads " << daemonThreads();
    std::printf("[ figures  ] %d departures handled in %lld ms with %d scans of the process table\n", departures,
                static_cast<long long>(drainedMs), scans);
}

} // namespace
