// Framing of the socket protocol: cutting a byte stream into JSON messages.

#include "ipc/MessageFraming.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

QByteArray frameOf(const QByteArray &payload)
{
    QByteArray f(4, '\0');
    const quint32 n = quint32(payload.size());
    f[0] = char(n >> 24);
    f[1] = char(n >> 16);
    f[2] = char(n >> 8);
    f[3] = char(n);
    return f + payload;
}

// Every payload that the framing yields as an object, in order.
QList<QJsonObject> drain(MessageFraming &framing)
{
    QList<QJsonObject> out;
    QByteArray payload;
    while (framing.takeFrame(payload) == MessageFraming::Next::Frame) {
        if (auto o = MessageFraming::decodePayload(payload))
            out << *o;
    }
    return out;
}

TEST(MessageFraming, EncodesCompactJsonWithBigEndianLength)
{
    const QByteArray frame = MessageFraming::encode(QJsonObject{{"status", "success"}});
    EXPECT_EQ(frame, QByteArray::fromHex("00000014") + "{\"status\":\"success\"}");
    const QByteArray sorted = MessageFraming::encode(QJsonObject{{"status", "success"}, {"request-id", 7}});
    EXPECT_EQ(sorted, QByteArray::fromHex("00000023") + "{\"request-id\":7,\"status\":\"success\"}");
}

TEST(MessageFraming, TwoFramesInOneReadAreBothDeliveredInOrder)
{
    MessageFraming framing;
    framing.append(frameOf("{\"n\":1}") + frameOf("{\"n\":2}"));
    const auto got = drain(framing);
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(got[0].value("n").toInt(), 1);
    EXPECT_EQ(got[1].value("n").toInt(), 2);
    EXPECT_EQ(framing.buffered(), 0);
}

TEST(MessageFraming, FrameSplitAtEveryOffsetIsDeliveredOnceWhenComplete)
{
    const QByteArray stream = frameOf("{\"action\":\"heartbeat\",\"request-id\":\"\xc3\xa9\"}");
    for (qsizetype cut = 1; cut < stream.size(); ++cut) {
        MessageFraming framing;
        framing.append(stream.left(cut));
        EXPECT_TRUE(drain(framing).isEmpty()) << "delivered early at cut " << cut;
        framing.append(stream.mid(cut));
        const auto got = drain(framing);
        ASSERT_EQ(got.size(), 1) << "cut " << cut;
        EXPECT_EQ(got[0].value("request-id").toString(), QString::fromUtf8("\xc3\xa9"));
    }
}

TEST(MessageFraming, ByteByByteStreamOfManyFramesLosesNothing)
{
    QByteArray stream;
    for (int i = 0; i < 50; ++i)
        stream += frameOf(QJsonDocument(QJsonObject{{"i", i}}).toJson(QJsonDocument::Compact));
    MessageFraming framing;
    QList<QJsonObject> got;
    for (char c : stream) {
        framing.append(QByteArray(1, c));
        got += drain(framing);
    }
    ASSERT_EQ(got.size(), 50);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(got[i].value("i").toInt(), i);
}

TEST(MessageFraming, NonObjectsAndEmptyPayloadsAreDroppedAndNextFrameStillRead)
{
    MessageFraming framing;
    framing.append(frameOf("[1,2,3]") + frameOf("") + frameOf("not json") + frameOf("\"text\"")
                   + frameOf("{\"ok\":true}"));
    const auto got = drain(framing);
    ASSERT_EQ(got.size(), 1);
    EXPECT_TRUE(got[0].value("ok").toBool());
}

TEST(MessageFraming, InvalidUtf8AndDeepNestingNeverYieldGarbageObjects)
{
    MessageFraming framing;
    QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
    QByteArray deepObject;
    for (int i = 0; i < 5000; ++i)
        deepObject += "{\"a\":";
    deepObject += "1" + QByteArray(5000, '}');
    framing.append(frameOf(deep) + frameOf(deepObject) + frameOf("{\"s\":\"\xff\xfe\"}") + frameOf("{\"last\":1}"));
    const auto got = drain(framing);
    ASSERT_FALSE(got.isEmpty());
    EXPECT_EQ(got.last().value("last").toInt(), 1);
}

TEST(MessageFraming, DeclaredLengthOverLimitIsRefused)
{
    MessageFraming framing;
    framing.append(QByteArray::fromHex("01000001"));
    QByteArray payload;
    EXPECT_EQ(framing.takeFrame(payload), MessageFraming::Next::TooLong);
    EXPECT_EQ(framing.declaredLength(), 0x01000001u);

    MessageFraming atLimit;
    atLimit.append(QByteArray::fromHex("01000000") + "{");
    EXPECT_EQ(atLimit.takeFrame(payload), MessageFraming::Next::NeedMore);
}

} // namespace

