#pragma once
// The running totals of one tunnel: payload bytes each way, DNS answers
// delivered from the tunnel's DNS, and packets dropped by reason. Bumped on
// the packet path with relaxed atomic increments (no lock); read whole by
// totals() for the status reply. Each busy counter has a cache line of its
// own, so workers moving bytes the two ways do not contend for one line.

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
        "malformed",    "not-ready",       "filtered-destination", "unsupported-protocol",
        "no-tcp-session", "udp-not-relayed", "write-failed"};

    struct Totals {
        std::uint64_t bytesUp = 0;
        std::uint64_t bytesDown = 0;
        std::uint64_t dnsAnswered = 0;
        std::array<std::uint64_t, kDropReasons> dropped{};
    };

    void addUp(std::uint64_t bytes) { m_bytesUp.value.fetch_add(bytes, std::memory_order_relaxed); }
    void addDown(std::uint64_t bytes) { m_bytesDown.value.fetch_add(bytes, std::memory_order_relaxed); }
    void countDnsAnswer() { m_dnsAnswered.value.fetch_add(1, std::memory_order_relaxed); }
    void drop(Drop reason, std::uint64_t packets = 1)
    {
        m_dropped[std::size_t(reason)].fetch_add(packets, std::memory_order_relaxed);
    }

    Totals totals() const;

private:
    struct alignas(64) Line {
        std::atomic<std::uint64_t> value{0};
    };
    Line m_bytesUp;
    Line m_bytesDown;
    Line m_dnsAnswered;
    alignas(64) std::array<std::atomic<std::uint64_t>, kDropReasons> m_dropped{};
};
