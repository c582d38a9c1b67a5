#include "packet/DnsNameCache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes &b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void put32(Bytes &b, std::uint32_t v)
{
    put16(b, static_cast<std::uint16_t>(v >> 16));
    put16(b, static_cast<std::uint16_t>(v));
}

void putName(Bytes &b, const std::string &name)
{
    std::size_t start = 0;
    while (start < name.size()) {
        const std::size_t dot = name.find('.', start);
        const std::size_t end = dot == std::string::npos ? name.size() : dot;
        b.push_back(static_cast<std::uint8_t>(end - start));
        b.insert(b.end(), name.begin() + long(start), name.begin() + long(end));
        start = end + 1;
    }
    b.push_back(0);
}

struct Record {
    std::uint16_t type;
    std::uint32_t ttl;
    Bytes data;
};

// A response to one question for name, with the records' names as pointers
// to the question (offset 12).
Bytes response(const std::string &name, const std::vector<Record> &records, bool qr = true)
{
    Bytes b;
    put16(b, 0x1234);
    put16(b, qr ? 0x8180 : 0x0100);
    put16(b, 1);
    put16(b, static_cast<std::uint16_t>(records.size()));
    put16(b, 0);
    put16(b, 0);
    putName(b, name);
    put16(b, 1);
    put16(b, 1);
    for (const auto &r : records) {
        put16(b, 0xC00C);
        put16(b, r.type);
        put16(b, 1);
        put32(b, r.ttl);
        put16(b, static_cast<std::uint16_t>(r.data.size()));
        b.insert(b.end(), r.data.begin(), r.data.end());
    }
    return b;
}

Record a(std::uint32_t address, std::uint32_t ttl = 300)
{
    Bytes d;
    put32(d, address);
    return {1, ttl, d};
}

Record cname(const std::string &target)
{
    Bytes d;
    putName(d, target);
    return {5, 300, d};
}

} // namespace

TEST(DnsAnswerParse, TwoARecordsBothMapToTheQuestionName)
{
    const Bytes msg = response("example.com", {a(0x5DB8D822), a(0x5DB8D823)});
    const DnsAnswers answers = parseDnsAnswers(msg.data(), msg.size());
    ASSERT_EQ(answers.ipv4.size(), 2u);
    EXPECT_EQ(answers.ipv4.at(0x5DB8D822).name, "example.com");
    EXPECT_EQ(answers.ipv4.at(0x5DB8D823).name, "example.com");
}

TEST(DnsAnswerParse, CnameChainAddressesCarryTheQueriedName)
{
    const Bytes msg = response("www.example.org", {cname("edge.cdn.net"), a(0x01020304)});
    const DnsAnswers answers = parseDnsAnswers(msg.data(), msg.size());
    ASSERT_EQ(answers.ipv4.size(), 1u);
    EXPECT_EQ(answers.ipv4.at(0x01020304).name, "www.example.org");
}

TEST(DnsAnswerParse, AaaaRecordsGoToTheIpv6Map)
{
    Bytes v6(16, 0);
    v6[0] = 0x20;
    v6[1] = 0x01;
    v6[15] = 7;
    const Bytes msg = response("six.example", {{28, 300, v6}, {28, 300, Bytes(4, 1)}, {1, 300, Bytes(16, 1)}});
    const DnsAnswers answers = parseDnsAnswers(msg.data(), msg.size());
    EXPECT_TRUE(answers.ipv4.empty());
    ASSERT_EQ(answers.ipv6.size(), 1u);
    std::array<std::uint8_t, 16> key{};
    std::copy(v6.begin(), v6.end(), key.begin());
    EXPECT_EQ(answers.ipv6.at(key).name, "six.example");
}

TEST(DnsAnswerParse, TtlIsClampedToSixtySecondsAndOneDay)
{
    const auto now = std::chrono::steady_clock::now();
    const Bytes msg = response("t.example", {a(1, 5), a(2, 172800), a(3, 3600)});
    const DnsAnswers answers = parseDnsAnswers(msg.data(), msg.size(), now);
    EXPECT_EQ(answers.ipv4.at(1).expiry - now, std::chrono::seconds(60));
    EXPECT_EQ(answers.ipv4.at(2).expiry - now, std::chrono::seconds(86400));
    EXPECT_EQ(answers.ipv4.at(3).expiry - now, std::chrono::seconds(3600));
}

