#pragma once
// The retransmission time-out of one TCP sender (RFC 6298): smoothed round-trip
// time and its variation from the samples the sender takes, the time-out
// derived from them within fixed bounds, and its doubling on every expiry
// (back-off) until a new sample is taken.

#include <cstdint>

class RetransmissionTimer {
public:
    static constexpr std::int64_t kInitialRtoNs = 1'000'000'000;
    // Below the RFC's 1 s, as Linux does: the application's stack is one hop away.
    static constexpr std::int64_t kMinRtoNs = 200'000'000;
    static constexpr std::int64_t kMaxRtoNs = 60'000'000'000;
    // The clock granularity G: the engine's timers fire on a 10 ms tick.
    static constexpr std::int64_t kGranularityNs = 10'000'000;

    // One round-trip measurement, from a segment that was not retransmitted (Karn).
    void addSample(std::int64_t rttNs);
    // Doubles the time-out (up to the maximum) after it expired.
    void backOff();
    // The time-out to arm now, back-off included.
    std::int64_t timeout() const { return m_rto; }
    int backoffs() const { return m_backoffs; }
    bool hasSample() const { return m_hasSample; }
    std::int64_t smoothedRtt() const { return m_srtt; }

private:
    void setTimeout(std::int64_t rto);

    bool m_hasSample = false;
    std::int64_t m_srtt = 0;
    std::int64_t m_rttvar = 0;
    std::int64_t m_rto = kInitialRtoNs;
    int m_backoffs = 0;
};
