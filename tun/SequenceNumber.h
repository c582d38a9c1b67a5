#pragma once
// TCP sequence numbers compared as serial numbers (RFC 1982): a number lies
// before another when it is less than half the number space behind it, so
// comparisons hold across the wrap at 2^32 (initial sequence numbers are
// random and a long transfer wraps).

#include <cstdint>

namespace SequenceNumber {
constexpr bool before(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b) < 0;
}
constexpr bool beforeOrAt(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b) <= 0;
}
constexpr bool after(std::uint32_t a, std::uint32_t b)
{
    return before(b, a);
}
constexpr bool afterOrAt(std::uint32_t a, std::uint32_t b)
{
    return beforeOrAt(b, a);
}

// Ordering for maps of segments that all lie within one window (far less than
// half the number space), where serial order is a strict weak order.
struct Less {
    constexpr bool operator()(std::uint32_t a, std::uint32_t b) const { return before(a, b); }
};
} // namespace SequenceNumber
