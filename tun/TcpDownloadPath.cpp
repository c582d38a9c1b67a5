#include "tun/TcpDownloadPath.h"

#include "packet/PacketInfo.h"
#include "tun/SequenceNumber.h"

#include <algorithm>

using SequenceNumber::after;
using SequenceNumber::afterOrAt;
using SequenceNumber::before;
using SequenceNumber::beforeOrAt;

namespace {
constexpr std::uint32_t kMinSegmentSize = 64;
constexpr std::size_t kMinInitialWindow = 14600; // RFC 6928: min(10 MSS, max(2 MSS, 14600))
} // namespace

void TcpDownloadPath::start(std::uint32_t initialSequence, std::uint32_t peerSynSequence, std::uint16_t peerMss,
                            std::uint16_t defaultMss, std::uint16_t peerWindow, int peerWindowScale, std::int64_t now)
{
    m_iss = m_una = m_nxt = m_max = m_recover = initialSequence;
    m_dataSeq = initialSequence + 1;
    m_mss = std::clamp<std::uint32_t>(peerMss != 0 ? peerMss : defaultMss, kMinSegmentSize, kMaxSegmentSize);
    m_peerScale = std::max(peerWindowScale, 0);
    m_window = peerWindow; // a SYN's window is never scaled
    m_wl1 = peerSynSequence;
    m_wl2 = initialSequence;
    m_cwnd = std::min<std::size_t>(kInitialWindowSegments * m_mss, std::max<std::size_t>(2 * m_mss, kMinInitialWindow));
    m_lastAckAt = now;
}

void TcpDownloadPath::append(const std::uint8_t *data, std::size_t length)
{
    if (!m_finQueued)
        m_buffer.append(data, length);
}

void TcpDownloadPath::finish()
{
    m_finQueued = true;
}

std::size_t TcpDownloadPath::unsentBytes() const
{
    const std::uint32_t sentUpTo = after(m_max, m_dataSeq) ? m_max : m_dataSeq;
    return after(dataEnd(), sentUpTo) ? dataEnd() - sentUpTo : 0;
}

TcpDownloadPath::AckResult TcpDownloadPath::onAck(std::uint32_t ack, std::uint16_t window, std::uint32_t segmentSeq,
                                                  bool carriesData, std::int64_t now)
{
    if (before(ack, m_una))
        return AckResult::Old;
    if (after(ack, m_max))
        return AckResult::TooNew;
    m_lastAckAt = now;
    const bool windowChanged = updateWindow(ack, window, segmentSeq);
    AckResult result = AckResult::Old;
    if (ack != m_una) {
        acknowledge(ack, now);
        result = AckResult::Advanced;
    } else if (!carriesData && !windowChanged && m_max != m_una) {
        result = onDuplicateAck();
    }
    updatePersist(now);
    return result;
}

// RFC 793: only a segment newer than the one that last set the window may change it.
bool TcpDownloadPath::updateWindow(std::uint32_t ack, std::uint16_t window, std::uint32_t segmentSeq)
{
    if (!(before(m_wl1, segmentSeq) || (m_wl1 == segmentSeq && beforeOrAt(m_wl2, ack))))
        return false;
    const std::size_t scaled = std::size_t(window) << m_peerScale;
    const bool changed = scaled != m_window;
    m_window = scaled;
    m_wl1 = segmentSeq;
    m_wl2 = ack;
    return changed;
}

TcpDownloadPath::AckResult TcpDownloadPath::onDuplicateAck()
{
    ++m_duplicateAcks;
    if (m_inRecovery) {
        m_cwnd = std::min(m_cwnd + m_mss, kMaxCongestionWindow); // each one is a segment that left the network
    } else if (m_duplicateAcks == kDuplicateAckThreshold && after(m_una, m_recover)) {
        enterRecovery();
    }
    return AckResult::Duplicate;
}

