#pragma once
// The tunnel engine's one clock: monotonic time in nanoseconds, for activity
// stamps, lifetimes and deadlines. Not wall-clock time.

#include <chrono>
#include <cstdint>

inline std::int64_t monotonicNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
