#include "relay/TunnelCounters.h"

TunnelCounters::Totals TunnelCounters::totals() const
{
    Totals totals;
    totals.bytesUp = m_bytesUp.value.load(std::memory_order_relaxed);
    totals.bytesDown = m_bytesDown.value.load(std::memory_order_relaxed);
    totals.dnsAnswered = m_dnsAnswered.value.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < kDropReasons; ++i)
        totals.dropped[i] = m_dropped[i].load(std::memory_order_relaxed);
    return totals;
}
