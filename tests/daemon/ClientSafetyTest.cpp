// What a client can make the privileged daemon do with paths and processes it
// does not own: log paths are reached with the client's own rights, never
// through a link or a FIFO; a refused start keeps the process with its owner.

#include "tests/support/DaemonHarness.h"
#include "tests/support/GreetedClient.h"
#include "tools/KestClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

class ClientSafety : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.start()); }

    std::unique_ptr<KestClient> connectClient() { return connectGreetedClient(m_daemon); }

    // Runs a client-hello as user nobody in a child process; the reply's status.
    QString helloAsNobody(const QString &logPath)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return "pipe failed";
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            QByteArray status = "no reply";
            if (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
                KestClient client;
                if (client.connectTo(m_daemon.socketPath(1))) {
                    const auto reply = client.request(QJsonObject{{"action", "client-hello"}, {"log-path", logPath}});
                    if (reply)
                        status = reply->value("status").toString().toUtf8();
                }
            } else {
                status = "setuid failed";
            }
            [[maybe_unused]] ssize_t n = ::write(fds[1], status.constData(), size_t(status.size()));
            ::_exit(0);
        }
        ::close(fds[1]);
        char buffer[64] = {};
        [[maybe_unused]] ssize_t n = ::read(fds[0], buffer, sizeof(buffer) - 1);
        ::close(fds[0]);
        ::waitpid(child, nullptr, 0);
        return QString::fromUtf8(buffer);
    }

    DaemonHarness m_daemon;
};

TEST_F(ClientSafety, UnprivilegedClientMayNameOnlyALogPathItCouldWriteItself)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as another user";
    ::chmod(QFile::encodeName(m_daemon.rootDir()).constData(), 0755);
    ::chmod(QFile::encodeName(m_daemon.runtimeDir()).constData(), 0755);
    const QString own = m_daemon.rootDir() + "/nobody";
    QDir().mkpath(own);
    ASSERT_EQ(::chown(QFile::encodeName(own).constData(), kNobody, kNobody), 0);
    const QString rootOwned = m_daemon.rootDir() + "/root-only";
    QDir().mkpath(rootOwned);

    EXPECT_EQ(helloAsNobody(rootOwned + "/sub/k.log"), "error");
    EXPECT_FALSE(QFileInfo::exists(rootOwned + "/sub"));
    EXPECT_EQ(helloAsNobody("/etc/kestd-must-not-exist.log"), "error");
    EXPECT_FALSE(QFileInfo::exists("/etc/kestd-must-not-exist.log"));

    // A shared sticky directory: the client may create files there, but not
    // have root rotate or delete another user's file by naming it.
    const QString shared = m_daemon.rootDir() + "/shared";
    QDir().mkpath(shared);
    ::chmod(QFile::encodeName(shared).constData(), 01777);
    QFile others(shared + "/others.log");
    ASSERT_TRUE(others.open(QIODevice::WriteOnly));
    others.write("not yours");
    others.close();
    ::chmod(QFile::encodeName(shared + "/others.log").constData(), 0666);
    EXPECT_EQ(helloAsNobody(shared + "/others.log"), "error");
    EXPECT_EQ(helloAsNobody(shared + "/mine.log"), "success");

    EXPECT_EQ(helloAsNobody(own + "/logs/k.log"), "success");
    EXPECT_EQ(QFileInfo(own + "/logs").ownerId(), kNobody) << "directories are made with the client's rights";
    QThread::msleep(100);
    EXPECT_TRUE(QFileInfo::exists(own + "/logs/k.log"));
}

TEST_F(ClientSafety, LogPathNeverFollowsALinkNorBlocksOnAFifo)
{
    auto client = connectClient();
    const QString fifo = m_daemon.rootDir() + "/fifo.log";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
    EXPECT_EQ(client->request(QJsonObject{{"action", "client-hello"}, {"log-path", fifo}})->value("status"), "error");

    const QString victim = m_daemon.rootDir() + "/victim.txt";
    QFile v(victim);
    ASSERT_TRUE(v.open(QIODevice::WriteOnly));
    v.write("precious");
    v.close();
    const QString log = m_daemon.rootDir() + "/logs/k.log";
    ASSERT_EQ(client->request(QJsonObject{{"action", "client-hello"}, {"log-path", log}})->value("status"), "success");
    // The file is swapped for a link to another file after the path was accepted.
    QFile::remove(log);
    ASSERT_TRUE(QFile::link(victim, log));
    client->request(QJsonObject{{"action", "Nope"}}); // logs a line
    EXPECT_EQ(client->request(QJsonObject{{"action", "clear-logs"}})->value("status"), "error");
    ASSERT_TRUE(v.open(QIODevice::ReadOnly));
    EXPECT_EQ(v.readAll(), "precious");
    EXPECT_EQ(client->request(QJsonObject{{"action", "heartbeat"}})->value("status"), "success");
}

TEST_F(ClientSafety, RefusedStartOfARunningProcessKeepsItWithItsOwner)
{
    auto owner = connectClient();
    auto other = connectClient();
    const QJsonObject start{{"action", "start"}, {"process-id", "p"}, {"executable", "/bin/sh"},
                            {"arguments", QJsonArray{"-c", "sleep 30"}}};
    ASSERT_EQ(owner->request(start)->value("status").toString(), "started");
    EXPECT_NE(other->request(start)->value("status").toString(), "started");
    ASSERT_EQ(owner->request(QJsonObject{{"action", "stop"}, {"process-id", "p"}})->value("status"), "stopping");
    EXPECT_TRUE(owner->waitEvent("finished", 5000).has_value()) << "the owner still receives its process's events";
    EXPECT_FALSE(other->waitEvent("finished", 300).has_value());
}

TEST_F(ClientSafety, RequestsDuringShutdownStartNothing)
{
    auto client = connectClient();
    ASSERT_EQ(client->request(QJsonObject{{"action", "start"}, {"process-id", "slow"}, {"executable", "/bin/sh"},
                                          {"arguments", QJsonArray{"-c", "trap '' INT; sleep 30"}}})
                  ->value("status")
                  .toString(),
              "started");
    ASSERT_TRUE(m_daemon.signal(SIGTERM));
    ASSERT_TRUE(m_daemon.waitForLog("Stopping kestd daemon...", 5000));
    const auto reply = client->request(QJsonObject{{"action", "start-process-explorer"}}, 3000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("error").toString(), "Daemon is stopping");
    EXPECT_EQ(m_daemon.waitExit(20000), std::optional<int>(0));
}

} // namespace
