// Managed processes through the real daemon: output relay throughput of a
// child writing as fast as it can (with heartbeat round trips from a second
// client meanwhile), the latency of start -> "started", start -> first
// "stdout", and stop -> "finished", and the gaps between the launches of a
// child that always crashes under auto-restart (default delay 1000 ms).

#include "tests/support/DaemonHarness.h"
#include "tools/KestClient.h"

#include <QFile>
#include <QJsonArray>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

QJsonObject startRequest(const QString &id, const QStringList &script)
{
    return QJsonObject{{"action", "start"},
                       {"process-id", id},
                       {"executable", QString::fromLatin1(KEST_TESTCHILD_BINARY)},
                       {"arguments", QJsonArray::fromStringList(script)}};
}


void printPercentiles(const char *label, std::vector<double> values)
{
    if (values.empty()) {
        std::printf("%-34s no samples\n", label);
        return;
    }
    std::sort(values.begin(), values.end());
    const auto pct = [&](double p) { return values[size_t(p * double(values.size() - 1))]; };
    std::printf("%-34s n=%-4zu p50 %8.2f ms  p99 %8.2f ms  max %8.2f ms\n", label, values.size(), pct(0.5),
                pct(0.99), values.back());
}

void throughput(DaemonHarness &daemon, int seconds)
{
    KestClient owner;
    if (!owner.connectTo(daemon.socketPath()) || !owner.waitEvent("connected", 3000)) {
        std::fprintf(stderr, "connect failed\n");
        return;
    }
    std::atomic<bool> done{false};
    std::vector<double> heartbeatMs;
    long peakRss = 0;
    std::thread prober([&] {
        KestClient probe;
        if (!probe.connectTo(daemon.socketPath()) || !probe.waitEvent("connected", 3000))
            return;
        while (!done) {
            const auto t0 = Clock::now();
            if (!probe.request(QJsonObject{{"action", "heartbeat"}}, 10000)) {
                heartbeatMs.push_back(10000);
                break;
            }
            heartbeatMs.push_back(msSince(t0));
            peakRss = std::max(peakRss, daemon.residentKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    const auto t0 = Clock::now();
    owner.request(startRequest("flood", {"flood", QString::number(seconds)}), 5000);
    qint64 received = 0;
    qint64 written = -1;
    int events = 0;
    for (;;) {
        const auto event = owner.nextEvent(15000);
        if (!event)
            break;
        const QString name = event->value("event").toString();
        if (name == "stdout") {
            received += event->value("data").toString().size();
            ++events;
        } else if (name == "stderr") {
            const QString text = event->value("data").toString().trimmed();
            if (text.startsWith("flooded "))
                written = text.mid(8).toLongLong();
        } else if (name == "finished") {
            break;
        }
    }
    const double elapsedS = msSince(t0) / 1000.0;
    done = true;
    prober.join();
    std::printf("output relay: %lld bytes in %.2f s = %.1f MB/s to the client, %d stdout events, "
                "child wrote %lld bytes (%s)\n",
                static_cast<long long>(received), elapsedS, double(received) / elapsedS / 1e6, events,
                static_cast<long long>(written), received == written ? "all delivered" : "MISMATCH");
    std::printf("daemon peak RSS during the flood: %ld KiB\n", peakRss);
    printPercentiles("heartbeat round trip during flood", heartbeatMs);
}

void latencies(DaemonHarness &daemon, int rounds)
{
    KestClient client;
    if (!client.connectTo(daemon.socketPath()) || !client.waitEvent("connected", 3000))
        return;
    std::vector<double> toStarted, toReply, toStdout, toFinished;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = Clock::now();
        client.send(startRequest("lat", {"trap-int", "0", "out", "up", "wait"}));
        bool gotStarted = false;
        bool gotReply = false;
        while (!gotStarted || !gotReply) {
            const auto message = client.read(5000);
            if (!message) {
                std::fprintf(stderr, "no reply to start in round %d\n", i);
                return;
            }
            if (message->value("event").toString() == "started") {
                toStarted.push_back(msSince(t0));
                gotStarted = true;
            } else if (message->contains("status")) {
                toReply.push_back(msSince(t0));
                gotReply = true;
            }
        }
        if (!client.waitEvent("stdout", 5000)) {
            std::fprintf(stderr, "no stdout in round %d\n", i);
            return;
        }
        toStdout.push_back(msSince(t0));
        const auto t1 = Clock::now();
        client.send(QJsonObject{{"action", "stop"}, {"process-id", "lat"}});
        if (!client.waitEvent("finished", 5000)) {
            std::fprintf(stderr, "no finished in round %d\n", i);
            return;
        }
        toFinished.push_back(msSince(t1)); // the stop reply was passed over by waitEvent
    }
    printPercentiles("start -> \"started\"", toStarted);
    printPercentiles("start -> reply", toReply);
    printPercentiles("start -> first \"stdout\"", toStdout);
    printPercentiles("stop -> \"finished\"", toFinished);
}

void restartGaps(DaemonHarness &daemon)
{
    KestClient client;
    if (!client.connectTo(daemon.socketPath()) || !client.waitEvent("connected", 3000))
        return;
    QJsonObject request = startRequest("crasher", {"exit", "3"});
    request["auto-restart"] = true;
    client.send(request);
    std::vector<double> gaps;
    Clock::time_point last{};
    for (;;) {
        const auto event = client.nextEvent(5000);
        if (!event || event->value("event").toString() == "finished")
            break;
        if (event->value("event").toString() != "started")
            continue;
        if (last != Clock::time_point{})
            gaps.push_back(msSince(last));
        last = Clock::now();
    }
    printPercentiles("restart gap (delay 1000 ms)", gaps);
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 4;
    DaemonHarness daemon;
    if (!daemon.start()) {
        std::fprintf(stderr, "kestd did not start:\n%s\n", qPrintable(daemon.stderrText()));
        return 1;
    }
    std::printf("daemon idle RSS: %ld KiB\n", daemon.residentKiB());
    if (seconds > 0)
        throughput(daemon, seconds);
    latencies(daemon, 100);
    restartGaps(daemon);
    std::printf("daemon RSS at the end: %ld KiB\n", daemon.residentKiB());
    return 0;
}
