#include "relay/TunnelCounters.h"

TunnelCounters::Totals TunnelCounters::totals() const
{
    Totals totals;
    for (const Shard &shard : m_shards) {
        totals.bytesUp += shard.bytesUp.load(std::memory_order_relaxed);
        totals.bytesDown += shard.bytesDown.load(std::memory_order_relaxed);
        totals.dnsAnswered += shard.dnsAnswered.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < kDropReasons; ++i)
            totals.dropped[i] += shard.dropped[i].load(std::memory_order_relaxed);
    }
    return totals;
}
