// The real daemon binary run as systemd would, talked to over its socket.

#include "tests/support/DaemonHarness.h"
#include "tests/support/GreetedClient.h"
#include "tools/KestClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

QByteArray rawFrame(const QByteArray &payload)
{
    const quint32 n = quint32(payload.size());
    const char length[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return QByteArray(length, 4) + payload;
}

class DaemonEndToEnd : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.start()) << m_daemon.stderrText().toStdString(); }

    // A connected client that has consumed its "connected" greeting.
    std::unique_ptr<KestClient> connectClient() { return connectGreetedClient(m_daemon); }

    DaemonHarness m_daemon;
};

TEST_F(DaemonEndToEnd, GreetsWithVersionAndPrivilegeLevel)
{
    KestClient client;
    ASSERT_TRUE(client.connectTo(m_daemon.socketPath()));
    const auto greeting = client.read(3000);
    ASSERT_TRUE(greeting.has_value());
    EXPECT_EQ(greeting->value("event").toString(), "connected");
    EXPECT_EQ(greeting->value("daemon-version").toString(), "2.1.0");
    EXPECT_EQ(greeting->value("privilege-level").toInt(-1), ::geteuid() == 0 ? 1 : 0);
}

TEST_F(DaemonEndToEnd, HeartbeatReplyIsExactFrameWithRequestIdCopied)
{
    auto client = connectClient();
    ASSERT_TRUE(client->send(QJsonObject{{"action", "heartbeat"}, {"request-id", 7}}));
    const auto frame = client->readRawFrame(3000);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(*frame, QByteArray::fromHex("00000023") + "{\"request-id\":7,\"status\":\"success\"}");
}

TEST_F(DaemonEndToEnd, RequestIdOfAnyTypeIsCopiedAndAbsentOneStaysAbsent)
{
    auto client = connectClient();
    const QJsonValue ids[] = {QJsonValue("abc"), QJsonValue(1.5), QJsonValue(QJsonArray{1, "x"}),
                              QJsonValue(QJsonObject{{"k", true}}), QJsonValue(QJsonValue::Null), QJsonValue(false)};
    for (const QJsonValue &id : ids) {
        const auto reply = client->request(QJsonObject{{"action", "heartbeat"}, {"request-id", id}});
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->value("request-id"), id);
    }
    const auto bare = client->request(QJsonObject{{"action", "heartbeat"}});
    ASSERT_TRUE(bare.has_value());
    EXPECT_FALSE(bare->contains("request-id"));
    EXPECT_EQ(bare->value("status").toString(), "success");
}

TEST_F(DaemonEndToEnd, RequestIdBeyondWhatADoubleHoldsComesBackUnchanged)
{
    auto client = connectClient();
    for (const QByteArray &id : {QByteArray("1234567890123456789012345678901234567890"), QByteArray("1e2")}) {
        ASSERT_TRUE(client->sendRaw(rawFrame("{\"action\":\"heartbeat\",\"request-id\":" + id + "}")));
        const auto frame = client->readRawFrame(3000);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->mid(4), "{\"request-id\":" + id + ",\"status\":\"success\"}");
    }
}

TEST_F(DaemonEndToEnd, UnknownAndMiscasedActionsGetTheirError)
{
    auto client = connectClient();
    const auto capital = client->request(QJsonObject{{"action", "Heartbeat"}});
    ASSERT_TRUE(capital.has_value());
    EXPECT_EQ(capital->value("status").toString(), "error");
    EXPECT_EQ(capital->value("error").toString(), "Unknown action: Heartbeat");
    const auto missing = client->request(QJsonObject{{"request-id", 1}});
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->value("error").toString(), "Unknown action: ");
    const auto number = client->request(QJsonObject{{"action", 5}});
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(number->value("error").toString(), "Unknown action: ");
}