void TcpDownloadPath::enterRecovery()
{
    m_ssthresh = std::max<std::size_t>(flightSize() / 2, 2 * m_mss);
    m_cwnd = m_ssthresh + 3 * m_mss;
    m_inRecovery = true;
    m_recover = m_max;
    m_retransmitFirst = true;
    m_timing = false;
}

void TcpDownloadPath::acknowledge(std::uint32_t ack, std::int64_t now)
{
    std::size_t acked = ack - m_una;
    if (m_una == m_iss)
        --acked; // the SYN's place in the sequence space
    if (after(ack, m_dataSeq)) {
        const std::size_t bytes = std::min<std::size_t>(ack - m_dataSeq, m_buffer.size());
        m_buffer.consume(bytes);
        m_dataSeq += std::uint32_t(bytes);
    }
    m_una = ack;
    if (before(m_nxt, m_una))
        m_nxt = m_una; // first transmissions arriving after a go-back
    if (m_timing && afterOrAt(ack, m_timedSeq)) {
        m_timer.addSample(now - m_timedAt);
        m_timing = false;
    }
    if (!m_inRecovery) {
        growCongestionWindow(acked);
    } else if (afterOrAt(ack, m_recover)) {
        m_inRecovery = false;
        m_cwnd = m_ssthresh;
    } else {
        // A partial acknowledgement: the next hole goes out at once (NewReno).
        m_retransmitFirst = true;
        m_cwnd = (m_cwnd > acked ? m_cwnd - acked : 0) + m_mss;
    }
    m_duplicateAcks = 0;
    m_firstTimeout = 0;
    m_rtoDeadline = m_una == m_max ? 0 : now + m_timer.timeout();
}

void TcpDownloadPath::growCongestionWindow(std::size_t acked)
{
    if (m_cwnd < m_ssthresh)
        m_cwnd += std::min<std::size_t>(acked, 2 * m_mss); // slow start, L = 2 (RFC 3465)
    else
        m_cwnd += std::max<std::size_t>(1, std::size_t(m_mss) * m_mss / m_cwnd);
    m_cwnd = std::min(m_cwnd, kMaxCongestionWindow);
}

bool TcpDownloadPath::nextSegment(Segment &out) const
{
    out = Segment{};
    if (!synAcknowledged()) {
        if (m_nxt != m_iss)
            return false;
        out.seq = m_iss;
        out.flags = PacketInfo::kSyn;
        out.retransmission = m_max != m_iss;
        return true;
    }
    const std::uint32_t end = dataEnd();
    if (m_retransmitFirst) {
        const std::size_t available = after(end, m_una) ? end - m_una : 0;
        out.seq = m_una;
        out.length = std::min<std::size_t>(available, m_mss);
        out.retransmission = true;
        if (out.length == available && m_finQueued && beforeOrAt(m_una, end))
            out.flags |= PacketInfo::kFin;
        return out.length > 0 || out.flags != 0;
    }
    if (before(m_nxt, end)) {
        const std::size_t unsent = end - m_nxt;
        const std::size_t allowed = std::min(m_window, m_cwnd);
        const std::size_t flight = flightSize();
        if (flight >= allowed)
            return false;
        const std::size_t length = std::min({std::size_t(m_mss), unsent, allowed - flight});
        // Sender-side silly window avoidance: a short segment only when it
        // carries the last bytes, or nothing else is in flight (RFC 1122).
        if (length < m_mss && length < unsent && flight > 0)
            return false;
        out.seq = m_nxt;
        out.length = length;
        if (length == unsent)
            out.flags = PacketInfo::kPsh | (m_finQueued ? PacketInfo::kFin : 0);
        out.retransmission = before(m_nxt, m_max);
        return true;
    }
    if (m_finQueued && m_nxt == end) {
        out.seq = end;
        out.flags = PacketInfo::kFin;
        out.retransmission = m_max != end;
        return true;
    }
    return false;
}

