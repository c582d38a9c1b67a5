// kestctl against the real daemon: replies, exit codes, key=value typing, watch.

#include "tests/support/DaemonHarness.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct Ctl {
    int exitCode;
    QByteArray out;
};

class KestctlTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.start()); }

    Ctl run(QStringList args)
    {
        QProcess p;
        args.prepend(m_daemon.socketPath());
        args.prepend("--socket");
        p.start(KESTCTL_BINARY, args);
        p.waitForFinished(10000);
        return {p.exitCode(), p.readAllStandardOutput()};
    }

    DaemonHarness m_daemon;
};

TEST_F(KestctlTest, PrintsReplyAndExitsByItsStatus)
{
    const Ctl ok = run({"heartbeat", "request-id=7"});
    EXPECT_EQ(ok.exitCode, 0);
    const QJsonObject reply = QJsonDocument::fromJson(ok.out).object();
    EXPECT_EQ(reply.value("status").toString(), "success");
    EXPECT_EQ(reply.value("request-id").toInt(), 7) << "numbers are sent as JSON numbers";

    const Ctl bad = run({"Heartbeat"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(QJsonDocument::fromJson(bad.out).object().value("error").toString(), "Unknown action: Heartbeat");

    const Ctl text = run({"heartbeat", "request-id:=7"});
    EXPECT_EQ(QJsonDocument::fromJson(text.out).object().value("request-id").toString(), "7");

    const Ctl json = run({"--json", R"({"action":"heartbeat","request-id":[1,2]})"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_TRUE(QJsonDocument::fromJson(json.out).object().value("request-id").isArray());

    EXPECT_EQ(run({"--json", "[1]"}).exitCode, 2);
    EXPECT_EQ(run({"heartbeat", "novalue"}).exitCode, 2);
}

TEST_F(KestctlTest, WatchSendsItsRequestAndPrintsTheEventsOfWhatItStarted)
{
    QProcess watch;
    watch.start(KESTCTL_BINARY, {"--socket", m_daemon.socketPath(), "watch", "start", "process-id=w",
                                 "executable=/bin/sh", R"(arguments=["-c","echo hello-from-child"])"});
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains("\"event\":\"finished\"") && t.elapsed() < 8000) {
        watch.waitForReadyRead(200);
        out += watch.readAllStandardOutput();
    }
    ::kill(pid_t(watch.processId()), SIGINT);
    watch.waitForFinished(5000);
    EXPECT_EQ(watch.exitCode(), 0);
    const QList<QByteArray> lines = out.trimmed().split('\n');
    ASSERT_GE(lines.size(), 4) << out.toStdString();
    EXPECT_TRUE(lines[0].contains("\"event\":\"connected\""));
    EXPECT_TRUE(out.contains("\"status\":\"started\""));
    EXPECT_TRUE(out.contains("hello-from-child"));
    EXPECT_FALSE(out.contains("kestctl-watch-heartbeat")) << "its own heartbeat replies are not printed";
}

} // namespace
