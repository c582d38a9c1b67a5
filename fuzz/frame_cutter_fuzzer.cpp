// The frame cutter and request decoding on arbitrary bytes. The first byte
// seeds the sizes of the reads the stream is fed in; the frames cut from
// those reads must be exactly the frames cut from the whole stream at once.
// Every decoded request must encode to valid JSON that decodes back to the
// same object (a kept request-id text included).

#include "ipc/MessageFraming.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdlib>

namespace {

QList<QByteArray> cutWhole(const QByteArray &stream)
{
    QList<QByteArray> frames;
    MessageFraming framing;
    framing.append(stream);
    QByteArray payload;
    while (framing.takeFrame(payload) == MessageFraming::Next::Frame)
        frames << payload;
    return frames;
}

QList<QByteArray> cutInReads(const QByteArray &stream, std::uint8_t seed)
{
    QList<QByteArray> frames;
    MessageFraming framing;
    QByteArray payload;
    std::uint32_t state = seed | 1u;
    for (qsizetype at = 0; at < stream.size();) {
        state = state * 1103515245u + 12345u;
        const qsizetype read = 1 + qsizetype((state >> 16) % 9);
        framing.append(stream.mid(at, read));
        at += read;
        MessageFraming::Next next;
        while ((next = framing.takeFrame(payload)) == MessageFraming::Next::Frame) {
            if (payload.size() > qsizetype(MessageFraming::kMaxFrameLength))
                std::abort();
            frames << payload;
        }
        if (next == MessageFraming::Next::TooLong)
            break;
    }
    return frames;
}

void checkRoundTrip(const QByteArray &payload)
{
    const auto request = MessageFraming::decodeRequest(payload);
    if (!request)
        return;
    const QByteArray frame = MessageFraming::encode(*request);
    const QByteArray encoded = frame.mid(4);
    if (frame.size() < 4 || qsizetype(std::uint32_t(std::uint8_t(frame[0])) << 24 | std::uint8_t(frame[1]) << 16
                                      | std::uint8_t(frame[2]) << 8 | std::uint8_t(frame[3]))
                                != encoded.size())
        std::abort(); // the length prefix must be the payload's
    if (!MessageFraming::decodePayload(encoded))
        std::abort(); // what the daemon sends must be JSON
    const auto again = MessageFraming::decodeRequest(encoded);
    if (!again || *again != *request)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QList<QByteArray> whole = cutWhole(stream);
    if (cutInReads(stream, data[0]) != whole)
        std::abort();
    for (const QByteArray &payload : whole)
        checkRoundTrip(payload);
    // The bytes as one payload, as if framed by a client.
    checkRoundTrip(stream);
    return 0;
}
