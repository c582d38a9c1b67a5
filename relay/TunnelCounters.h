#pragma once
// The running totals of one tunnel: payload bytes each way, DNS answers
// delivered from the tunnel's DNS, and packets dropped by reason. Bumped on
// the packet path with relaxed atomic increments (no lock); read whole by
// totals() for the status reply. Each thread counts into a shard of its own
// (a cache line apart from the others), so the reader thread and the workers
// never contend for one line: totals() adds the shards up.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

class TunnelCounters {
public:
    // Each dropped packet is counted once, under the first of these that
    // applies, in this order.
    enum class Drop : std::uint8_t {
        Malformed,           // not parsed as an IPv4 or IPv6 packet
        NotReady,            // a new TCP connection refused while the proxy is not ready
        FilteredDestination, // loopback, multicast, broadcast, link-local
        UnsupportedProtocol, // neither TCP nor UDP
        NoTcpSession,        // a TCP segment of no relay that opens none
        UdpNotRelayed,       // a UDP datagram, either way, that was not relayed
        WriteFailed,         // a packet for an application the device did not take
    };
    static constexpr std::size_t kDropReasons = 7;
    // The reply's names of the reasons, in the order above.
    static constexpr std::array<const char *, kDropReasons> kDropNames = {
        "malformed",      "not-ready",       "filtered-destination", "unsupported-protocol",
        "no-tcp-session", "udp-not-relayed", "write-failed"};
    // Threads beyond this many share shards (still correct, merely contended).
    static constexpr std::size_t kShards = 16;

    struct Totals {
        std::uint64_t bytesUp = 0;
        std::uint64_t bytesDown = 0;
        std::uint64_t dnsAnswered = 0;
        std::array<std::uint64_t, kDropReasons> dropped{};
    };

    void addUp(std::uint64_t bytes) { bump(shard().bytesUp, bytes); }
    void addDown(std::uint64_t bytes) { bump(shard().bytesDown, bytes); }
    void countDnsAnswer() { bump(shard().dnsAnswered, 1); }
    void drop(Drop reason, std::uint64_t packets = 1) { bump(shard().dropped[std::size_t(reason)], packets); }

    Totals totals() const;

private:
    struct alignas(64) Shard {
        std::atomic<std::uint64_t> bytesUp{0};
        std::atomic<std::uint64_t> bytesDown{0};
        std::atomic<std::uint64_t> dnsAnswered{0};
        std::array<std::atomic<std::uint64_t>, kDropReasons> dropped{};
    };

    static void bump(std::atomic<std::uint64_t> &counter, std::uint64_t n)
    {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
    // The calling thread's shard, handed out in turn at its first count.
    Shard &shard() { return m_shards[threadShard()]; }
    static std::size_t threadShard()
    {
        thread_local const std::size_t index = s_nextShard.fetch_add(1, std::memory_order_relaxed) % kShards;
        return index;
    }

    static inline std::atomic<std::size_t> s_nextShard{0};

    std::array<Shard, kShards> m_shards;
};
