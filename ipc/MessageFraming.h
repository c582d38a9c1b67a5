#pragma once
// Length-prefixed JSON framing shared by the daemon and its clients: a 4-byte
// big-endian payload length followed by one compact UTF-8 JSON document.

#include <QByteArray>
#include <QJsonObject>

#include <cstdint>
#include <optional>

class MessageFraming
{
public:
    // Frames that declare more than this are refused; the peer is cut off.
    static constexpr quint32 kMaxFrameLength = 16u * 1024u * 1024u;

    // The frame of one object: length bytes and compact JSON.
    static QByteArray encode(const QJsonObject &object);

    // Parses a payload; empty when it is not a JSON object.
    static std::optional<QJsonObject> decodePayload(const QByteArray &payload);
    // Parses a request payload as decodePayload does, except that a numeric
    // top-level "request-id" that Qt's numbers would not write back as it was
    // sent (beyond 2^63, an exponent, a trailing zero) is kept as its original
    // text, in a form that encode() writes back as exactly that text.
    static std::optional<QJsonObject> decodeRequest(const QByteArray &payload);

    // Appends received bytes.
    void append(const QByteArray &bytes) { m_buffer.append(bytes); }

    enum class Next { NeedMore, Frame, TooLong };
    // Takes the next whole frame's payload from the buffer when one is there.
    Next takeFrame(QByteArray &payload);

    // The length the pending frame declared (valid after TooLong).
    quint32 declaredLength() const { return m_declared; }
    qsizetype buffered() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
    qsizetype m_offset = 0; // consumed bytes at the front of m_buffer
    quint32 m_declared = 0;
};