TEST(DnsAnswerParse, QueriesShortMessagesAndEmptyAnswersGiveNothing)
{
    const Bytes query = response("q.example", {a(1)}, false);
    EXPECT_TRUE(parseDnsAnswers(query.data(), query.size()).empty());
    const Bytes full = response("q.example", {a(1)});
    EXPECT_TRUE(parseDnsAnswers(full.data(), 11).empty());
    const Bytes none = response("q.example", {});
    EXPECT_TRUE(parseDnsAnswers(none.data(), none.size()).empty());
    EXPECT_TRUE(parseDnsAnswers(nullptr, 100).empty());
}

TEST(DnsAnswerParse, LabelLength64AbandonsTheMessage)
{
    Bytes msg = response("abc.example", {a(1)});
    msg[12] = 64;
    EXPECT_TRUE(parseDnsAnswers(msg.data(), msg.size()).empty());
    msg[12] = 191;
    EXPECT_TRUE(parseDnsAnswers(msg.data(), msg.size()).empty());
}

TEST(DnsAnswerParse, TruncatedRecordsStopTheWalkWithoutReadingPast)
{
    const Bytes msg = response("cut.example", {a(1), a(2)});
    // Each A record is 16 bytes (pointer, fixed fields, address); a copy of
    // exactly len bytes makes any read past it visible to the sanitizers.
    for (std::size_t len = 0; len <= msg.size(); ++len) {
        const Bytes cut(msg.begin(), msg.begin() + long(len));
        const DnsAnswers answers = parseDnsAnswers(cut.data(), cut.size());
        const std::size_t expected = len == msg.size() ? 2 : len >= msg.size() - 16 ? 1 : 0;
        EXPECT_EQ(answers.ipv4.size(), expected) << "length " << len;
    }
}

TEST(DnsAnswerParse, CompressedQuestionNameEndsAtThePointer)
{
    Bytes msg = response("x.example", {a(9)});
    // Replace the question name by a pointer: the name read so far is empty,
    // so nothing is recorded.
    Bytes pointer;
    put16(pointer, 0x8180);
    Bytes b(msg.begin(), msg.begin() + 12);
    b.push_back(3);
    b.insert(b.end(), {'w', 'w', 'w'});
    b.push_back(0xC0);
    b.push_back(0x20);
    b.insert(b.end(), msg.begin() + 12 + 11, msg.end());
    const DnsAnswers answers = parseDnsAnswers(b.data(), b.size());
    ASSERT_EQ(answers.ipv4.size(), 1u);
    EXPECT_EQ(answers.ipv4.at(9).name, "www");
}

TEST(DnsAnswerParse, OverlongNamesAndNonHostBytesAreRejected)
{
    // 4 labels of 63 and one of 1: 4*63 + 4 dots + 1 = 257 characters.
    const std::string label63(63, 'a');
    const std::string longName = label63 + "." + label63 + "." + label63 + "." + label63 + ".b";
    const Bytes overlong = response(longName, {a(1)});
    EXPECT_TRUE(parseDnsAnswers(overlong.data(), overlong.size()).empty());
    // 253 characters exactly is still a name.
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'c');
    ASSERT_EQ(name253.size(), 253u);
    const Bytes longest = response(name253, {a(2)});
    const DnsAnswers kept = parseDnsAnswers(longest.data(), longest.size());
    ASSERT_EQ(kept.ipv4.size(), 1u);
    EXPECT_EQ(kept.ipv4.at(2).name, name253);

    const Bytes service = response("_sip._tcp.my-host9.example", {a(3)});
    EXPECT_EQ(parseDnsAnswers(service.data(), service.size()).ipv4.size(), 1u);
    for (const std::string &bad : {std::string("a b.example"), std::string("evil\n.example"),
                                  std::string("x\x01y.example"), std::string("dot\0x.example", 13),
                                  std::string("caf\xc3\xa9.example")}) {
        const Bytes msg = response(bad, {a(4)});
        EXPECT_TRUE(parseDnsAnswers(msg.data(), msg.size()).empty()) << bad;
    }
}

