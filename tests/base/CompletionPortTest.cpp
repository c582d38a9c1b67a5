// CompletionPort over real loopback sockets: every operation kind, cancel, close,
// many workers with exactly-once delivery.
#include "base/CompletionPort.h"
#include "tests/support/LoopbackTools.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace {

using Completion = CompletionPort::Completion;
using WaitResult = CompletionPort::WaitResult;

constexpr std::uint64_t kKeyA = 5;
constexpr std::uint64_t kKeyB = 7;

int tcpListener(std::uint16_t &port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    EXPECT_EQ(listen(fd, 128), 0);
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A connected TCP pair made with blocking calls.
std::pair<int, int> tcpPair()
{
    std::uint16_t port = 0;
    const int listener = tcpListener(port);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(port);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return {client, server};
}

// Waits for exactly one completion or fails the test.
Completion waitOne(CompletionPort &port, int timeoutMs = 5000)
{
    Completion completion;
    const WaitResult result = port.wait(timeoutMs, completion);
    EXPECT_EQ(result, WaitResult::Completed) << "no completion arrived in time";
    return completion;
}

void expectNothingMore(CompletionPort &port)
{
    Completion completion;
    EXPECT_EQ(port.wait(50, completion), WaitResult::TimedOut) << "an unexpected extra completion was delivered";
}

class CompletionPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_port.create()) << "errno " << m_port.lastError(); }
    CompletionPort m_port;
};

TEST_F(CompletionPortTest, AcceptDeliversTheNewSocketAndThePeerAddress)
{
    std::uint16_t port = 0;
    const int listener = tcpListener(port);
    ASSERT_EQ(m_port.associate(listener, kKeyB), 0);
    CompletionSlot slot;
    sockaddr_storage peer{};
    ASSERT_EQ(m_port.postAccept(listener, slot, reinterpret_cast<sockaddr *>(&peer), sizeof(peer)), 0);
    EXPECT_TRUE(slot.isBusy());

    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(port);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    getsockname(client, reinterpret_cast<sockaddr *>(&local), &length);

    const Completion completion = waitOne(m_port);
    EXPECT_EQ(completion.key, kKeyB);
    EXPECT_EQ(completion.slot, &slot);
    EXPECT_TRUE(completion.success);
    EXPECT_FALSE(slot.isBusy());
    ASSERT_GE(slot.acceptedSocket(), 0);
    ASSERT_EQ(slot.peerAddressLength(), sizeof(sockaddr_in));
    EXPECT_EQ(reinterpret_cast<sockaddr_in &>(peer).sin_port, local.sin_port) << "peer address is the client's";
    close(slot.acceptedSocket());
    close(client);
    m_port.closeSocket(listener);
}

