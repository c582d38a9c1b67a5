// The polling worker and its service, on their own (no daemon).

#include "explorer/IconExtractor.h"
#include "explorer/ProcessExplorerService.h"
#include "explorer/ProcessExplorerWorker.h"
#include "tests/explorer/ExplorerTestData.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QCoreApplication *app()
{
    static int argc = 1;
    static char name[] = "test_explorer_worker";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *instance = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                     : new QCoreApplication(argc, argv);
    return instance;
}

// Runs the event loop until the predicate holds or the time is up.
template <typename Predicate>
bool spinUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        app()->processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

std::unique_ptr<IconExtractor> extractorFor(const ExplorerTestData &data)
{
    return std::make_unique<IconExtractor>(QStringList{data.dataDir()});
}

} // namespace

TEST(ProcessListMessage, CarriesEveryFieldAsExactIntegersAndIconOnlyWhenPresent)
{
    ExplorerTestData data;
    ProcessExplorerWorker worker(extractorFor(data));
    ProcessEntry plain;
    plain.pid = 4000000000u;
    plain.ppid = 1;
    plain.name = "app";
    plain.path = "/usr/bin/app";
    plain.memory = 5000000000123ull;
    plain.threads = 3;
    plain.created = 1765150000123;
    plain.session = 2;
    ProcessEntry withIcon = plain;
    withIcon.pid = 12;
    withIcon.icon = "aWNvbg==";

    const QJsonObject message = worker.buildProcessListMessage({plain, withIcon});
    EXPECT_EQ(message.value("event").toString(), "process-list");
    EXPECT_EQ(message.value("count").toInteger(), 2);
    const QString stamp = message.value("timestamp").toString();
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$").match(stamp).hasMatch()) << stamp.toStdString();
    const QDateTime parsed = QDateTime::fromString(stamp, Qt::ISODate);
    EXPECT_LE(std::llabs(parsed.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch()), 2000) << "UTC, not local time";

    const QJsonArray rows = message.value("processes").toArray();
    ASSERT_EQ(rows.size(), 2);
    const QJsonObject first = rows.at(0).toObject();
    EXPECT_EQ(first.keys(), (QStringList{"created", "memory", "name", "path", "pid", "ppid", "session", "threads"}));
    EXPECT_EQ(rows.at(1).toObject().value("icon").toString(), "aWNvbg==");
    EXPECT_EQ(rows.at(1).toObject().value("pid").toInteger(), 12);

    const QByteArray text = QJsonDocument(message).toJson(QJsonDocument::Compact);
    EXPECT_TRUE(text.contains("\"memory\":5000000000123")) << text.toStdString();
    EXPECT_TRUE(text.contains("\"created\":1765150000123"));
    EXPECT_TRUE(text.contains("\"pid\":4000000000"));

    const QJsonObject empty = worker.buildProcessListMessage({});
    EXPECT_EQ(empty.value("count").toInteger(-1), 0);
    EXPECT_TRUE(empty.value("processes").isArray());
}

TEST(ProcessExplorerWorker, IconsOffLeavesRowsAndCacheAlone)
{
    ExplorerTestData data;
    data.writeHicolorTheme();
    const QString prog = data.copyProgram("kest-worker-iconic");
    data.writeDesktopEntry("iconic", "Exec=" + prog + "\nIcon=iconic");
    data.writeThemePng("iconic", 48, 0xff00ff00);
    const pid_t child = ExplorerTestData::spawn(prog, {"30"});
    ASSERT_GT(child, 0);
    QThread::msleep(50);

    ProcessExplorerWorker worker(extractorFor(data));
    worker.updateConfig(2000, false, 32);
    for (const ProcessEntry &row : worker.takeSnapshot())
        EXPECT_TRUE(row.icon.isEmpty()) << row.path.toStdString();
    EXPECT_EQ(worker.iconCacheSize(), 0);

    worker.updateConfig(2000, true, 32);
    QString icon;
    for (const ProcessEntry &row : worker.takeSnapshot()) {
        if (row.pid == quint32(child))
            icon = row.icon;
    }
    ExplorerTestData::reap(child);
    EXPECT_EQ(ExplorerTestData::decodeIcon(icon).size(), QSize(32, 32));
    EXPECT_GT(worker.iconCacheSize(), 0);
}

