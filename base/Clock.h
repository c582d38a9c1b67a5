#pragma once
// The tunnel engine's one clock: monotonic time in nanoseconds, for activity
// stamps, lifetimes and deadlines. Not wall-clock time.

#include <chrono>
#include <cstdint>
#include <functional>

inline std::int64_t monotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Where a component reads that time: monotonicNanoseconds, or a clock that a
// test moves by hand to cross a lifetime without waiting for it.
using MonotonicClock = std::function<std::int64_t()>;
