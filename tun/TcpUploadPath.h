#pragma once
// The application's bytes on their way to the proxy, for one user-space TCP
// connection: the receiving half of its TCP endpoint. Segments are taken in
// sequence order (serial arithmetic, RFC 1982) into a buffer of at most 2 MiB;
// segments that arrive ahead of the next expected byte wait in the
// out-of-order map until the gap is filled; the window advertised to the
// application is the room left in the buffer, scaled when its SYN offered
// window scaling (RFC 7323). Bytes leave the buffer once the proxy has taken them.
// Not thread-safe: the connection's mutex guards it.

#include "tun/SequenceNumber.h"
#include "tun/StreamBuffer.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

class TcpUploadPath {
public:
    static constexpr std::size_t kBufferLimit = 0x200000;
    // The smallest shift that carries the whole buffer in the 16-bit window field.
    static constexpr std::uint8_t kWindowScale = [] {
        std::uint8_t shift = 0;
        while ((kBufferLimit >> shift) > 0xFFFF)
            ++shift;
        return shift;
    }();

    enum class Arrival : std::uint8_t {
        None,          // no payload and no FIN: nothing for this half
        InOrder,       // taken at the next expected byte
        OutOfOrder,    // ahead of a gap: kept until the gap is filled
        Duplicate,     // everything in it had been received already
        OutsideWindow, // beyond the window advertised
    };
    enum class Ack : std::uint8_t { None, Delayed, Now };

    struct Result {
        Arrival arrival = Arrival::None;
        Ack ack = Ack::None;
        std::size_t taken = 0;  // bytes that joined the buffer (gap fills included)
        bool trimmed = false;   // bytes beyond the window were dropped
        bool finished = false;  // the application's FIN was taken now
    };

    // The application's SYN: its sequence number and whether windows are scaled.
    void start(std::uint32_t synSequence, bool scaled);

    // One segment's payload and FIN flag at its sequence number.
    Result onSegment(std::uint32_t seq, const std::uint8_t *data, std::size_t length, bool fin);

    // The acknowledgement number: the next byte expected.
    std::uint32_t next() const { return m_next; }
    // Room left in the buffer, in bytes.
    std::size_t window() const;
    // The window field of a segment sent now, and recording that it was sent.
    std::uint16_t windowField() const;
    void noteAdvertised();
    // The window has opened far enough since the last segment sent that the
    // application, which may be waiting for it, must be told.
    bool windowUpdateDue(std::size_t segmentSize) const;
    // A sequence number inside the receive window (an RST there is taken).
    bool inWindow(std::uint32_t seq) const;

    // The proxy side: bytes waiting, a copy of the first ones, and their removal
    // once the proxy has taken them.
    std::size_t buffered() const { return m_buffer.size(); }
    std::size_t peek(std::uint8_t *out, std::size_t length) const { return m_buffer.copyOut(0, out, length); }
    void consume(std::size_t length) { m_buffer.consume(length); }
    bool finReceived() const { return m_finReceived; }
    std::size_t outOfOrderSegments() const { return m_outOfOrder.size(); }
    std::size_t outOfOrderBytes() const { return m_outOfOrderBytes; }

private:
    Result takeInOrder(const std::uint8_t *data, std::size_t length, bool fin);
    Result keepOutOfOrder(std::uint32_t seq, const std::uint8_t *data, std::size_t length, bool fin);
    std::size_t drainOutOfOrder();

    std::uint32_t m_next = 0;
    bool m_scaled = false;
    bool m_finReceived = false;
    std::optional<std::uint32_t> m_finAt; // an early FIN's sequence number
    std::uint32_t m_advertisedEdge = 0;   // right edge of the last window sent
    StreamBuffer m_buffer;
    std::map<std::uint32_t, std::vector<std::uint8_t>, SequenceNumber::Less> m_outOfOrder;
    std::size_t m_outOfOrderBytes = 0;
};