TEST(ProcessExplorerWorker, NewIconSizeTakesEffectOnTheNextList)
{
    app();
    ExplorerTestData data;
    data.writeHicolorTheme();
    const QString prog = data.copyProgram("kest-worker-sized");
    data.writeDesktopEntry("sized", "Exec=" + prog + "\nIcon=sized");
    data.writeThemePng("sized", 256, 0xff00ff00);
    const pid_t child = ExplorerTestData::spawn(prog, {"30"});
    ASSERT_GT(child, 0);
    QThread::msleep(50);
    ProcessExplorerWorker worker(extractorFor(data));
    const auto childIconWidth = [&] {
        const QJsonArray rows = worker.buildProcessListMessage(worker.takeSnapshot())["processes"].toArray();
        for (const QJsonValue &row : rows) {
            if (row["pid"].toInteger() == child)
                return ExplorerTestData::decodeIcon(row["icon"].toString()).width();
        }
        return -1;
    };
    EXPECT_EQ(childIconWidth(), 32);
    worker.updateConfig(2000, true, 64);
    EXPECT_EQ(childIconWidth(), 64) << "configured size";
    worker.updateConfig(1000, true, 64);
    EXPECT_GT(worker.iconCacheSize(), 0) << "other settings keep the cache";
    worker.startPolling(60000, true, 16);
    worker.stopPolling();
    EXPECT_EQ(childIconWidth(), 16) << "size given at start";
    ExplorerTestData::reap(child);
}

TEST(ProcessExplorerWorker, FirstListAtOnceThenEveryIntervalUntilStopped)
{
    app();
    ExplorerTestData data;
    ProcessExplorerWorker worker(extractorFor(data));
    QList<qint64> arrivals;
    QElapsedTimer clock;
    QObject::connect(&worker, &ProcessExplorerWorker::processListReady, [&](const QJsonObject &m) {
        EXPECT_GT(m.value("count").toInteger(), 0);
        arrivals.append(clock.elapsed());
    });
    QStringList errors;
    QObject::connect(&worker, &ProcessExplorerWorker::errorOccurred, [&](const QString &e) { errors.append(e); });

    clock.start();
    worker.startPolling(500, false, 32);
    ASSERT_TRUE(spinUntil([&] { return arrivals.size() >= 3; }, 5000));
    EXPECT_LT(arrivals.at(0), 400) << "the first list follows the start at once";
    EXPECT_GT(arrivals.at(1), 350);
    EXPECT_GT(arrivals.at(2) - arrivals.at(1), 350);

    worker.startPolling(1000, true, 64);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.at(0), "Worker already running");
    EXPECT_EQ(worker.intervalMs(), 500) << "a second start changes nothing";

    worker.stopPolling();
    const qsizetype stoppedAt = arrivals.size();
    spinUntil([] { return false; }, 800);
    EXPECT_EQ(arrivals.size(), stoppedAt);
    EXPECT_FALSE(worker.isRunning());
}

TEST(ProcessExplorerWorker, ReconfiguredIntervalTakesEffectWhileRunning)
{
    app();
    ExplorerTestData data;
    ProcessExplorerWorker worker(extractorFor(data));
    int lists = 0;
    QObject::connect(&worker, &ProcessExplorerWorker::processListReady, [&](const QJsonObject &) { ++lists; });
    worker.startPolling(60000, false, 32);
    ASSERT_TRUE(spinUntil([&] { return lists == 1; }, 2000));
    worker.updateConfig(500, false, 32);
    EXPECT_TRUE(spinUntil([&] { return lists >= 2; }, 3000)) << "the next poll follows the new interval";
    worker.stopPolling();
}

TEST(ProcessExplorerService, ListsFromTheWorkerThreadReachTheServiceAndStopEndsThem)
{
    app();
    auto *service = new ProcessExplorerService(nullptr);
    QList<QJsonObject> lists;
    QObject::connect(service, &ProcessExplorerService::processListUpdated, [&](const QJsonObject &m) {
        EXPECT_EQ(QThread::currentThread(), app()->thread());
        lists.append(m);
    });
    const QJsonObject reply = service->startExplorer(QJsonObject{{"interval_ms", 500}, {"include_icons", false}});
    EXPECT_EQ(reply.value("status").toString(), "started");
    ASSERT_TRUE(spinUntil([&] { return lists.size() >= 2; }, 5000));
    bool sawSelf = false;
    for (const QJsonValue &row : lists.first().value("processes").toArray())
        sawSelf = sawSelf || row.toObject().value("pid").toInteger() == ::getpid();
    EXPECT_TRUE(sawSelf);
    EXPECT_EQ(service->stopExplorer().value("status").toString(), "stopped");
    spinUntil([] { return false; }, 300);
    const qsizetype stopped = lists.size();
    spinUntil([] { return false; }, 800);
    EXPECT_EQ(lists.size(), stopped);

    // Destroyed while running: the thread is stopped and joined, nothing leaks or crashes.
    service->startExplorer(QJsonObject{{"interval_ms", 500}});
    spinUntil([&] { return lists.size() > stopped; }, 3000);
    delete service;
}
