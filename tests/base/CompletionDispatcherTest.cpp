// The completion workers: each completion goes to the handler registered for
// its key, and the periodic work runs as its owners asked.
#include "base/CompletionDispatcher.h"

#include "tests/support/LoopbackTools.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>

TEST(CompletionDispatcher, CompletionGoesToTheHandlerOfItsKeyAndOthersAreDropped)
{
    CompletionPort port;
    ASSERT_TRUE(port.create());
    CompletionDispatcher dispatcher(port);
    CompletionSlot live;
    std::set<std::uint64_t> seen;
    dispatcher.setHandler(CompletionKey::Relay, [&](const CompletionPort::Completion &completion) {
        seen.insert(completion.key);
        return completion.slot == &live; // any other slot belongs to no live record
    });
    CompletionPort::Completion completion;
    completion.key = keyValue(CompletionKey::Relay);
    completion.slot = &live;
    EXPECT_TRUE(dispatcher.dispatch(completion));
    CompletionSlot gone;
    completion.slot = &gone;
    EXPECT_FALSE(dispatcher.dispatch(completion));
    completion.key = keyValue(CompletionKey::UdpNat); // nobody registered for it
    EXPECT_FALSE(dispatcher.dispatch(completion));
    completion.key = 42;
    EXPECT_FALSE(dispatcher.dispatch(completion));
    EXPECT_EQ(seen, std::set<std::uint64_t>{keyValue(CompletionKey::Relay)});
    EXPECT_EQ(dispatcher.handled(), 1u);
    EXPECT_EQ(dispatcher.dropped(), 3u);
}

// Sweeps come with every 100th completion, and without any completion once
// the sweep interval has passed since the last one.
TEST(CompletionDispatcher, HousekeepingRunsWithoutCompletionsAndSweepsOnEveryHundredthCompletionAndOnTime)
{
    CompletionPort port;
    ASSERT_TRUE(port.create());
    ManualClock clock;
    CompletionDispatcher dispatcher(port, clock.clock());
    std::atomic<int> housekeeping{0};
    std::atomic<int> sweeps{0};
    std::atomic<int> handled{0};
    dispatcher.addHousekeeping([&] { ++housekeeping; });
    dispatcher.addIdleSweep([&] { ++sweeps; });
    dispatcher.setHandler(CompletionKey::UdpFlowData, [&](const CompletionPort::Completion &) {
        ++handled;
        return true;
    });
    dispatcher.start(1);
    EXPECT_TRUE(eventually([&] { return housekeeping.load() >= 2; })) << "housekeeping waited for a completion";
    EXPECT_EQ(sweeps.load(), 0) << "swept before the interval had passed";

    // 250 connect completions through the one worker: two sweeps.
    std::uint16_t listenPort = 0;
    const int listener = listenOnLoopback(&listenPort, 512);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(listenPort);
    std::vector<int> sockets;
    std::vector<CompletionSlot> slots(250);
    for (CompletionSlot &slot : slots) {
        sockets.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(port.associate(sockets.back(), keyValue(CompletionKey::UdpFlowData)), 0);
        ASSERT_EQ(port.postConnect(sockets.back(), slot, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    EXPECT_TRUE(eventually([&] { return handled.load() == 250; }));
    EXPECT_EQ(sweeps.load(), 2) << "while the clock stands still only completions count";

    clock.advance(CompletionDispatcher::kIdleSweepIntervalNs - 1);
    const int before = housekeeping.load();
    EXPECT_TRUE(eventually([&] { return housekeeping.load() >= before + 2; }));
    EXPECT_EQ(sweeps.load(), 2) << "swept before the interval had passed";
    clock.advance(1);
    EXPECT_TRUE(eventually([&] { return sweeps.load() == 3; })) << "an idle port was never swept";
    const int after = housekeeping.load();
    EXPECT_TRUE(eventually([&] { return housekeeping.load() >= after + 2; }));
    dispatcher.stop();
    EXPECT_EQ(sweeps.load(), 3) << "swept again within one interval";
    for (int fd : sockets)
        port.closeSocket(fd);
    ::close(listener);
}
