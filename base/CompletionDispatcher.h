#pragma once
// The worker threads of the tunnel's completion port and the one table of its
// completion keys. Each owner of sockets associates them under its key and
// registers its handler for that key; a worker waits up to 250 ms, hands each
// completion to the handler of its key (a lookup; the handler finds its record
// by the slot and drops a completion whose record is gone), and runs the
// periodic work registered with it: the idle sweeps on every 100th completion
// it handles and, so that idle records go while no traffic flows, on worker 0
// once kIdleSweepIntervalMs has passed without a sweep; the housekeeping of
// worker 0 after every wait; and worker 0's diagnostics line every 2000th
// completion.

#include "base/Clock.h"
#include "base/CompletionPort.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

// The completion keys of the tunnel, one per kind of socket.
enum class CompletionKey : std::uint64_t {
    UdpFlowData = 1,    // data socket of a UDP flow of the flow table
    ProxyHandshake = 2, // a socket while its SOCKS5 handshake (or plain connect) runs
    UdpFlowControl = 3, // control connection of a UDP flow of the flow table
    UserTcp = 4,        // proxy socket of a user-space TCP connection, once its handshake is done
    Relay = 5,          // both sockets of a NAT relay session
    Listener = 7,       // the NAT listener's socket
    UdpNat = 8,         // both sockets of a UDP-NAT session
    DnsPool = 9,        // both sockets of a pooled DNS association
};

constexpr std::uint64_t keyValue(CompletionKey key)
{
    return static_cast<std::uint64_t>(key);
}

class CompletionDispatcher {
public:
    static constexpr int kWaitTimeoutMs = 250;
    static constexpr int kSweepEvery = 100;
    static constexpr int kDiagnosticsEvery = 2000;
    static constexpr std::int64_t kIdleSweepIntervalNs = 1'000'000'000;
    static constexpr std::size_t kMaxKeys = 16;

    // True when the completion belonged to a live record of the owner.
    using Handler = std::function<bool(const CompletionPort::Completion &)>;
    // Sweeps read the time of their owner's own clock.
    using Task = std::function<void()>;

    // The clock times the sweeps that run without completions.
    explicit CompletionDispatcher(CompletionPort &port, MonotonicClock clock = monotonicNanoseconds);
    ~CompletionDispatcher();
    CompletionDispatcher(const CompletionDispatcher &) = delete;
    CompletionDispatcher &operator=(const CompletionDispatcher &) = delete;

    // Registration, before start().
    void setHandler(CompletionKey key, Handler handler);
    void addIdleSweep(Task sweep);
    void addHousekeeping(Task task);
    void setDiagnostics(Task task);

    // Starts count workers (indices 0..count-1).
    void start(unsigned count);
    // Clears running and joins the workers (each leaves within one wait).
    void stop();
    std::size_t workerCount() const { return m_workers.size(); }

    // Routes one completion; false when it was dropped (no handler, or no live record).
    bool dispatch(const CompletionPort::Completion &completion);
    // Runs every registered idle sweep.
    void sweepIdle();

    std::uint64_t handled() const { return m_handled.load(); }
    std::uint64_t dropped() const { return m_dropped.load(); }
    // Sweeps completed.
    std::uint64_t sweeps() const { return m_sweeps.load(); }

private:
    void workerLoop(unsigned index);
    void sweepIdleIfDue();

    CompletionPort &m_port;
    MonotonicClock m_clock;
    std::array<Handler, kMaxKeys> m_handlers;
    std::vector<Task> m_idleSweeps;
    std::atomic<std::int64_t> m_lastSweepNs{0};
    std::vector<Task> m_housekeeping;
    Task m_diagnostics;
    std::atomic<bool> m_running{false};
    std::vector<std::thread> m_workers;
    std::atomic<std::uint64_t> m_handled{0};
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_sweeps{0};
};
