// A bounded stress run of CompletionPort: workers re-post receives and sends while
// another thread cancels receives at random and the sockets are finally closed with
// operations pending. Every byte sent must arrive exactly once. Also built alone
// under ThreadSanitizer by scripts/test.d/tsan-completion-port.sh.
#include "base/CompletionPort.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kPairs = 32;
constexpr int kWorkers = 4;
constexpr int kMessagesPerEnd = 300;
constexpr std::uint32_t kMessageSize = 700;

struct End {
    int fd = -1;
    CompletionSlot receive;
    CompletionSlot send;
    std::array<char, 4096> in{};
    std::array<char, kMessageSize> out{};
    std::atomic<int> sendsDone{0};
    std::atomic<std::uint64_t> bytesSent{0};
    std::atomic<std::uint64_t> bytesReceived{0};
    std::atomic<int> sendCompletions{0};
};

TEST(CompletionPortStress, CancelsAndClosesUnderLoadLoseAndDuplicateNothing)
{
    CompletionPort port;
    ASSERT_TRUE(port.create());
    std::vector<std::unique_ptr<End>> ends;
    for (int i = 0; i < kPairs; ++i) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        for (int fd : fds) {
            auto end = std::make_unique<End>();
            end->fd = fd;
            end->out.fill(char('a' + ends.size() % 26));
            ASSERT_EQ(port.associate(fd, ends.size()), 0);
            ends.push_back(std::move(end));
        }
    }

    std::atomic<bool> stopping{false};
    std::atomic<int> badCompletions{0};
    std::atomic<long> cancelled{0};
    auto repostReceive = [&](End &end) {
        if (!stopping.load())
            port.postReceive(end.fd, end.receive, end.in.data(), end.in.size());
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w)
        workers.emplace_back([&] {
            CompletionPort::Completion c;
            while (port.wait(100, c) != CompletionPort::WaitResult::Closed) {
                if (!c.slot)
                    continue;
                End &end = *ends[c.key];
                if (c.slot == &end.receive) {
                    if (c.success && c.bytes > 0) {
                        end.bytesReceived += c.bytes;
                        repostReceive(end);
                    } else if (c.error == ECANCELED) {
                        ++cancelled;
                        repostReceive(end);
                    } else if (!stopping.load()) {
                        ++badCompletions;
                    }
                } else if (c.slot == &end.send) {
                    ++end.sendCompletions;
                    if (c.success) {
                        end.bytesSent += c.bytes;
                        if (++end.sendsDone < kMessagesPerEnd && !stopping.load())
                            port.postSend(end.fd, end.send, end.out.data(), end.out.size());
                    } else if (!stopping.load()) {
                        ++badCompletions;
                    }
                } else {
                    ++badCompletions;
                }
                c = {};
            }
        });

    std::thread canceller([&] {
        std::mt19937 random(12345);
        while (!stopping.load()) {
            End &end = *ends[random() % ends.size()];
            port.cancel(end.fd, end.receive);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    for (auto &end : ends)
        ASSERT_EQ(port.postReceive(end->fd, end->receive, end->in.data(), end->in.size()), 0);
    for (auto &end : ends)
        ASSERT_EQ(port.postSend(end->fd, end->send, end->out.data(), end->out.size()), 0);

    const std::uint64_t perEnd = std::uint64_t(kMessagesPerEnd) * kMessageSize;
    auto allArrived = [&] {
        for (size_t i = 0; i < ends.size(); ++i)
            if (ends[i]->bytesSent.load() != perEnd || ends[i ^ 1]->bytesReceived.load() != perEnd)
                return false;
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!allArrived() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool complete = allArrived();

    // Close with receives still pending: they complete with failure, exactly once.
    stopping.store(true);
    canceller.join();
    for (auto &end : ends)
        port.closeSocket(end->fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    port.close();
    for (auto &t : workers)
        t.join();

    EXPECT_TRUE(complete) << "not every byte arrived within the time limit";
    EXPECT_EQ(badCompletions.load(), 0);
    for (size_t i = 0; i < ends.size(); ++i) {
        EXPECT_EQ(ends[i]->bytesReceived.load(), perEnd) << "end " << i << " received a wrong byte count";
        EXPECT_EQ(ends[i]->sendCompletions.load(), kMessagesPerEnd) << "end " << i;
        EXPECT_FALSE(ends[i]->receive.isBusy()) << "the closing receive of end " << i << " was not delivered";
    }
    EXPECT_GT(cancelled.load(), 0) << "the canceller never hit a pending receive";
}

} // namespace
