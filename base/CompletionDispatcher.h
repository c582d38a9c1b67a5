#pragma once
// The worker threads of the tunnel's completion port: each waits up to 250 ms,
// routes a completion by its key to the path that owns it (each path finds the
// record by the slot in O(1) and drops a completion whose record is gone), and
// piggy-backs the UDP idle sweep on every 100th completion it handles. Worker 0
// also re-arms a listener accept put off after a failure, and writes the
// diagnostics line every 2000th completion.

#include "base/CompletionPort.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

class TcpNatListener;
class TcpNatRelay;
class UdpFlowTable;
class UdpNat;

class CompletionDispatcher {
public:
    static constexpr int kWaitTimeoutMs = 250;
    static constexpr int kSweepEvery = 100;
    static constexpr int kDiagnosticsEvery = 2000;

    static constexpr std::uint64_t kUdpDataKey = 1;
    static constexpr std::uint64_t kProxyConnectionKey = 2;
    static constexpr std::uint64_t kUdpControlKey = 3;
    static constexpr std::uint64_t kRelayKey = 5;
    static constexpr std::uint64_t kListenerKey = 7;
    static constexpr std::uint64_t kUdpNatKey = 8;

    struct Routes {
        TcpNatListener *listener = nullptr;
        TcpNatRelay *relay = nullptr;
        UdpFlowTable *flows = nullptr;
        UdpNat *udpNat = nullptr;
        // Worker 0's periodic diagnostics line (optional).
        std::function<void()> diagnostics;
    };

    CompletionDispatcher(CompletionPort &port, Routes routes);
    ~CompletionDispatcher();
    CompletionDispatcher(const CompletionDispatcher &) = delete;
    CompletionDispatcher &operator=(const CompletionDispatcher &) = delete;

    // Starts count workers (indices 0..count-1).
    void start(unsigned count);
    // Clears running and joins the workers (each leaves within one wait).
    void stop();
    std::size_t workerCount() const { return m_workers.size(); }

    // Routes one completion; false when it was dropped (no live record).
    bool dispatch(const CompletionPort::Completion &completion);
    // The UDP idle sweep (flow table and UDP-NAT sessions) at a monotonic time.
    void sweepUdp(std::int64_t nowNs);

    std::uint64_t handled() const { return m_handled.load(); }
    std::uint64_t dropped() const { return m_dropped.load(); }
    std::uint64_t sweeps() const { return m_sweeps.load(); }

private:
    void workerLoop(unsigned index);

    CompletionPort &m_port;
    Routes m_routes;
    std::atomic<bool> m_running{false};
    std::vector<std::thread> m_workers;
    std::atomic<std::uint64_t> m_handled{0};
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_sweeps{0};
};
