#include "ipc/MessageFraming.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QtEndian>

#include <cstring>

QByteArray MessageFraming::encode(const QJsonObject &object)
{
    const QByteArray payload = QJsonDocument(object).toJson(QJsonDocument::Compact);
    QByteArray frame(4 + payload.size(), Qt::Uninitialized);
    qToBigEndian<qint32>(qint32(payload.size()), frame.data());
    std::memcpy(frame.data() + 4, payload.constData(), size_t(payload.size()));
    return frame;
}

std::optional<QJsonObject> MessageFraming::decodePayload(const QByteArray &payload)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

MessageFraming::Next MessageFraming::takeFrame(QByteArray &payload)
{
    const qsizetype available = m_buffer.size() - m_offset;
    if (available < 4) {
        if (m_offset > 0) {
            m_buffer.remove(0, m_offset);
            m_offset = 0;
        }
        return Next::NeedMore;
    }
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_offset);
    m_declared = length;
    if (length > kMaxFrameLength)
        return Next::TooLong;
    if (available - 4 < qsizetype(length)) {
        // Keep the partial frame at the front so the buffer does not grow
        // by consumed frames.
        if (m_offset > 0) {
            m_buffer.remove(0, m_offset);
            m_offset = 0;
        }
        return Next::NeedMore;
    }
    payload = m_buffer.mid(m_offset + 4, length);
    m_offset += 4 + qsizetype(length);
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    }
    return Next::Frame;
}