TEST_F(DaemonEndToEnd, ClientHelloSetsLogPathInNewDirectory)
{
    auto client = connectClient();
    const QString path = m_daemon.rootDir() + "/new/dir/client.log";
    const auto empty = client->request(QJsonObject{{"action", "client-hello"}, {"log-path", ""}, {"version", "9.0"}});
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->value("error").toString(), "Log path cannot be empty");

    const auto reply = client->request(QJsonObject{{"action", "client-hello"}, {"log-path", path}, {"version", "2.0.9"}});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("status").toString(), "success");
    const qint64 defaultSize = QFileInfo(m_daemon.defaultLogPath()).size();
    client->request(QJsonObject{{"action", "Nope"}});
    QFile log(path);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("INFO: Client connected:"));
    EXPECT_EQ(QFileInfo(m_daemon.defaultLogPath()).size(), defaultSize);
}

TEST_F(DaemonEndToEnd, ClearLogsEmptiesTheLogKeepingItsModeAndRemovesTheRotatedFile)
{
    auto client = connectClient();
    const QString path = m_daemon.rootDir() + "/logs/k.log";
    ASSERT_TRUE(client->request(QJsonObject{{"action", "client-hello"}, {"log-path", path}}).has_value());
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0600), 0);
    QFile old(path + ".old");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.close();
    const auto reply = client->request(QJsonObject{{"action", "clear-logs"}});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("status").toString(), "success");
    EXPECT_FALSE(QFile::exists(path + ".old"));
    client->request(QJsonObject{{"action", "Nope"}}); // logs a line
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "clearing changed the log's mode";
}

TEST_F(DaemonEndToEnd, BadInputNeitherCrashesTheDaemonNorDropsOtherClients)
{
    auto good = connectClient();
    {
        KestClient garbage;
        ASSERT_TRUE(garbage.connectTo(m_daemon.socketPath()));
        garbage.sendRaw(rawFrame("\xff\xfe\xfd not json"));
        garbage.sendRaw(rawFrame("{\"action\":\"\xc3\x28\"}"));
        garbage.sendRaw(rawFrame(QByteArray(20000, '[') + QByteArray(20000, ']')));
        garbage.sendRaw(rawFrame(""));
        // Still served after all of that.
        const auto reply = garbage.request(QJsonObject{{"action", "heartbeat"}, {"request-id", "after-garbage"}});
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->value("request-id").toString(), "after-garbage");
        garbage.sendRaw(QByteArray::fromHex("00001000") + "{\"trunc"); // truncated, then gone
    }
    KestClient silent;
    ASSERT_TRUE(silent.connectTo(m_daemon.socketPath()));
    KestClient huge;
    ASSERT_TRUE(huge.connectTo(m_daemon.socketPath()));
    huge.sendRaw(QByteArray::fromHex("ffffffff"));
    EXPECT_TRUE(huge.waitClosed(3000)) << "an over-long frame closes its connection";
    EXPECT_TRUE(m_daemon.waitForLog("declared a frame of 4294967295 bytes", 2000));

    const auto reply = good->request(QJsonObject{{"action", "heartbeat"}, {"request-id", 42}});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("request-id").toInt(), 42);
    EXPECT_FALSE(m_daemon.waitExit(0).has_value());
}

TEST_F(DaemonEndToEnd, SilentClientIsDroppedWhileBeatingOneStays)
{
    // When exactly (between 10 and 15 s of silence) is the heartbeat check's
    // own test; here only who goes and who stays.
    auto silent = connectClient();
    auto beating = connectClient();
    QElapsedTimer t;
    t.start();
    bool dropped = false;
    while (!dropped && t.elapsed() < 60000) {
        ASSERT_TRUE(beating->request(QJsonObject{{"action", "heartbeat"}}).has_value());
        dropped = silent->waitClosed(1000);
    }
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(m_daemon.stderrText().contains("timed out (no heartbeat for 10000 ms)"));
    EXPECT_TRUE(beating->request(QJsonObject{{"action", "heartbeat"}}).has_value());
}

