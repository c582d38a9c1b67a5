#include "ipc/MessageFraming.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRandomGenerator>
#include <QtEndian>

#include <cstring>

namespace {

constexpr QLatin1StringView kRequestId("request-id");

// Marks a request id kept as its original text. The random part makes it a
// string no client can send by chance or on purpose.
const QString &keptTextPrefix()
{
    static const QString prefix = QChar(0x1) + QString::number(QRandomGenerator::system()->generate64(), 16)
                                  + QString::number(QRandomGenerator::system()->generate64(), 16) + QChar(':');
    return prefix;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isNumberToken(QByteArrayView t)
{
    qsizetype i = 0;
    const auto digits = [&] {
        const qsizetype from = i;
        while (i < t.size() && isDigit(t[i]))
            ++i;
        return i > from;
    };
    if (i < t.size() && t[i] == '-')
        ++i;
    if (i < t.size() && t[i] == '0')
        ++i;
    else if (!digits())
        return false;
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (!digits())
            return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == t.size();
}

// The scanner below walks JSON text that a parser has already accepted.
qsizetype skipWhitespace(const QByteArray &t, qsizetype i)
{
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r'))
        ++i;
    return i;
}

// The index after the string token that starts at i.
qsizetype skipString(const QByteArray &t, qsizetype i)
{
    for (++i; i < t.size(); ++i) {
        if (t[i] == '\\')
            ++i;
        else if (t[i] == '"')
            return i + 1;
    }
    return t.size();
}

// The index after the value that starts at i; nesting is counted, not recursed.
qsizetype skipValue(const QByteArray &t, qsizetype i)
{
    if (i >= t.size())
        return i;
    if (t[i] == '"')
        return skipString(t, i);
    if (t[i] == '{' || t[i] == '[') {
        qsizetype depth = 0;
        while (i < t.size()) {
            const char c = t[i];
            if (c == '"') {
                i = skipString(t, i);
                continue;
            }
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return i + 1;
            ++i;
        }
        return i;
    }
    while (i < t.size() && t[i] != ',' && t[i] != '}' && t[i] != ']' && t[i] != ' ' && t[i] != '\t'
           && t[i] != '\n' && t[i] != '\r')
        ++i;
    return i;
}

// Whether the string token [begin, end) spells the ASCII key, escapes decoded.
bool spellsKey(const QByteArray &t, qsizetype begin, qsizetype end, QLatin1StringView key)
{
    QString decoded;
    for (qsizetype i = begin + 1; i < end - 1 && decoded.size() <= key.size(); ++i) {
        const char c = t[i];
        if (uchar(c) >= 0x80)
            return false; // non-ASCII text spells no ASCII key
        if (c != '\\') {
            decoded += QLatin1Char(c);
            continue;
        }
        // The key has no quote, backslash or slash: only \uXXXX can spell one of its characters.
        if (i + 5 > end - 2 || t[i + 1] != 'u')
            return false;
        bool ok = false;
        const ushort unit = t.mid(i + 2, 4).toUShort(&ok, 16);
        if (!ok)
            return false;
        decoded += QChar(unit);
        i += 5;
    }
    return decoded == key;
}

struct Span {
    qsizetype begin = -1;
    qsizetype end = -1;
};

// Where the value of the last top-level member of that name lies in the text
// of a JSON object (the parser keeps the last of duplicate names too).
Span topLevelMember(const QByteArray &t, QLatin1StringView key)
{
    Span found;
    qsizetype i = skipWhitespace(t, 0);
    if (i >= t.size() || t[i] != '{')
        return found;
    i = skipWhitespace(t, i + 1);
    while (i < t.size() && t[i] == '"') {
        const qsizetype keyEnd = skipString(t, i);
        const bool match = spellsKey(t, i, keyEnd, key);
        i = skipWhitespace(t, keyEnd);
        if (i >= t.size() || t[i] != ':')
            break;
        const qsizetype valueBegin = skipWhitespace(t, i + 1);
        const qsizetype valueEnd = skipValue(t, valueBegin);
        if (match)
            found = {valueBegin, valueEnd};
        i = skipWhitespace(t, valueEnd);
        if (i < t.size() && t[i] == ',')
            i = skipWhitespace(t, i + 1);
    }
    return found;
}

QByteArray compactNumber(const QJsonValue &number)
{
    const QByteArray text = QJsonDocument(QJsonArray{number}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

// The original text of a request id that decodeRequest kept, if this is one.
std::optional<QByteArray> keptRequestIdText(const QJsonObject &object)
{
    const QJsonValue id = object.value(kRequestId);
    if (!id.isString())
        return std::nullopt;
    const QString text = id.toString();
    if (!text.startsWith(keptTextPrefix()))
        return std::nullopt;
    const QByteArray number = text.mid(keptTextPrefix().size()).toLatin1();
    return isNumberToken(number) ? std::optional(number) : std::nullopt;
}

} // namespace

QByteArray MessageFraming::encode(const QJsonObject &object)
{
    QByteArray payload = QJsonDocument(object).toJson(QJsonDocument::Compact);
    if (const auto kept = keptRequestIdText(object)) {
        const Span span = topLevelMember(payload, kRequestId);
        if (span.begin >= 0)
            payload.replace(span.begin, span.end - span.begin, *kept);
    }
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

std::optional<QJsonObject> MessageFraming::decodeRequest(const QByteArray &payload)
{
    auto object = decodePayload(payload);
    if (!object)
        return object;
    const QJsonValue id = object->value(kRequestId);
    if (!id.isDouble())
        return object;
    const Span span = topLevelMember(payload, kRequestId);
    if (span.begin < 0)
        return object;
    const QByteArray text = payload.sliced(span.begin, span.end - span.begin);
    if (!isNumberToken(text) || compactNumber(id) == text)
        return object;
    // Only the text of the very number that was parsed is kept.
    if (QJsonDocument::fromJson("[" + text + "]").array().at(0) != id)
        return object;
    object->insert(kRequestId, keptTextPrefix() + QString::fromLatin1(text));
    return object;
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
