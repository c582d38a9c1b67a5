#include "base/LogLimiter.h"

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
