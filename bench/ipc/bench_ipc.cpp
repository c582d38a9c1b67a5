// Request round trips through the daemon's socket: heartbeats from one client
// and from 16 clients at once; requests per second, p50/p99 latency, idle RSS.

#include "tests/support/DaemonHarness.h"
#include "tools/KestClient.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    std::vector<double> latenciesUs;
    double seconds = 0;
};

bool runClient(const QString &socket, int requests, std::vector<double> &latencies)
{
    KestClient client;
    if (!client.connectTo(socket) || !client.waitEvent("connected", 3000))
        return false;
    const QJsonObject heartbeat{{"action", "heartbeat"}, {"request-id", 1}};
    latencies.reserve(size_t(requests));
    for (int i = 0; i < requests; ++i) {
        const auto t0 = Clock::now();
        if (!client.request(heartbeat, 5000))
            return false;
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return true;
}

Result measure(const QString &socket, int clients, int perClient)
{
    std::vector<std::vector<double>> perThread(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            if (!runClient(socket, perClient, perThread[size_t(c)]))
                std::fprintf(stderr, "client %d failed\n", c);
        });
    for (auto &t : threads)
        t.join();
    Result r;
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    for (auto &v : perThread)
        r.latenciesUs.insert(r.latenciesUs.end(), v.begin(), v.end());
    std::sort(r.latenciesUs.begin(), r.latenciesUs.end());
    return r;
}

void print(const char *label, const Result &r)
{
    if (r.latenciesUs.empty()) {
        std::printf("%s: no successful requests\n", label);
        return;
    }
    const auto pct = [&](double p) { return r.latenciesUs[size_t(p * double(r.latenciesUs.size() - 1))]; };
    std::printf("%-22s %8zu requests  %9.0f req/s  p50 %7.1f us  p99 %7.1f us\n", label, r.latenciesUs.size(),
                double(r.latenciesUs.size()) / r.seconds, pct(0.50), pct(0.99));
}


} // namespace

int main()
{
    DaemonHarness daemon;
    if (!daemon.start()) {
        std::fprintf(stderr, "kestd did not start:\n%s\n", qPrintable(daemon.stderrText()));
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("daemon idle RSS: %ld KiB\n", daemon.residentKiB());
    print("heartbeat, 1 client", measure(daemon.socketPath(), 1, 20000));
    print("heartbeat, 16 clients", measure(daemon.socketPath(), 16, 2000));
    std::printf("daemon RSS after load: %ld KiB\n", daemon.residentKiB());
    return 0;
}
