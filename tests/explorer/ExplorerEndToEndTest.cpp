// The process explorer through the real daemon binary: the four actions with
// their limits and texts, lists pushed to every client, and real processes
// with the icons of a test desktop entry in a temporary XDG data directory.

#include "tests/explorer/ExplorerTestData.h"
#include "tests/support/DaemonHarness.h"
#include "tests/support/GreetedClient.h"
#include "tools/KestClient.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

const QByteArray kSvgWithText =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"48\" height=\"48\">"
    "<rect width=\"48\" height=\"48\" fill=\"#0000ff\"/><text x=\"4\" y=\"30\">Kest</text></svg>";

class ExplorerEndToEnd : public ::testing::Test
{
protected:
    ExplorerEndToEnd() : m_daemon(options(m_data)) {}

    // The daemon's desktop entries and icons come from the test's data directory only.
    static DaemonHarness::Options options(const ExplorerTestData &data)
    {
        DaemonHarness::Options options;
        options.environment = {"XDG_DATA_HOME=" + data.dataDir(), "XDG_DATA_DIRS=" + data.root() + "/none"};
        return options;
    }

    void SetUp() override
    {
        m_data.writeHicolorTheme();
        m_pngProbe = m_data.copyProgram("kest-explorer-probe");
        m_svgProbe = m_data.copyProgram("kest-explorer-vector");
        ASSERT_FALSE(m_pngProbe.isEmpty());
        m_data.writeDesktopEntry("kest-explorer-probe", "Exec=" + m_pngProbe + " %U\nIcon=kest-explorer-probe");
        m_data.writeThemePng("kest-explorer-probe", 256, 0xff00ff00);
        m_data.writeDesktopEntry("kest-explorer-vector", "Exec=kest-explorer-vector\nIcon=kest-explorer-vector");
        m_data.writeThemeSvg("kest-explorer-vector", kSvgWithText);
        ASSERT_TRUE(m_daemon.start()) << m_daemon.stderrText().toStdString();
    }

    void TearDown() override
    {
        for (pid_t pid : m_children)
            ExplorerTestData::reap(pid);
    }

    std::unique_ptr<KestClient> connectClient() { return connectGreetedClient(m_daemon); }

    QJsonObject call(KestClient &client, QJsonObject request)
    {
        const auto reply = client.request(request);
        EXPECT_TRUE(reply.has_value()) << "no reply to " << request.value("action").toString().toStdString();
        return reply.value_or(QJsonObject{});
    }

    // The error text of a request that must fail.
    std::string errorOf(KestClient &client, const QJsonObject &request)
    {
        const QJsonObject reply = call(client, request);
        EXPECT_EQ(reply.value("status").toString(), "error");
        return reply.value("error").toString().toStdString();
    }

    static QJsonObject start(QJsonObject keys = {})
    {
        keys.insert("action", "start-process-explorer");
        return keys;
    }
    static QJsonObject configure(QJsonObject keys)
    {
        keys.insert("action", "process-explorer-config");
        return keys;
    }
    static QJsonObject action(const char *name) { return QJsonObject{{"action", name}}; }

    QJsonObject status(KestClient &client) { return call(client, action("process-explorer-status")); }

    static QJsonObject rowOf(const QJsonObject &list, qint64 pid)
    {
        for (const QJsonValue &row : list.value("processes").toArray()) {
            if (row.toObject().value("pid").toInteger() == pid)
                return row.toObject();
        }
        return {};
    }

    pid_t spawnChild(const QString &program)
    {
        const pid_t pid = ExplorerTestData::spawn(program, {"60"});
        if (pid > 0)
            m_children.append(pid);
        return pid;
    }

    ExplorerTestData m_data;
    DaemonHarness m_daemon;
    QString m_pngProbe;
    QString m_svgProbe;
    QList<pid_t> m_children;
};