TEST_F(CompletionPortTest, ConnectSucceedsAndRefusedConnectFailsThroughThePort)
{
    std::uint16_t port = 0;
    const int listener = tcpListener(port);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(m_port.associate(fd, kKeyA), 0);
    CompletionSlot slot;
    sockaddr_in address = loopbackAddress(port);
    ASSERT_EQ(m_port.postConnect(fd, slot, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    Completion completion = waitOne(m_port);
    EXPECT_EQ(completion.slot, &slot);
    EXPECT_TRUE(completion.success) << "error " << completion.error;
    EXPECT_EQ(completion.bytes, 0u);
    m_port.closeSocket(fd);

    close(listener); // nothing listens on that port any more
    const int refused = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(m_port.associate(refused, kKeyA), 0);
    ASSERT_EQ(m_port.postConnect(refused, slot, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0)
        << "a refused connect is reported through the port, not by the post";
    completion = waitOne(m_port);
    EXPECT_EQ(completion.slot, &slot);
    EXPECT_FALSE(completion.success);
    EXPECT_EQ(completion.error, ECONNREFUSED);
    m_port.closeSocket(refused);
    expectNothingMore(m_port);
}

TEST_F(CompletionPortTest, ReceiveAndSendInBothDirectionsReportByteCounts)
{
    auto [a, b] = tcpPair();
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    ASSERT_EQ(m_port.associate(b, kKeyB), 0);
    // Made with blocking calls; a worker must never block on them.
    EXPECT_NE(fcntl(a, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(b, F_GETFL) & O_NONBLOCK, 0);
    std::array<char, 64> bufferA{}, bufferB{};
    CompletionSlot receiveA, receiveB, sendA, sendB;
    ASSERT_EQ(m_port.postReceive(a, receiveA, bufferA.data(), bufferA.size()), 0);
    ASSERT_EQ(m_port.postReceive(b, receiveB, bufferB.data(), bufferB.size()), 0);
    const char hello[] = "hello";
    const char answer[] = "a longer answer";
    ASSERT_EQ(m_port.postSend(a, sendA, hello, 5), 0);
    ASSERT_EQ(m_port.postSend(b, sendB, answer, 15), 0);

    int seen = 0;
    for (int i = 0; i < 4; ++i) {
        const Completion c = waitOne(m_port);
        ASSERT_TRUE(c.success) << "error " << c.error;
        if (c.slot == &sendA) {
            EXPECT_EQ(c.key, kKeyA);
            EXPECT_EQ(c.bytes, 5u);
        } else if (c.slot == &sendB) {
            EXPECT_EQ(c.key, kKeyB);
            EXPECT_EQ(c.bytes, 15u);
        } else if (c.slot == &receiveA) {
            EXPECT_EQ(c.key, kKeyA);
            EXPECT_EQ(std::string(bufferA.data(), c.bytes), "a longer answer");
        } else if (c.slot == &receiveB) {
            EXPECT_EQ(c.key, kKeyB);
            EXPECT_EQ(std::string(bufferB.data(), c.bytes), "hello");
        }
        seen |= c.slot == &sendA ? 1 : c.slot == &sendB ? 2 : c.slot == &receiveA ? 4 : c.slot == &receiveB ? 8 : 0;
    }
    EXPECT_EQ(seen, 15) << "each of the four operations completes once";

    // An orderly close by the peer completes a receive with 0 bytes and success.
    ASSERT_EQ(m_port.postReceive(a, receiveA, bufferA.data(), bufferA.size()), 0);
    shutdown(b, SHUT_WR);
    const Completion eof = waitOne(m_port);
    EXPECT_EQ(eof.slot, &receiveA);
    EXPECT_TRUE(eof.success);
    EXPECT_EQ(eof.bytes, 0u);
    m_port.closeSocket(a);
    m_port.closeSocket(b);
    expectNothingMore(m_port);
}

TEST_F(CompletionPortTest, SocketHandedToAnotherKeyCompletesUnderItFromTheNextPost)
{
    auto [a, b] = tcpPair();
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    std::array<char, 8> buffer{};
    CompletionSlot receive;
    ASSERT_EQ(m_port.postReceive(a, receive, buffer.data(), buffer.size()), 0);
    ASSERT_EQ(m_port.changeKey(a, kKeyB), 0);
    ASSERT_EQ(::send(b, "1", 1, 0), 1);
    EXPECT_EQ(waitOne(m_port).key, kKeyA) << "an operation posted before the change keeps its key";
    ASSERT_EQ(m_port.postReceive(a, receive, buffer.data(), buffer.size()), 0);
    ASSERT_EQ(::send(b, "2", 1, 0), 1);
    EXPECT_EQ(waitOne(m_port).key, kKeyB);
    EXPECT_EQ(m_port.changeKey(b, kKeyA), EBADF) << "a socket never associated was given a key";
    m_port.closeSocket(a);
    close(b);
}

TEST_F(CompletionPortTest, LargeSendCompletesOnlyWhenEveryByteIsWritten)
{
    auto [a, b] = tcpPair();
    int small = 4096;
    setsockopt(a, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    std::vector<char> payload(4 << 20);
    std::iota(payload.begin(), payload.end(), 0);
    CompletionSlot send;
    ASSERT_EQ(m_port.postSend(a, send, payload.data(), payload.size()), 0);

    Completion completion;
    EXPECT_EQ(m_port.wait(100, completion), WaitResult::TimedOut) << "send completed before the peer read";
    std::vector<char> received;
    std::vector<char> chunk(65536);
    std::thread reader([&] {
        while (received.size() < payload.size()) {
            const ssize_t n = recv(b, chunk.data(), chunk.size(), 0);
            if (n <= 0)
                break;
            received.insert(received.end(), chunk.begin(), chunk.begin() + n);
        }
    });
    completion = waitOne(m_port);
    reader.join();
    EXPECT_EQ(completion.slot, &send);
    EXPECT_TRUE(completion.success);
    EXPECT_EQ(completion.bytes, payload.size());
    EXPECT_TRUE(received == payload) << "the bytes arrive complete and in order";
    m_port.closeSocket(a);
    close(b);
}

TEST_F(CompletionPortTest, ReceiveFromAndSendToOnUdpCarryTheAddresses)
{
    const int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = loopbackAddress(0);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&any), sizeof(any)), 0);
    ASSERT_EQ(bind(client, reinterpret_cast<sockaddr *>(&any), sizeof(any)), 0);
    sockaddr_in serverAddress{}, clientAddress{};
    socklen_t length = sizeof(serverAddress);
    getsockname(server, reinterpret_cast<sockaddr *>(&serverAddress), &length);
    length = sizeof(clientAddress);
    getsockname(client, reinterpret_cast<sockaddr *>(&clientAddress), &length);
    ASSERT_EQ(m_port.associate(server, 8), 0);
    ASSERT_EQ(m_port.associate(client, 1), 0);

    std::array<char, 2048> buffer{};
    sockaddr_storage from{};
    CompletionSlot receive, send;
    ASSERT_EQ(m_port.postReceiveFrom(server, receive, buffer.data(), buffer.size(), reinterpret_cast<sockaddr *>(&from),
                                     sizeof(from)),
              0);
    const char datagram[] = "datagram-1";
    ASSERT_EQ(m_port.postSendTo(client, send, datagram, 10, reinterpret_cast<sockaddr *>(&serverAddress),
                                sizeof(serverAddress)),
              0);
    bool gotSend = false, gotReceive = false;
    for (int i = 0; i < 2; ++i) {
        const Completion c = waitOne(m_port);
        ASSERT_TRUE(c.success);
        EXPECT_EQ(c.bytes, 10u);
        if (c.slot == &send) {
            gotSend = true;
            EXPECT_EQ(c.key, 1u);
        } else if (c.slot == &receive) {
            gotReceive = true;
            EXPECT_EQ(c.key, 8u);
            EXPECT_EQ(std::string(buffer.data(), c.bytes), "datagram-1");
            ASSERT_EQ(receive.peerAddressLength(), sizeof(sockaddr_in));
            EXPECT_EQ(reinterpret_cast<sockaddr_in &>(from).sin_port, clientAddress.sin_port);
        }
    }
    EXPECT_TRUE(gotSend && gotReceive);
    m_port.closeSocket(server);
    m_port.closeSocket(client);
}

TEST_F(CompletionPortTest, OperationThatFinishesAtOnceStillCompletesThroughThePort)
{
    auto [a, b] = tcpPair();
    ASSERT_EQ(send(b, "ready", 5, 0), 5);
    pollfd arrived{a, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 5000), 1) << "the bytes must be there before the post";
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    std::array<char, 16> buffer{};
    CompletionSlot slot;
    ASSERT_EQ(m_port.postReceive(a, slot, buffer.data(), buffer.size()), 0);
    EXPECT_TRUE(slot.isBusy()) << "the slot stays the port's until wait() hands it back";
    const Completion c = waitOne(m_port, 0);
    EXPECT_EQ(c.slot, &slot);
    EXPECT_EQ(c.bytes, 5u);
    expectNothingMore(m_port);
    m_port.closeSocket(a);
    close(b);
}

// A serving worker keeps the first completion its posts produce at once; a
// second one still wakes a sleeping waiter, so nothing is left stranded.
TEST_F(CompletionPortTest, ServingWorkerKeepsItsFirstQuickCompletionAndWakesAWaiterForTheNext)
{
    auto [a, b] = tcpPair();
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    std::atomic<bool> sleeping{false};
    Completion woken;
    std::thread waiter([&] {
        sleeping.store(true);
        EXPECT_EQ(m_port.wait(5000, woken), WaitResult::Completed) << "the second completion woke no waiter";
    });
    while (!sleeping.load())
        std::this_thread::yield();
    CompletionSlot first, second;
    {
        CompletionPort::Serving serving(m_port);
        ASSERT_EQ(m_port.postSend(a, first, "x", 1), 0);
        ASSERT_EQ(m_port.postSend(a, second, "y", 1), 0);
    }
    waiter.join();
    const Completion kept = waitOne(m_port, 0);
    EXPECT_NE(kept.slot, woken.slot);
    EXPECT_TRUE((kept.slot == &first || kept.slot == &second) && (woken.slot == &first || woken.slot == &second));
    expectNothingMore(m_port);
    m_port.closeSocket(a);
    close(b);
}

// Work handed over from another thread arrives once, under its key, the slot
// busy until then, and wakes a sleeping waiter.
TEST_F(CompletionPortTest, PostedCompletionArrivesOnceUnderItsKeyAndWakesASleepingWaiter)
{
    CompletionSlot slot;
    ASSERT_EQ(m_port.postCompletion(slot, kKeyB), 0);
    EXPECT_EQ(m_port.postCompletion(slot, kKeyB), EBUSY) << "one operation per slot";
    const Completion first = waitOne(m_port, 0);
    EXPECT_EQ(first.slot, &slot);
    EXPECT_EQ(first.key, kKeyB);
    EXPECT_TRUE(first.success);
    EXPECT_FALSE(slot.isBusy());
    expectNothingMore(m_port);

    std::atomic<bool> sleeping{false};
    Completion woken;
    std::thread waiter([&] {
        sleeping.store(true);
        EXPECT_EQ(m_port.wait(5000, woken), WaitResult::Completed);
    });
    while (!sleeping.load())
        std::this_thread::yield();
    ASSERT_EQ(m_port.postCompletion(slot, kKeyA), 0);
    waiter.join();
    EXPECT_EQ(woken.slot, &slot);
    EXPECT_EQ(woken.key, kKeyA);
    m_port.close();
    EXPECT_EQ(m_port.postCompletion(slot, kKeyB), ESHUTDOWN);
}

TEST_F(CompletionPortTest, MisusedPostsAreRefusedWithoutACompletion)
{
    auto [a, b] = tcpPair();
    std::array<char, 16> buffer{};
    CompletionSlot slot;
    EXPECT_EQ(m_port.postReceive(a, slot, buffer.data(), buffer.size()), EBADF) << "socket not associated";
    EXPECT_FALSE(slot.isBusy());
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    EXPECT_EQ(m_port.associate(a, kKeyA), EEXIST);
    ASSERT_EQ(m_port.postReceive(a, slot, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(m_port.postReceive(a, slot, buffer.data(), buffer.size()), EBUSY) << "one operation per slot";
    EXPECT_TRUE(m_port.cancel(a, slot));
    EXPECT_EQ(waitOne(m_port).error, ECANCELED);
    expectNothingMore(m_port);
    m_port.closeSocket(a);
    close(b);
}

TEST_F(CompletionPortTest, CancelCompletesOnlyThePendingOperationOfThatSlot)
{
    auto [a, b] = tcpPair();
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    std::array<char, 16> first{}, second{};
    CompletionSlot slot1, slot2;
    ASSERT_EQ(m_port.postReceive(a, slot1, first.data(), first.size()), 0);
    ASSERT_EQ(m_port.postReceive(a, slot2, second.data(), second.size()), 0);
    EXPECT_FALSE(m_port.cancel(b, slot1)) << "cancel names socket and slot";
    EXPECT_TRUE(m_port.cancel(a, slot1));
    Completion c = waitOne(m_port);
    EXPECT_EQ(c.slot, &slot1);
    EXPECT_FALSE(c.success);
    EXPECT_EQ(c.error, ECANCELED);
    EXPECT_FALSE(m_port.cancel(a, slot1)) << "nothing is pending on that slot any more";

    ASSERT_EQ(send(b, "xy", 2, 0), 2);
    c = waitOne(m_port);
    EXPECT_EQ(c.slot, &slot2) << "the other receive still works";
    EXPECT_EQ(c.bytes, 2u);

    // cancelAll ends every pending operation of the socket, and only those.
    ASSERT_EQ(m_port.postReceive(a, slot1, first.data(), first.size()), 0);
    ASSERT_EQ(m_port.postReceive(a, slot2, second.data(), second.size()), 0);
    EXPECT_EQ(m_port.cancelAll(a), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(waitOne(m_port).error, ECANCELED);
    EXPECT_EQ(m_port.cancelAll(a), 0);
    expectNothingMore(m_port);
    m_port.closeSocket(a);
    close(b);
}

TEST_F(CompletionPortTest, ClosingASocketCompletesEveryPendingOperationWithFailure)
{
    std::uint16_t port = 0;
    const int listener = tcpListener(port);
    auto [a, b] = tcpPair();
    ASSERT_EQ(m_port.associate(listener, kKeyB), 0);
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    CompletionSlot accept, receive, send;
    std::array<char, 16> buffer{};
    ASSERT_EQ(m_port.postAccept(listener, accept), 0);
    ASSERT_EQ(m_port.postReceive(a, receive, buffer.data(), buffer.size()), 0);
    int small = 4096;
    setsockopt(a, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::vector<char> payload(8 << 20);
    ASSERT_EQ(m_port.postSend(a, send, payload.data(), payload.size()), 0);

    m_port.closeSocket(a);
    m_port.closeSocket(listener);
    int failures = 0;
    for (int i = 0; i < 3; ++i) {
        const Completion c = waitOne(m_port);
        EXPECT_FALSE(c.success);
        EXPECT_EQ(c.error, ECANCELED);
        failures += c.slot == &accept || c.slot == &receive || c.slot == &send;
    }
    EXPECT_EQ(failures, 3);
    expectNothingMore(m_port);
    EXPECT_EQ(m_port.postReceive(a, receive, buffer.data(), buffer.size()), EBADF);
    close(b);
}

TEST_F(CompletionPortTest, ClosedPortWakesEveryWaiter)
{
    constexpr int kWaiters = 6;
    std::atomic<int> closedSeen{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
        waiters.emplace_back([&] {
            Completion c;
            if (m_port.wait(-1, c) == WaitResult::Closed)
                ++closedSeen;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_port.close();
    for (auto &t : waiters)
        t.join(); // a waiter left asleep would hang here
    EXPECT_EQ(closedSeen.load(), kWaiters);
    Completion c;
    EXPECT_EQ(m_port.wait(-1, c), WaitResult::Closed) << "a later wait returns at once";
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_EQ(m_port.associate(fds[0], 1), ESHUTDOWN);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(CompletionPortTest, FourWorkersDeliverThousandsOfConcurrentOperationsExactlyOnce)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
    setrlimit(RLIMIT_NOFILE, &limit);

    constexpr int kPairs = 400; // 800 sockets, 1600 operations in flight
    struct End {
        int fd = -1;
        CompletionSlot receive;
        CompletionSlot send;
        std::array<char, 32> in{};
        std::array<char, 32> out{};
        std::uint32_t outLength = 0;
    };
    std::vector<std::unique_ptr<End>> ends;
    for (int i = 0; i < kPairs; ++i) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        for (int side = 0; side < 2; ++side) {
            auto end = std::make_unique<End>();
            end->fd = fds[side];
            end->outLength = std::uint32_t(snprintf(end->out.data(), end->out.size(), "message %d", 2 * i + side));
            ASSERT_EQ(m_port.associate(end->fd, std::uint64_t(ends.size())), 0);
            ends.push_back(std::move(end));
        }
    }
    const int total = 4 * kPairs;
    std::vector<std::atomic<int>> receiveCount(ends.size()), sendCount(ends.size());
    std::atomic<int> delivered{0};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&] {
            Completion c;
            while (m_port.wait(250, c) != WaitResult::Closed) {
                if (!c.slot)
                    continue;
                End &end = *ends[c.key];
                if (c.slot == &end.receive) {
                    ++receiveCount[c.key];
                    End &peer = *ends[c.key ^ 1];
                    if (!c.success || std::string(end.in.data(), c.bytes) != std::string(peer.out.data(), peer.outLength))
                        ++mismatches;
                } else if (c.slot == &end.send) {
                    ++sendCount[c.key];
                    if (!c.success || c.bytes != end.outLength)
                        ++mismatches;
                } else {
                    ++mismatches;
                }
                c = {};
                ++delivered;
            }
        });
    for (auto &end : ends)
        ASSERT_EQ(m_port.postReceive(end->fd, end->receive, end->in.data(), end->in.size()), 0);
    for (auto &end : ends)
        ASSERT_EQ(m_port.postSend(end->fd, end->send, end->out.data(), end->outLength), 0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered.load() < total && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // room for duplicates to show
    m_port.close();
    for (auto &t : workers)
        t.join();
    EXPECT_EQ(delivered.load(), total);
    EXPECT_EQ(mismatches.load(), 0);
    for (size_t i = 0; i < ends.size(); ++i) {
        EXPECT_EQ(receiveCount[i].load(), 1) << "receive of socket " << i;
        EXPECT_EQ(sendCount[i].load(), 1) << "send of socket " << i;
    }
    for (auto &end : ends)
        m_port.closeSocket(end->fd);
}

TEST_F(CompletionPortTest, SocketClosedWithoutThePortDoesNotStrandTheNextSocketWithThatNumber)
{
    auto [a, b] = tcpPair();
    ASSERT_EQ(m_port.associate(a, kKeyA), 0);
    std::array<char, 16> buffer{};
    CompletionSlot stale, fresh;
    ASSERT_EQ(m_port.postReceive(a, stale, buffer.data(), buffer.size()), 0);
    close(a); // by mistake not through closeSocket()
    close(b);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0); // very likely reuses the number of a
    const int c = pair[0], d = pair[1];
    if (c != a && d != a) {
        m_port.closeSocket(c);
        close(d);
        GTEST_SKIP() << "the kernel did not reuse the socket number";
    }
    const int reused = c == a ? c : d;
    const int other = c == a ? d : c;
    ASSERT_EQ(m_port.associate(reused, kKeyB), 0);
    const Completion orphan = waitOne(m_port);
    EXPECT_EQ(orphan.slot, &stale);
    EXPECT_EQ(orphan.error, ECANCELED);
    ASSERT_EQ(m_port.postReceive(reused, fresh, buffer.data(), buffer.size()), 0);
    ASSERT_EQ(send(other, "z", 1, 0), 1);
    const Completion next = waitOne(m_port);
    EXPECT_EQ(next.slot, &fresh);
    EXPECT_EQ(next.key, kKeyB);
    m_port.closeSocket(reused);
    close(other);
}

} // namespace

TEST(CompletionPortCreate, FailedCreateClosesWhatItOpenedAndALaterCreateStartsAfresh)
{
    const auto openDescriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 4096; ++fd)
            count += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
        return count;
    };
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Below the lowest free descriptor every number is taken: with the limit
    // just above it, the epoll instance is made and the first eventfd is not.
    const int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    const int before = openDescriptors();
    CompletionPort port;
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowest) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const bool first = port.create();
    const int firstError = port.lastError();
    const bool second = port.create();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_FALSE(first);
    EXPECT_EQ(firstError, EMFILE);
    EXPECT_FALSE(second) << "a port whose creation failed is not taken as made";
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(openDescriptors(), before) << "nothing of the failed attempts stays open";

    ASSERT_TRUE(port.create());
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(openDescriptors(), before + 3);
}