namespace {

// The payload of the reply the daemon builds for a request: the request's id copied.
QByteArray replyTextFor(const QByteArray &request)
{
    const auto decoded = MessageFraming::decodeRequest(request);
    if (!decoded)
        return "undecodable";
    QJsonObject reply{{"status", "success"}};
    if (decoded->contains("request-id"))
        reply.insert("request-id", decoded->value("request-id"));
    return MessageFraming::encode(reply).mid(4);
}

TEST(MessageFraming, MultiFrameStreamCutAnywhereIsDeliveredWholeAndInOrder)
{
    QList<QByteArray> payloads;
    for (int i = 0; i < 40; ++i)
        payloads << QJsonDocument(QJsonObject{{"i", i}, {"pad", QString(i * 37 % 300, 'p')}}).toJson(QJsonDocument::Compact);
    QByteArray stream;
    for (const QByteArray &p : payloads)
        stream += frameOf(p);
    const auto check = [&](const QList<qsizetype> &cuts, const std::string &what) {
        MessageFraming framing;
        QList<QJsonObject> got;
        qsizetype at = 0;
        for (qsizetype cut : cuts) {
            framing.append(stream.mid(at, cut - at));
            got += drain(framing);
            at = cut;
        }
        framing.append(stream.mid(at));
        got += drain(framing);
        ASSERT_EQ(got.size(), payloads.size()) << what;
        for (int i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i].value("i").toInt(), i) << what;
    };
    // A read ends at every byte of the second frame's length, right after
    // the first frame, and everywhere else in the first two frames.
    const qsizetype firstTwo = 8 + payloads[0].size() + payloads[1].size();
    for (qsizetype cut = 1; cut < firstTwo; ++cut)
        check({cut}, "cut at " + std::to_string(cut));
    // Random chunks over the whole stream.
    quint32 seed = 12345;
    for (int round = 0; round < 200; ++round) {
        QList<qsizetype> cuts;
        for (qsizetype at = 0;;) {
            seed = seed * 1103515245u + 12345u;
            at += 1 + (seed >> 16) % 23;
            if (at >= stream.size())
                break;
            cuts << at;
        }
        check(cuts, "round " + std::to_string(round));
    }
}

TEST(MessageFraming, LengthsWithTheTopBitSetAreHugeNotNegative)
{
    for (const char *hex : {"80000000", "ffffffff", "fffffffe"}) {
        MessageFraming framing;
        framing.append(QByteArray::fromHex(hex) + "{}");
        QByteArray payload;
        EXPECT_EQ(framing.takeFrame(payload), MessageFraming::Next::TooLong) << hex;
        EXPECT_EQ(framing.declaredLength(), QByteArray::fromHex(hex).toHex().toUInt(nullptr, 16)) << hex;
    }
}

TEST(MessageFraming, RequestIdComesBackAsItsOriginalText)
{
    const char *unchanged[] = {"1234567890123456789012345678901234567890", "-98765432109876543210987", "1e2",
                               "1.0", "-0", "2.50E+3", "7", "1.5", "\"text\"", "[1,{\"a\":null}]", "null", "true"};
    for (const char *id : unchanged) {
        const QByteArray request = QByteArray("{\"action\":\"heartbeat\",\"request-id\":") + id + "}";
        EXPECT_EQ(replyTextFor(request), QByteArray("{\"request-id\":") + id + ",\"status\":\"success\"}") << id;
    }
    // The key spelt with escapes, whitespace around, a nested namesake, and a
    // repeated key (the parser keeps the last).
    EXPECT_EQ(replyTextFor("{\"request\\u002did\" : 1e400 }"), "undecodable");
    EXPECT_EQ(replyTextFor("{ \"a\":{\"request-id\":5e0}, \"request\\u002did\" :\t12345678901234567890123 }"),
              "{\"request-id\":12345678901234567890123,\"status\":\"success\"}");
    EXPECT_EQ(replyTextFor("{\"request-id\":1e1,\"request-id\":100000000000000000000001}"),
              "{\"request-id\":100000000000000000000001,\"status\":\"success\"}");
    // Small integers stay plain numbers for the daemon's own code.
    EXPECT_EQ(MessageFraming::decodeRequest("{\"request-id\":7}")->value("request-id").toInt(), 7);
    // A client's string cannot pass for a kept number.
    EXPECT_EQ(replyTextFor("{\"request-id\":\"\\u00011:5\"}"), "{\"request-id\":\"\\u00011:5\",\"status\":\"success\"}");
}

} // namespace