TEST_F(ExplorerEndToEnd, StartLimitsAndTextsAndDoubleStartAndStop)
{
    auto client = connectClient();
    EXPECT_EQ(errorOf(*client, start({{"interval_ms", 499}})), "Interval must be at least 500ms");
    EXPECT_EQ(errorOf(*client, start({{"interval_ms", "fast"}})), "Interval must be at least 500ms");
    EXPECT_EQ(errorOf(*client, start({{"interval_ms", 60001}})), "Interval cannot exceed 60000ms");
    EXPECT_EQ(errorOf(*client, start({{"icon_size", 15}})), "Icon size must be between 16 and 256");
    EXPECT_EQ(errorOf(*client, start({{"icon_size", 257}})), "Icon size must be between 16 and 256");
    EXPECT_EQ(errorOf(*client, start({{"interval_ms", 1000}, {"include_icons", false}, {"icon_size", 300}})),
              "Icon size must be between 16 and 256");
    EXPECT_EQ(status(*client), (QJsonObject{{"status", "success"}, {"running", false}, {"interval_ms", 2000},
                                            {"include_icons", true}, {"icon_size", 32}}))
        << "a refused start stores nothing";

    QJsonObject request = start();
    request.insert("request-id", "r1");
    EXPECT_EQ(call(*client, request), (QJsonObject{{"status", "started"}, {"request-id", "r1"},
                                                   {"message", "Process explorer started with 2000ms interval"}}));
    EXPECT_EQ(errorOf(*client, start({{"interval_ms", 500}})), "Process explorer already running");
    EXPECT_TRUE(status(*client).value("running").toBool());
    EXPECT_EQ(call(*client, action("stop-process-explorer")),
              (QJsonObject{{"status", "stopped"}, {"message", "Process explorer stopped"}}));
    EXPECT_EQ(errorOf(*client, action("stop-process-explorer")), "Process explorer not running");

    const struct { int interval; int icon; } accepted[] = {{500, 16}, {60000, 256}};
    for (const auto &a : accepted) {
        const QJsonObject reply = call(*client, start({{"interval_ms", a.interval}, {"icon_size", a.icon}}));
        EXPECT_EQ(reply.value("message").toString(),
                  QStringLiteral("Process explorer started with %1ms interval").arg(a.interval));
        EXPECT_EQ(status(*client).value("icon_size").toInt(), a.icon);
        EXPECT_EQ(call(*client, action("stop-process-explorer")).value("status").toString(), "stopped");
    }
    EXPECT_EQ(call(*client, start()).value("message").toString(), "Process explorer started with 60000ms interval")
        << "a start without keys keeps the stored settings";
}

TEST_F(ExplorerEndToEnd, ConfigureTextsAndPartialUpdates)
{
    auto client = connectClient();
    EXPECT_EQ(errorOf(*client, configure({{"clear_icon_cache", false}})), "No valid configuration options provided");
    EXPECT_EQ(errorOf(*client, configure({})), "No valid configuration options provided");
    EXPECT_EQ(errorOf(*client, configure({{"interval_ms", 499}})), "Interval must be between 500 and 60000ms");
    EXPECT_EQ(errorOf(*client, configure({{"interval_ms", 60001}})), "Interval must be between 500 and 60000ms");

    EXPECT_EQ(errorOf(*client, configure({{"interval_ms", 1000}, {"icon_size", 15}})),
              "Icon size must be between 16 and 256");
    QJsonObject s = status(*client);
    EXPECT_EQ(s.value("interval_ms").toInt(), 1000) << "the accepted interval stays stored";
    EXPECT_EQ(s.value("icon_size").toInt(), 32);

    EXPECT_EQ(call(*client, configure({{"interval_ms", 750}, {"include_icons", false}, {"icon_size", 64},
                                       {"clear_icon_cache", true}})),
              (QJsonObject{{"status", "configured"},
                           {"message", "Updated: interval_ms=750, include_icons=false, icon_size=64, icon_cache_cleared"}}));
    EXPECT_EQ(call(*client, configure({{"clear_icon_cache", true}})).value("message").toString(),
              "Updated: icon_cache_cleared");
    EXPECT_EQ(call(*client, configure({{"include_icons", "yes"}})).value("message").toString(),
              "Updated: include_icons=false")
        << "a non-bool reads as false";
    s = status(*client);
    EXPECT_EQ(s, (QJsonObject{{"status", "success"}, {"running", false}, {"interval_ms", 750},
                              {"include_icons", false}, {"icon_size", 64}}));
    EXPECT_EQ(call(*client, start()).value("message").toString(), "Process explorer started with 750ms interval");
}