TEST_F(DaemonEndToEnd, HigherClientVersionStopsDaemonCleanly)
{
    auto client = connectClient();
    ASSERT_TRUE(client->send(QJsonObject{{"action", "client-hello"}, {"log-path", m_daemon.rootDir() + "/h.log"},
                                         {"version", "2.1.0.0"}, {"request-id", "v"}}));
    const auto reply = client->read(3000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->value("status").toString(), "restarting");
    EXPECT_EQ(reply->value("reason").toString(), "Client version is higher than daemon version");
    EXPECT_EQ(reply->value("request-id").toString(), "v");
    EXPECT_EQ(m_daemon.waitExit(5000), std::optional<int>(0));
    EXPECT_TRUE(m_daemon.waitNotify("STOPPING=1", 0));
    EXPECT_FALSE(client->read(200).has_value()) << "the restarting reply is the only one";
}

TEST_F(DaemonEndToEnd, SigtermShutsDownInOrderAndExitsZero)
{
    ASSERT_TRUE(m_daemon.signal(SIGTERM));
    EXPECT_EQ(m_daemon.waitExit(10000), std::optional<int>(0));
    EXPECT_TRUE(m_daemon.waitNotify("STOPPING=1", 0));
    const QString log = m_daemon.stderrText();
    const QStringList order = {"Service stop requested, quitting event loop...", "Event loop exited, stopping daemon...",
                               "Stopping kestd daemon...", "Daemon stopped",
                               "Daemon cleanup complete, reporting service stopped"};
    qsizetype at = 0;
    for (const QString &line : order) {
        const qsizetype found = log.indexOf(line, at);
        EXPECT_GE(found, at) << "missing or out of order: " << line.toStdString() << "\n" << log.toStdString();
        at = found < 0 ? at : found;
    }
    EXPECT_FALSE(QFile::exists(m_daemon.socketPath()));
}

TEST_F(DaemonEndToEnd, InstallerControlBroadcastsShutdownAndOtherControlIsIgnored)
{
    auto a = connectClient();
    auto b = connectClient();
    ASSERT_TRUE(m_daemon.signal(SIGUSR2));
    ASSERT_TRUE(m_daemon.signal(SIGUSR1));
    for (KestClient *c : {a.get(), b.get()}) {
        const auto e = c->waitEvent("shutdown", 3000);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->value("reason").toString(), "installer-request");
    }
    EXPECT_TRUE(m_daemon.stderrText().contains("Received SERVICE_CONTROL_SHUTDOWN_CLIENTS from installer"));
    EXPECT_FALSE(m_daemon.waitExit(200).has_value());
}

TEST_F(DaemonEndToEnd, SecondInstanceOnSameRuntimeDirectoryRefusesToStart)
{
    auto client = connectClient();
    DaemonHarness::Options options;
    options.environment << "RUNTIME_DIRECTORY=" + m_daemon.runtimeDir();
    DaemonHarness second(options);
    ASSERT_TRUE(second.start(false));
    EXPECT_EQ(second.waitExit(10000), std::optional<int>(1));
    EXPECT_TRUE(second.stderrText().contains("Another kestd instance already serves")) << second.stderrText().toStdString();
    EXPECT_TRUE(second.stderrText().contains("Failed to start daemon"));
    const auto reply = client->request(QJsonObject{{"action", "heartbeat"}});
    ASSERT_TRUE(reply.has_value()) << "the first daemon keeps its socket";
}

TEST(DaemonSessions, EachListedSessionGetsItsOwnSocket)
{
    constexpr quint32 kOther = DaemonHarness::kSession + 1;
    DaemonHarness::Options options;
    options.sessions = QStringLiteral("%1,%2").arg(DaemonHarness::kSession).arg(kOther);
    DaemonHarness daemon(options);
    ASSERT_TRUE(daemon.start());
    for (quint32 s : {DaemonHarness::kSession, kOther}) {
        KestClient client;
        ASSERT_TRUE(client.connectTo(daemon.socketPath(s))) << "session " << s;
        EXPECT_TRUE(client.waitEvent("connected", 3000).has_value());
    }
    EXPECT_TRUE(daemon.stderrText().contains(QStringLiteral("Named pipe server started for session %1").arg(kOther)));
}

} // namespace
