#pragma once
// Limits a high-rate diagnostic line to its first occurrences (and optionally
// every Nth one after them). Process-wide when declared static; thread-safe.

#include <atomic>
#include <cstdint>

class LogLimiter {
public:
    // Logs occurrences 1..first, then (when every > 0) every occurrence whose
    // number is a multiple of every.
    constexpr explicit LogLimiter(std::uint64_t first, std::uint64_t every = 0)
        : m_first(first), m_every(every) {}

    // Counts one occurrence. Returns its number (1-based) when it is to be
    // logged, 0 when it is to be suppressed.
    std::uint64_t admit()
    {
        // Once a first-N-only limit is spent, stop touching the shared counter.
        if (m_every == 0 && m_count.load(std::memory_order_relaxed) >= m_first)
            return 0;
        const std::uint64_t n = m_count.fetch_add(1, std::memory_order_relaxed) + 1;
        if (n <= m_first || (m_every != 0 && n % m_every == 0))
            return n;
        return 0;
    }

    std::uint64_t occurrences() const { return m_count.load(std::memory_order_relaxed); }

private:
    const std::uint64_t m_first;
    const std::uint64_t m_every;
    std::atomic<std::uint64_t> m_count{0};
};