TEST_F(ExplorerEndToEnd, FirstListAtOnceThenEveryIntervalToEveryClient)
{
    auto first = connectClient();
    auto second = connectClient();
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(call(*first, start({{"interval_ms", 500}, {"include_icons", false}})).value("status").toString(),
              "started");
    const auto firstList = first->waitEvent("process-list", 3000);
    ASSERT_TRUE(firstList.has_value());
    const qint64 firstAt = clock.elapsed();
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")
                    .match(firstList->value("timestamp").toString()).hasMatch());
    EXPECT_EQ(firstList->value("count").toInteger(), firstList->value("processes").toArray().size());
    EXPECT_FALSE(rowOf(*firstList, m_daemon.pid()).isEmpty()) << "the daemon lists itself";
    // Compared with the intervals themselves rather than with fixed times, so
    // a loaded machine delays both alike; reads may bunch up, so three together.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(first->waitEvent("process-list", 3000).has_value()) << "no list after an interval";
    const qint64 threeIntervals = clock.elapsed() - firstAt;
    EXPECT_LT(firstAt, threeIntervals / 3) << "the first list waited for an interval";
    EXPECT_GE(threeIntervals, 3 * 500 * 9 / 10) << "lists came faster than one every 500 ms";
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(second->waitEvent("process-list", 3000).has_value()) << "every client gets every list";

    ASSERT_EQ(call(*first, action("stop-process-explorer")).value("status").toString(), "stopped");
    while (first->waitEvent("process-list", 300)) {
    }
    EXPECT_FALSE(first->waitEvent("process-list", 1200).has_value()) << "no lists after a stop";
}

TEST_F(ExplorerEndToEnd, ChildProcessAppearsWithItsIconAndGoesAfterItExits)
{
    auto client = connectClient();
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const pid_t probe = spawnChild(m_pngProbe);
    const pid_t vector = spawnChild(m_svgProbe);
    ASSERT_GT(probe, 0);
    ASSERT_GT(vector, 0);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    QThread::msleep(50);
    ASSERT_EQ(call(*client, start({{"interval_ms", 500}, {"icon_size", 48}})).value("status").toString(), "started");

    const auto list = client->waitEvent("process-list", 5000);
    ASSERT_TRUE(list.has_value());
    const QJsonObject row = rowOf(*list, probe);
    ASSERT_FALSE(row.isEmpty()) << "the child is listed";
    EXPECT_EQ(row.value("path").toString(), m_pngProbe);
    EXPECT_EQ(row.value("name").toString(), "kest-explorer-probe");
    EXPECT_EQ(row.value("ppid").toInteger(), ::getpid());
    EXPECT_GT(row.value("memory").toInteger(), 100 * 1024);
    EXPECT_LT(row.value("memory").toInteger(), 512ll * 1024 * 1024);
    EXPECT_EQ(row.value("threads").toInteger(), 1);
    EXPECT_GE(row.value("created").toInteger(), before - 1000);
    EXPECT_LE(row.value("created").toInteger(), after + 1000);
    EXPECT_TRUE(row.contains("session"));

    const QImage icon = ExplorerTestData::decodeIcon(row.value("icon").toString());
    ASSERT_FALSE(icon.isNull()) << "the desktop entry's icon arrives as a PNG";
    EXPECT_EQ(icon.size(), QSize(48, 48));
    EXPECT_EQ(QColor(icon.pixel(24, 24)).green(), 255);

    // An SVG icon with text, rendered by the daemon that has no GUI application.
    const QImage vectorIcon = ExplorerTestData::decodeIcon(rowOf(*list, vector).value("icon").toString());
    ASSERT_FALSE(vectorIcon.isNull());
    EXPECT_EQ(vectorIcon.size(), QSize(48, 48));
    EXPECT_EQ(QColor(vectorIcon.pixel(24, 40)).blue(), 255);

    // A process without a desktop entry has no "icon" key at all.
    const QJsonObject self = rowOf(*list, ::getpid());
    ASSERT_FALSE(self.isEmpty());
    EXPECT_FALSE(self.contains("icon"));

    ExplorerTestData::reap(probe);
    m_children.removeAll(probe);
    bool gone = false;
    for (int i = 0; i < 6 && !gone; ++i) {
        const auto later = client->waitEvent("process-list", 3000);
        ASSERT_TRUE(later.has_value());
        gone = rowOf(*later, probe).isEmpty();
    }
    EXPECT_TRUE(gone) << "an exited child leaves the list";
}

TEST_F(ExplorerEndToEnd, DaemonStopEndsARunningExplorerFirst)
{
    auto client = connectClient();
    ASSERT_EQ(call(*client, start({{"interval_ms", 500}})).value("status").toString(), "started");
    ASSERT_TRUE(client->waitEvent("process-list", 3000).has_value());
    ASSERT_EQ(m_daemon.stop(), std::optional<int>(0));
    const QString log = m_daemon.stderrText();
    const qsizetype explorer = log.indexOf("Stopping process explorer...");
    EXPECT_GE(explorer, 0) << log.toStdString();
    EXPECT_LT(explorer, log.indexOf("Daemon stopped"));
    EXPECT_TRUE(log.contains("ProcessExplorerService destroyed"));
}

} // namespace
