#include "base/LogLimiter.h"

#include "tests/support/LogCapture.h"
#include "packet/PacketCodec.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(LogLimiterCount, FirstOccurrencesOnly)
{
    LogLimiter limiter(3);
    std::vector<std::uint64_t> admitted;
    for (int i = 0; i < 10; ++i)
        admitted.push_back(limiter.admit());
    EXPECT_EQ(admitted, (std::vector<std::uint64_t>{1, 2, 3, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(LogLimiterCount, FirstFiveThenEveryFiftieth)
{
    LogLimiter limiter(5, 50);
    std::vector<std::uint64_t> admitted;
    for (int i = 0; i < 160; ++i)
        if (const auto n = limiter.admit())
            admitted.push_back(n);
    EXPECT_EQ(admitted, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 50, 100, 150}));
}

TEST(LogLimiterCount, ConcurrentOccurrencesAdmitExactlyTheLimit)
{
    LogLimiter limiter(100);
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i)
                if (limiter.admit())
                    ++admitted;
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(admitted, 100);
}

TEST(PacketDiagnostics, SynAckLineNamesOffsetsOptionsAndHexDumpForTheFirstFive)
{
    LogCapture log;
    for (int i = 0; i < 7; ++i)
        buildTcpPacket(0x5DB8D822, 443, 0x0A060701, 40000, 1, 2, PacketInfo::kSynAck, nullptr, 0);
    const int lines = log.count("[TCP-SYN+ACK]");
    if (lines == 0)
        GTEST_SKIP() << "this process already spent the SYN+ACK line budget (run under ctest)";
    EXPECT_EQ(lines, 5);
    EXPECT_TRUE(log.contains("[TCP-SYN+ACK] 93.184.216.34 : 443 -> 10.6.7.1 : 40000 DataOffset: 0x80 "
                             "HeaderLen: 32 bytes Options: 12 bytes HexDump: 01 bb 9c 40 00 00 00 01 "
                             "00 00 00 02 80 12 ff ff"))
        << log.all();
}
