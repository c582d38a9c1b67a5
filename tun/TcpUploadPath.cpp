#include "tun/TcpUploadPath.h"

#include <algorithm>

using SequenceNumber::after;
using SequenceNumber::before;
using SequenceNumber::beforeOrAt;

void TcpUploadPath::start(std::uint32_t synSequence, bool scaled)
{
    m_next = synSequence + 1;
    m_scaled = scaled;
    m_advertisedEdge = m_next;
}

std::size_t TcpUploadPath::window() const
{
    return kBufferLimit - std::min(kBufferLimit, m_buffer.size());
}

std::uint16_t TcpUploadPath::windowField() const
{
    const std::size_t room = m_scaled ? window() >> kWindowScale : window();
    return static_cast<std::uint16_t>(std::min<std::size_t>(room, 0xFFFF));
}

void TcpUploadPath::noteAdvertised()
{
    const std::size_t unit = m_scaled ? std::size_t(1) << kWindowScale : 1;
    const std::uint32_t edge = m_next + std::uint32_t(windowField() * unit);
    // A rounded-down field never takes back what an earlier one offered.
    if (after(edge, m_advertisedEdge))
        m_advertisedEdge = edge;
}

bool TcpUploadPath::windowUpdateDue(std::size_t segmentSize) const
{
    const std::size_t unit = m_scaled ? std::size_t(1) << kWindowScale : 1;
    const std::uint32_t edge = m_next + std::uint32_t(windowField() * unit);
    const std::size_t offered = before(m_next, m_advertisedEdge) ? m_advertisedEdge - m_next : 0;
    // Only a sender that may be held back (less than half the buffer offered)
    // needs an update, and only once it is worth two segments (RFC 1122).
    return offered < kBufferLimit / 2 && after(edge, m_advertisedEdge) && edge - m_advertisedEdge >= 2 * segmentSize;
}

bool TcpUploadPath::inWindow(std::uint32_t seq) const
{
    return std::size_t(seq - m_next) < std::max<std::size_t>(window(), 1);
}

TcpUploadPath::Result TcpUploadPath::onSegment(std::uint32_t seq, const std::uint8_t *data, std::size_t length,
                                               bool fin)
{
    Result result;
    if (length == 0 && !fin)
        return result;
    if (m_finReceived) {
        result.arrival = Arrival::Duplicate;
        result.ack = Ack::Now;
        return result;
    }
    if (before(seq, m_next)) {
        // Drop what was received before; a FIN just past it may still be new.
        const std::uint32_t old = m_next - seq;
        if (old > length || (old == length && !fin)) {
            result.arrival = Arrival::Duplicate;
            result.ack = Ack::Now;
            return result;
        }
        data += old;
        length -= old;
        seq = m_next;
    }
    if (seq != m_next)
        return keepOutOfOrder(seq, data, length, fin);
    return takeInOrder(data, length, fin);
}

TcpUploadPath::Result TcpUploadPath::takeInOrder(const std::uint8_t *data, std::size_t length, bool fin)
{
    Result result;
    result.arrival = Arrival::InOrder;
    const std::size_t keep = std::min(length, window());
    if (keep > 0) {
        m_buffer.append(data, keep);
        m_next += std::uint32_t(keep);
    }
    result.taken = keep;
    result.trimmed = keep < length;
    if (fin && !result.trimmed) {
        m_finReceived = true;
        ++m_next;
        result.finished = true;
    }
    const bool hadGap = !m_outOfOrder.empty();
    result.taken += drainOutOfOrder();
    if (!result.finished && m_finAt && *m_finAt == m_next) {
        m_finReceived = true;
        ++m_next;
        result.finished = true;
    }
    // Filling a gap, a FIN or a segment cut by the window is acknowledged at once (RFC 5681).
    result.ack = result.finished || hadGap || result.trimmed ? Ack::Now : Ack::Delayed;
    return result;
}

TcpUploadPath::Result TcpUploadPath::keepOutOfOrder(std::uint32_t seq, const std::uint8_t *data, std::size_t length,
                                                    bool fin)
{
    Result result;
    result.ack = Ack::Now; // a duplicate acknowledgement tells the sender of the gap
    const std::size_t offset = seq - m_next;
    const std::size_t room = window();
    if (offset >= room || m_outOfOrderBytes >= room) {
        result.arrival = Arrival::OutsideWindow;
        return result;
    }
    result.arrival = Arrival::OutOfOrder;
    const std::size_t keep = std::min({length, room - offset, room - m_outOfOrderBytes});
    result.trimmed = keep < length;
    if (fin && !result.trimmed)
        m_finAt = seq + std::uint32_t(length);
    if (keep == 0)
        return result;
    std::vector<std::uint8_t> &stored = m_outOfOrder[seq];
    if (stored.size() < keep) {
        m_outOfOrderBytes += keep - stored.size();
        stored.assign(data, data + keep);
    }
    return result;
}

// Segments kept ahead of a gap that now start at or before the next expected
// byte join the buffer, overlapping ones from where they become new.
std::size_t TcpUploadPath::drainOutOfOrder()
{
    std::size_t taken = 0;
    while (!m_outOfOrder.empty()) {
        auto first = m_outOfOrder.begin();
        if (after(first->first, m_next))
            break;
        std::vector<std::uint8_t> bytes = std::move(first->second);
        const std::uint32_t start = first->first;
        m_outOfOrder.erase(first);
        m_outOfOrderBytes -= bytes.size();
        const std::uint32_t end = start + std::uint32_t(bytes.size());
        if (beforeOrAt(end, m_next))
            continue;
        const std::size_t skip = m_next - start;
        const std::size_t keep = std::min(bytes.size() - skip, window());
        m_buffer.append(bytes.data() + skip, keep);
        m_next += std::uint32_t(keep);
        taken += keep;
        if (keep < bytes.size() - skip)
            break; // the rest comes again from the sender
    }
    return taken;
}
