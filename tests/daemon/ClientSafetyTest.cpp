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
        return requestsAsNobody({QJsonObject{{"action", "client-hello"}, {"log-path", logPath}}}).value(0);
    }

    // Sends the requests in turn as user nobody from a child process; the replies' statuses.
    QStringList requestsAsNobody(const QList<QJsonObject> &requests)
    {
        ::chmod(QFile::encodeName(m_daemon.rootDir()).constData(), 0755);
        ::chmod(QFile::encodeName(m_daemon.runtimeDir()).constData(), 0755);
        int fds[2];
        if (::pipe(fds) != 0)
            return {"pipe failed"};
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            QByteArray statuses = "no reply";
            if (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
                KestClient client;
                if (client.connectTo(m_daemon.socketPath())) {
                    statuses.clear();
                    for (const QJsonObject &request : requests)
                        statuses += client.request(request).value_or(QJsonObject()).value("status").toString().toUtf8()
                                    + ',';
                    statuses.chop(1);
                }
            } else {
                statuses = "setuid failed";
            }
            [[maybe_unused]] ssize_t n = ::write(fds[1], statuses.constData(), size_t(statuses.size()));
            ::_exit(0);
        }
        ::close(fds[1]);
        char buffer[256] = {};
        [[maybe_unused]] ssize_t n = ::read(fds[0], buffer, sizeof(buffer) - 1);
        ::close(fds[0]);
        ::waitpid(child, nullptr, 0);
        return QString::fromUtf8(buffer).split(',');
    }

    DaemonHarness m_daemon;
};

TEST_F(ClientSafety, UnprivilegedClientMayNameOnlyALogPathItCouldWriteItself)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as another user";
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
    // The hello's own log line went there before its reply.
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

TEST_F(ClientSafety, AClientClearsNoLogThatAnotherUserNamed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client as another user";
    auto root = connectClient();
    const QString rootLog = m_daemon.rootDir() + "/root/k.log";
    ASSERT_EQ(root->request(QJsonObject{{"action", "client-hello"}, {"log-path", rootLog}})->value("status"), "success");
    root->request(QJsonObject{{"action", "Nope"}}); // logs a line
    ASSERT_EQ(::chmod(QFile::encodeName(rootLog).constData(), 0600), 0);
    QFile old(rootLog + ".old");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("older lines");
    old.close();

    EXPECT_EQ(requestsAsNobody({QJsonObject{{"action", "clear-logs"}}}), QStringList{"error"});
    EXPECT_GT(QFileInfo(rootLog).size(), 0);
    EXPECT_TRUE(QFile::exists(rootLog + ".old"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(rootLog).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Its own log, once it has named one, it may clear.
    const QString own = m_daemon.rootDir() + "/nobody";
    QDir().mkpath(own);
    ASSERT_EQ(::chown(QFile::encodeName(own).constData(), kNobody, kNobody), 0);
    EXPECT_EQ(requestsAsNobody({QJsonObject{{"action", "client-hello"}, {"log-path", own + "/k.log"}},
                                QJsonObject{{"action", "clear-logs"}}}),
              (QStringList{"success", "success"}));
    EXPECT_TRUE(QFile::exists(rootLog + ".old")) << "the root client's files were touched";
}

TEST_F(ClientSafety, RefusedStartOfARunningProcessKeepsItWithItsOwner)
{
    auto owner = connectClient();
    auto other = connectClient();
    // sleep itself, not a shell: dash in -c mode can miss a Ctrl+C that comes
    // while it starts, and the stop would then wait for the kill timer.
    const QJsonObject start{{"action", "start"}, {"process-id", "p"}, {"executable", "/bin/sleep"},
                            {"arguments", QJsonArray{"30"}}};
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
                                          {"arguments", QJsonArray{"-c", "trap '' INT; echo ready; sleep 30"}}})
                  ->value("status")
                  .toString(),
              "started");
    // Only once SIGINT is ignored does the stop have to wait out its grace.
    ASSERT_TRUE(client->waitEvent("stdout", 3000).has_value());
    ASSERT_TRUE(m_daemon.signal(SIGTERM));
    ASSERT_TRUE(m_daemon.waitForLog("Stopping kestd daemon...", 5000));
    const auto reply = client->request(QJsonObject{{"action", "start-process-explorer"}}, 3000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("error").toString(), "Daemon is stopping");
    EXPECT_EQ(m_daemon.waitExit(20000), std::optional<int>(0));
}

} // namespace
