#include "base/CompletionDispatcher.h"

#include "relay/UdpFlowTable.h"
#include "relay/UdpNat.h"
#include "tun/TcpNatListener.h"
#include "tun/TcpNatRelay.h"

#include <chrono>

namespace {
std::int64_t monotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

CompletionDispatcher::CompletionDispatcher(CompletionPort &port, Routes routes)
    : m_port(port), m_routes(std::move(routes))
{
}

CompletionDispatcher::~CompletionDispatcher()
{
    stop();
}

void CompletionDispatcher::start(unsigned count)
{
    if (m_running.exchange(true))
        return;
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
        // A listener accept put off after a failure is re-armed here, at least
        // once per wait period.
        if (index == 0 && m_routes.listener)
            m_routes.listener->retryAcceptIfDue();
        if (result == CompletionPort::WaitResult::TimedOut)
            continue;
        if (result == CompletionPort::WaitResult::Closed) {
            // Nothing more will complete; wait for stop without spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        dispatch(completion);
        if (++sinceSweep > kSweepEvery - 1) {
            sinceSweep = 0;
            sweepUdp(monotonicNanoseconds());
        }
        if (index == 0 && ++sinceDiagnostics > kDiagnosticsEvery - 1) {
            sinceDiagnostics = 0;
            if (m_routes.diagnostics)
                m_routes.diagnostics();
        }
    }
}

bool CompletionDispatcher::dispatch(const CompletionPort::Completion &completion)
{
    bool routed = false;
    switch (completion.key) {
    case kUdpDataKey:
    case kUdpControlKey:
        routed = m_routes.flows && m_routes.flows->onCompletion(completion);
        break;
    case kRelayKey:
        routed = m_routes.relay && m_routes.relay->onCompletion(completion);
        break;
    case kListenerKey:
        if (m_routes.listener && completion.slot == m_routes.listener->acceptSlot()) {
            m_routes.listener->onAcceptComplete(completion);
            routed = true;
        }
        break;
    case kUdpNatKey:
        routed = m_routes.udpNat && m_routes.udpNat->onReceiveCompleted(completion);
        break;
    default:
        // Key 2 belongs to the user-space TCP engine's proxy connections, which
        // this build does not have; nothing is posted under it.
        break;
    }
    (routed ? m_handled : m_dropped).fetch_add(1, std::memory_order_relaxed);
    return routed;
}

void CompletionDispatcher::sweepUdp(std::int64_t nowNs)
{
    m_sweeps.fetch_add(1, std::memory_order_relaxed);
    if (m_routes.flows)
        m_routes.flows->sweepIdle(nowNs);
    if (m_routes.udpNat)
        m_routes.udpNat->sweepIdle(nowNs);
}
