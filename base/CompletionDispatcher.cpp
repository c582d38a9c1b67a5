#include "base/CompletionDispatcher.h"

#include <chrono>

CompletionDispatcher::CompletionDispatcher(CompletionPort &port, MonotonicClock clock)
    : m_port(port), m_clock(std::move(clock))
{
}

CompletionDispatcher::~CompletionDispatcher()
{
    stop();
}

void CompletionDispatcher::setHandler(CompletionKey key, Handler handler)
{
    if (keyValue(key) < kMaxKeys)
        m_handlers[keyValue(key)] = std::move(handler);
}

void CompletionDispatcher::addIdleSweep(Task sweep)
{
    m_idleSweeps.push_back(std::move(sweep));
}

void CompletionDispatcher::addHousekeeping(Task task)
{
    m_housekeeping.push_back(std::move(task));
}

void CompletionDispatcher::setDiagnostics(Task task)
{
    m_diagnostics = std::move(task);
}

void CompletionDispatcher::start(unsigned count)
{
    if (m_running.exchange(true))
        return;
    m_lastSweepNs.store(m_clock());
    for (unsigned i = 0; i < count; ++i)
        m_workers.emplace_back([this, i] { workerLoop(i); });
}

void CompletionDispatcher::stop()
{
    m_running.store(false);
    for (std::thread &worker : m_workers)
        worker.join();
    m_workers.clear();
}

void CompletionDispatcher::workerLoop(unsigned index)
{
    int sinceSweep = 0;
    int sinceDiagnostics = 0;
    while (m_running.load(std::memory_order_acquire)) {
        CompletionPort::Completion completion;
        const CompletionPort::WaitResult result = m_port.wait(kWaitTimeoutMs, completion);
        if (!m_running.load(std::memory_order_acquire))
            return;
        // Deadlines and retries are checked here, at least once per wait period.
        if (index == 0) {
            for (const Task &task : m_housekeeping)
                task();
            sweepIdleIfDue();
        }
        if (result == CompletionPort::WaitResult::TimedOut)
            continue;
        if (result == CompletionPort::WaitResult::Closed) {
            // Nothing more will complete; wait for stop without spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        {
            CompletionPort::Serving serving(m_port);
            dispatch(completion);
        }
        if (++sinceSweep > kSweepEvery - 1) {
            sinceSweep = 0;
            sweepIdle();
        }
        if (index == 0 && ++sinceDiagnostics > kDiagnosticsEvery - 1) {
            sinceDiagnostics = 0;
            if (m_diagnostics)
                m_diagnostics();
        }
    }
}

bool CompletionDispatcher::dispatch(const CompletionPort::Completion &completion)
{
    const Handler *handler = completion.key < kMaxKeys ? &m_handlers[completion.key] : nullptr;
    const bool routed = handler && *handler && (*handler)(completion);
    (routed ? m_handled : m_dropped).fetch_add(1, std::memory_order_relaxed);
    return routed;
}

void CompletionDispatcher::sweepIdle()
{
    m_lastSweepNs.store(m_clock(), std::memory_order_relaxed);
    for (const Task &sweep : m_idleSweeps)
        sweep();
    m_sweeps.fetch_add(1, std::memory_order_release);
}

// Without traffic no completion counts towards a sweep: the records a burst
// left behind would stay until the next burst.
void CompletionDispatcher::sweepIdleIfDue()
{
    if (m_clock() - m_lastSweepNs.load(std::memory_order_relaxed) >= kIdleSweepIntervalNs)
        sweepIdle();
}