bool TcpDownloadPath::nextBurst(Segment &out, std::size_t maxLength) const
{
    if (!synAcknowledged() || m_retransmitFirst || !before(m_nxt, dataEnd()) || !nextSegment(out) ||
        out.length != m_mss)
        return false;
    const std::size_t unsent = dataEnd() - m_nxt;
    const std::size_t room = std::min(m_window, m_cwnd) - flightSize(); // nextSegment checked flight < allowed
    std::size_t length = std::min({unsent, room, maxLength});
    if (length < unsent)
        length -= length % m_mss; // only the stream's last bytes make a short segment
    if (length <= m_mss)
        return false;
    out.length = length;
    out.flags = length == unsent ? std::uint8_t(PacketInfo::kPsh | (m_finQueued ? PacketInfo::kFin : 0)) : 0;
    return true;
}

std::size_t TcpDownloadPath::copyPayload(const Segment &segment, std::uint8_t *out) const
{
    if (segment.length == 0 || before(segment.seq, m_dataSeq))
        return 0;
    return m_buffer.copyOut(segment.seq - m_dataSeq, out, segment.length);
}

void TcpDownloadPath::sent(const Segment &segment, std::int64_t now)
{
    const bool control = segment.flags & (PacketInfo::kSyn | PacketInfo::kFin);
    const std::uint32_t end = segment.seq + std::uint32_t(segment.length) + (control ? 1 : 0);
    if (m_retransmitFirst && segment.seq == m_una)
        m_retransmitFirst = false;
    if (after(end, m_nxt))
        m_nxt = end;
    if (after(m_nxt, m_max))
        m_max = m_nxt;
    if (end != segment.seq) {
        // Karn: a time taken across a retransmission would be ambiguous.
        if (segment.retransmission) {
            m_timing = false;
        } else if (!m_timing) {
            m_timing = true;
            m_timedSeq = end;
            m_timedAt = now;
        }
        if (m_rtoDeadline == 0)
            m_rtoDeadline = now + m_timer.timeout();
    }
    updatePersist(now);
}

TcpDownloadPath::TimerResult TcpDownloadPath::onTimer(std::int64_t now)
{
    if (m_rtoDeadline != 0 && now >= m_rtoDeadline) {
        if (m_firstTimeout == 0)
            m_firstTimeout = now;
        else if (now - m_firstTimeout >= kGiveUpNs)
            return TimerResult::GiveUp;
        // RFC 5681: one segment, then slow start; everything unacknowledged goes again.
        m_ssthresh = std::max<std::size_t>(flightSize() / 2, 2 * m_mss);
        m_cwnd = m_mss;
        m_inRecovery = false;
        m_duplicateAcks = 0;
        m_recover = m_max;
        m_retransmitFirst = false;
        m_nxt = m_una;
        m_timing = false;
        m_timer.backOff();
        m_rtoDeadline = now + m_timer.timeout();
        return TimerResult::Retransmit;
    }
    if (m_persistDeadline != 0 && now >= m_persistDeadline) {
        if (now - m_lastAckAt >= kGiveUpNs)
            return TimerResult::GiveUp;
        m_persistBackoffs = std::min(m_persistBackoffs + 1, 16);
        m_persistDeadline = now + std::min(m_timer.timeout() << m_persistBackoffs, RetransmissionTimer::kMaxRtoNs);
        return TimerResult::Probe;
    }
    return TimerResult::None;
}

// A zero window with bytes waiting and nothing in flight would wait forever
// for a window update that may be lost: it is probed.
void TcpDownloadPath::updatePersist(std::int64_t now)
{
    const bool stalled = synAcknowledged() && m_window == 0 && m_nxt == m_una && before(m_nxt, dataEnd());
    if (!stalled) {
        m_persistDeadline = 0;
        m_persistBackoffs = 0;
    } else if (m_persistDeadline == 0) {
        m_persistDeadline = now + m_timer.timeout();
    }
}

std::int64_t TcpDownloadPath::deadline() const
{
    if (m_rtoDeadline == 0)
        return m_persistDeadline;
    if (m_persistDeadline == 0)
        return m_rtoDeadline;
    return std::min(m_rtoDeadline, m_persistDeadline);
}
