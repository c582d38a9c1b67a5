#pragma once
// The proxy's bytes on their way to the application, for one user-space TCP
// connection: the sending half of its TCP endpoint. Bytes stay buffered from
// the moment the proxy delivers them until the application acknowledges them;
// what is sent honours the application's advertised window (scaled as its SYN
// said, RFC 7323), its MSS and a congestion window (RFC 5681 with NewReno
// recovery, RFC 6582). Lost segments are sent again on three duplicate
// acknowledgements and on the retransmission time-out (RFC 6298, backed off);
// a zero window is probed. Data unacknowledged through about two minutes of
// time-outs gives the connection up. Sequence numbers compare as serial numbers.
// Not thread-safe: the connection's mutex guards it.

#include "tun/RetransmissionTimer.h"
#include "tun/StreamBuffer.h"

#include <cstddef>
#include <cstdint>

class TcpDownloadPath {
public:
    static constexpr std::uint32_t kInitialWindowSegments = 10; // RFC 6928
    static constexpr int kDuplicateAckThreshold = 3;
    static constexpr std::int64_t kGiveUpNs = 120'000'000'000;
    static constexpr std::size_t kMaxCongestionWindow = 0x4000000; // 64 MiB
    static constexpr std::uint32_t kMaxSegmentSize = 65495;

    // One segment to send: its sequence number, its control flags (SYN, FIN,
    // PSH; every segment carries ACK) and the payload bytes taken from the buffer.
    struct Segment {
        std::uint32_t seq = 0;
        std::uint8_t flags = 0;
        std::size_t length = 0;
        bool retransmission = false;
    };

    enum class AckResult : std::uint8_t {
        Old,       // acknowledges nothing new (or a duplicate not counted)
        Advanced,  // acknowledged new bytes
        Duplicate, // a duplicate acknowledgement was counted
        TooNew,    // acknowledges bytes never sent: answered with an ACK
    };
    enum class TimerResult : std::uint8_t { None, Retransmit, Probe, GiveUp };

    // Our initial sequence number and what the application's SYN said: its
    // sequence number, MSS (0: none, default applies), window and scaling.
    void start(std::uint32_t initialSequence, std::uint32_t peerSynSequence, std::uint16_t peerMss,
               std::uint16_t defaultMss, std::uint16_t peerWindow, int peerWindowScale, std::int64_t now);

    // Bytes from the proxy; the proxy's end of stream, sent as FIN after them.
    void append(const std::uint8_t *data, std::size_t length);
    void finish();

    // The acknowledgement and window of a segment from the application at
    // sequence number segmentSeq; carriesData when it had payload, SYN or FIN.
    AckResult onAck(std::uint32_t ack, std::uint16_t window, std::uint32_t segmentSeq, bool carriesData,
                    std::int64_t now);

    // The next segment that may be sent now; false when none.
    bool nextSegment(Segment &out) const;
    // Where the next segment is new data of a full MSS: the run of such
    // segments that may be sent now, as one segment of whole MSS multiples
    // (the last bytes, with PSH and FIN, included) up to maxLength bytes, for
    // a device that cuts it itself; false when it would be one segment anyway.
    bool nextBurst(Segment &out, std::size_t maxLength) const;
    // Copies a segment's payload.
    std::size_t copyPayload(const Segment &segment, std::uint8_t *out) const;
    // The segment was written.
    void sent(const Segment &segment, std::int64_t now);

    // Timers due by now: retransmission (go back to the first unacknowledged
    // byte), a zero-window probe, or giving up.
    TimerResult onTimer(std::int64_t now);
    // The earliest time a timer is due; 0 when none is armed.
    std::int64_t deadline() const;

    bool synAcknowledged() const { return m_una != m_iss; }
    bool finAcknowledged() const { return m_finQueued && m_una == dataEnd() + 1; }
    bool finished() const { return m_finQueued; }
    // Bytes from the proxy not yet sent once, and their count in segments.
    std::size_t unsentBytes() const;
    std::size_t unsentSegments() const { return (unsentBytes() + m_mss - 1) / m_mss; }
    std::size_t bufferedBytes() const { return m_buffer.size(); }
    std::size_t flightSize() const { return m_nxt - m_una; }
    std::uint32_t nextSequence() const { return m_nxt; }
    std::uint32_t highestSent() const { return m_max; }
    std::uint32_t unacknowledged() const { return m_una; }
    std::uint32_t mss() const { return m_mss; }
    std::size_t sendWindow() const { return m_window; }
    std::size_t congestionWindow() const { return m_cwnd; }
    const RetransmissionTimer &timer() const { return m_timer; }

private:
    std::uint32_t dataEnd() const { return m_dataSeq + std::uint32_t(m_buffer.size()); }
    bool updateWindow(std::uint32_t ack, std::uint16_t window, std::uint32_t segmentSeq);
    AckResult onDuplicateAck();
    void acknowledge(std::uint32_t ack, std::int64_t now);
    void growCongestionWindow(std::size_t acked);
    void enterRecovery();
    void updatePersist(std::int64_t now);

    std::uint32_t m_iss = 0;
    std::uint32_t m_una = 0;     // first unacknowledged sequence number
    std::uint32_t m_nxt = 0;     // next sequence number to send
    std::uint32_t m_max = 0;     // one past the highest sequence number sent
    std::uint32_t m_dataSeq = 0; // sequence number of the buffer's first byte
    StreamBuffer m_buffer;
    bool m_finQueued = false;

    std::uint32_t m_mss = 536;
    int m_peerScale = 0;
    std::size_t m_window = 0;
    std::uint32_t m_wl1 = 0; // sequence and acknowledgement of the segment
    std::uint32_t m_wl2 = 0; // that last set the window (RFC 793)

    std::size_t m_cwnd = 0;
    std::size_t m_ssthresh = kMaxCongestionWindow;
    int m_duplicateAcks = 0;
    bool m_inRecovery = false;
    std::uint32_t m_recover = 0;
    bool m_retransmitFirst = false; // send the first unacknowledged segment again

    RetransmissionTimer m_timer;
    std::int64_t m_rtoDeadline = 0;
    std::int64_t m_firstTimeout = 0; // first expiry without progress since
    bool m_timing = false;
    std::uint32_t m_timedSeq = 0;
    std::int64_t m_timedAt = 0;
    std::int64_t m_persistDeadline = 0;
    int m_persistBackoffs = 0;
    std::int64_t m_lastAckAt = 0;
};
