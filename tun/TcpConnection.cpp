#include "tun/TcpConnection.h"

#include "packet/PacketInfo.h"

#include <algorithm>
#include <array>

TcpConnection::TcpConnection(const ConnectionKey &connectionKey) : key(connectionKey) {}

void TcpConnection::acceptSyn(const PacketInfo &syn, std::uint32_t initialSequence, std::int64_t now)
{
    synSequence = syn.seq;
    synOptions = parseTcpOptions(syn);
    const bool v6 = key.family == 6;
    m_offeredMss = synOptions.mss != 0 ? synOptions.mss : (v6 ? kOfferedMssIpv6 : kOfferedMssIpv4);
    upload.start(syn.seq, synOptions.windowScale >= 0);
    download.start(initialSequence, syn.seq, synOptions.mss, v6 ? kDefaultMssIpv6 : kDefaultMssIpv4, tcpWindow(syn),
                   synOptions.windowScale, now);
}

std::size_t TcpConnection::buildSegment(const TcpDownloadPath::Segment &segment, std::uint8_t *out,
                                        std::size_t capacity)
{
    // MSS, and window scaling only when the application's SYN offered it (RFC 7323).
    std::array<std::uint8_t, 8> options = {2, 4, std::uint8_t(m_offeredMss >> 8), std::uint8_t(m_offeredMss), 1, 3, 3,
                                           TcpUploadPath::kWindowScale};
    const bool syn = segment.flags & PacketInfo::kSyn;
    TcpSegmentFields fields;
    fields.source = key.destination();
    fields.destination = key.client();
    fields.seq = segment.seq;
    fields.ack = upload.next();
    fields.flags = std::uint8_t(segment.flags | PacketInfo::kAck);
    // The window of a SYN is never scaled.
    fields.window = syn ? std::uint16_t(std::min<std::size_t>(upload.window(), 0xFFFF)) : upload.windowField();
    if (syn) {
        fields.options = options.data();
        fields.optionsLen = synOptions.windowScale >= 0 ? 8 : 4;
    }
    const std::size_t header = tcpSegmentLength(fields);
    if (header + segment.length > capacity)
        return 0;
    // The payload is copied straight to its place in the packet.
    std::uint8_t *payload = out + header;
    fields.payloadLen = download.copyPayload(segment, payload);
    fields.payload = payload;
    return writeTcpSegment(fields, out, capacity);
}

std::size_t TcpConnection::buildControl(std::uint8_t flags, std::uint32_t seq, std::uint8_t *out,
                                        std::size_t capacity)
{
    TcpSegmentFields fields;
    fields.source = key.destination();
    fields.destination = key.client();
    fields.seq = seq;
    fields.ack = upload.next();
    fields.flags = flags;
    fields.window = upload.windowField();
    return writeTcpSegment(fields, out, capacity);
}

void TcpConnection::acknowledgementSent()
{
    upload.noteAdvertised();
    segmentsUnacknowledged = 0;
    ackDeadline = 0;
}

std::int64_t TcpConnection::nextDeadline() const
{
    const std::int64_t timer = download.deadline();
    if (ackDeadline == 0)
        return timer;
    return timer == 0 ? ackDeadline : std::min(timer, ackDeadline);
}
