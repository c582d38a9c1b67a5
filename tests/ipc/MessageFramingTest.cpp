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
