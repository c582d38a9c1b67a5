#pragma once
// A monotonic clock that moves only when the test moves it, so lifetimes of
// minutes are crossed at once and nothing expires while the test looks.

#include "base/Clock.h"

#include <atomic>
#include <cstdint>

class ManualClock {
public:
    static constexpr std::int64_t kSecond = 1'000'000'000;

    explicit ManualClock(std::int64_t startNs = 1000 * kSecond) : m_now(startNs) {}

    std::int64_t now() const { return m_now.load(); }
    void advance(std::int64_t ns) { m_now.fetch_add(ns); }
    // For the component under test; this object must outlive it.
    MonotonicClock clock() const
    {
        return [this] { return m_now.load(); };
    }

private:
    std::atomic<std::int64_t> m_now;
};