TEST(DnsNameCacheInsert, ExistingEntriesAreNeverOverwritten)
{
    DnsNameCache cache;
    const Bytes first = response("first.example", {a(0x01020304), a(0x01020305)});
    cache.addAnswers(first.data(), first.size());
    const Bytes second = response("second.example", {a(0x01020304, 86400)});
    cache.addAnswers(second.data(), second.size());
    EXPECT_EQ(cache.lookupIpv4(0x01020304), "first.example");
    EXPECT_EQ(cache.lookupIpv4(0x01020305), "first.example");
    EXPECT_EQ(cache.lookupIpv4(0x01020306), "");
    EXPECT_EQ(cache.ipv4Count(), 2u);
}

TEST(DnsNameCacheInsert, ShortPayloadsAreIgnored)
{
    DnsNameCache cache;
    const Bytes msg = response("s.example", {a(1)});
    cache.addAnswers(msg.data(), DnsNameCache::kMinAnswerLength - 1);
    EXPECT_EQ(cache.ipv4Count(), 0u);
}

TEST(DnsNameCacheInsert, FullCacheMakesRoomOnlyFromExpiredEntries)
{
    DnsNameCache cache;
    const auto past = std::chrono::steady_clock::now() - std::chrono::hours(48);
    DnsAnswers old;
    for (std::uint32_t i = 0; i < DnsNameCache::kMaxEntries; ++i)
        old.ipv4.emplace(i + 1, DnsNameEntry{"old", past});
    cache.insert(old);
    ASSERT_EQ(cache.ipv4Count(), DnsNameCache::kMaxEntries);
    const Bytes msg = response("new.example", {a(0xF0000000)});
    cache.addAnswers(msg.data(), msg.size());
    EXPECT_EQ(cache.lookupIpv4(0xF0000000), "new.example");
    EXPECT_EQ(cache.ipv4Count(), 1u);

    DnsAnswers fresh;
    const auto later = std::chrono::steady_clock::now() + std::chrono::hours(1);
    for (std::uint32_t i = 1; i < DnsNameCache::kMaxEntries; ++i)
        fresh.ipv4.emplace(i, DnsNameEntry{"fresh", later});
    cache.insert(fresh);
    ASSERT_EQ(cache.ipv4Count(), DnsNameCache::kMaxEntries);
    const Bytes more = response("more.example", {a(0xF0000001)});
    cache.addAnswers(more.data(), more.size());
    EXPECT_EQ(cache.lookupIpv4(0xF0000001), "");
    EXPECT_EQ(cache.lookupIpv4(0xF0000000), "new.example");
}

TEST(DnsNameCacheExpiry, ExpiredEntriesAreHiddenAndReplacedLiveOnesKept)
{
    DnsNameCache cache;
    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    std::array<std::uint8_t, 16> six{};
    six[0] = 0x20;
    DnsAnswers stale;
    stale.ipv4.emplace(0x0A000001, DnsNameEntry{"old.example", past});
    stale.ipv6.emplace(six, DnsNameEntry{"old.example", past});
    cache.insert(stale);
    EXPECT_EQ(cache.lookupIpv4(0x0A000001), "");
    EXPECT_EQ(cache.lookupIpv6(six), "");

    // The address now answers for another host: the expired entry gives way.
    Bytes v6(six.begin(), six.end());
    const Bytes msg = response("new.example", {a(0x0A000001), {28, 300, v6}});
    cache.addAnswers(msg.data(), msg.size());
    EXPECT_EQ(cache.lookupIpv4(0x0A000001), "new.example");
    EXPECT_EQ(cache.lookupIpv6(six), "new.example");
    EXPECT_EQ(cache.ipv4Count(), 1u);

    // A live entry still keeps its first name.
    const Bytes other = response("other.example", {a(0x0A000001)});
    cache.addAnswers(other.data(), other.size());
    EXPECT_EQ(cache.lookupIpv4(0x0A000001), "new.example");
}
