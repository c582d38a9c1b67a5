// Figures for the tunnel's I/O layer: completions per second through CompletionPort on
// a loopback TCP ping-pong (against plain blocking sockets doing the same), and
// packets per second written with TunAdapter::send and read by its reader thread.
// The TUN part needs root; it runs in a network namespace of its own that disappears
// with the benchmark thread.
#include "net/TunAdapter.h"
#include "base/CompletionPort.h"
#include "packet/PacketCodec.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kMessage = 64;
constexpr auto kRunTime = std::chrono::seconds(2);

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// CPU time of the whole process (all threads), in seconds: a fairer figure than
// wall-clock rates on a machine shared with other work.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::pair<int, int> tcpPair()
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    listen(listener, 1);
    socklen_t length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(client, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return {client, server};
}

// One side of a ping-pong: receive a message, send it back (the client starts).
struct Side {
    int fd = -1;
    CompletionSlot receive;
    CompletionSlot send[2]; // alternate: a send's completion may still be queued
    unsigned next = 0;
    char buffer[kMessage] = {};
    std::uint32_t have = 0;
};

void portPingPong(int pairs, int workers)
{
    CompletionPort port;
    port.create();
    std::vector<std::unique_ptr<Side>> sides;
    for (int i = 0; i < pairs; ++i) {
        auto [c, s] = tcpPair();
        for (int fd : {c, s}) {
            auto side = std::make_unique<Side>();
            side->fd = fd;
            port.associate(fd, sides.size());
            sides.push_back(std::move(side));
        }
    }
    std::atomic<long> completions{0};
    std::atomic<long> roundTrips{0};
    std::atomic<bool> stop{false};
    auto postSend = [&](Side &side) {
        for (;;) {
            CompletionSlot &slot = side.send[side.next++ % 2];
            if (port.postSend(side.fd, slot, side.buffer, kMessage) != EBUSY || workers == 1)
                return;
            std::this_thread::yield(); // another worker is about to hand that slot back
        }
    };
    auto postReceive = [&](Side &side) {
        port.postReceive(side.fd, side.receive, side.buffer + side.have, kMessage - side.have);
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            CompletionPort::Completion c;
            while (port.wait(100, c) != CompletionPort::WaitResult::Closed) {
                if (!c.slot)
                    continue;
                ++completions;
                Side &side = *sides[c.key];
                if (c.slot == &side.receive && c.success && c.bytes > 0) {
                    side.have += c.bytes;
                    if (side.have < kMessage) {
                        postReceive(side);
                    } else {
                        side.have = 0;
                        if (c.key % 2 == 0)
                            ++roundTrips; // the client got its answer
                        if (!stop.load())
                            postSend(side);
                        postReceive(side);
                    }
                }
                c = {};
            }
        });
    for (auto &side : sides)
        postReceive(*side);
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    for (size_t i = 0; i < sides.size(); i += 2)
        postSend(*sides[i]);
    std::this_thread::sleep_for(kRunTime);
    const long doneCompletions = completions.load();
    const long doneTrips = roundTrips.load();
    const double elapsed = seconds(Clock::now() - start);
    const double cpu = cpuSeconds() - cpuStart;
    stop = true;
    for (auto &side : sides)
        port.closeSocket(side->fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port.close();
    for (auto &t : threads)
        t.join();
    std::printf("completion port ping-pong, %2d pair(s), %d worker(s): %9.0f completions/s, %8.0f round trips/s, "
                "%.1f us CPU per round trip\n",
                pairs, workers, doneCompletions / elapsed, doneTrips / elapsed, 1e6 * cpu / doneTrips);
}

void blockingPingPong(int pairs)
{
    std::atomic<bool> stop{false};
    std::atomic<long> roundTrips{0};
    std::vector<std::thread> threads;
    std::vector<int> fds;
    for (int i = 0; i < pairs; ++i) {
        auto [c, s] = tcpPair();
        fds.push_back(c);
        fds.push_back(s);
        threads.emplace_back([&, s] {
            char buffer[kMessage];
            for (;;) {
                std::uint32_t have = 0;
                while (have < kMessage) {
                    const ssize_t n = recv(s, buffer + have, kMessage - have, 0);
                    if (n <= 0)
                        return;
                    have += std::uint32_t(n);
                }
                if (send(s, buffer, kMessage, MSG_NOSIGNAL) != ssize_t(kMessage))
                    return;
            }
        });
        threads.emplace_back([&, c] {
            char buffer[kMessage] = {};
            while (!stop.load()) {
                if (send(c, buffer, kMessage, MSG_NOSIGNAL) != ssize_t(kMessage))
                    return;
                std::uint32_t have = 0;
                while (have < kMessage) {
                    const ssize_t n = recv(c, buffer + have, kMessage - have, 0);
                    if (n <= 0)
                        return;
                    have += std::uint32_t(n);
                }
                ++roundTrips;
            }
        });
    }
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    std::this_thread::sleep_for(kRunTime);
    const long done = roundTrips.load();
    const double elapsed = seconds(Clock::now() - start);
    const double cpu = cpuSeconds() - cpuStart;
    stop = true;
    for (int fd : fds)
        shutdown(fd, SHUT_RDWR);
    for (auto &t : threads)
        t.join();
    for (int fd : fds)
        close(fd);
    std::printf("blocking sockets ping-pong, %2d pair(s), %2d threads:  %9.0f socket ops/s,  %8.0f round trips/s, "
                "%.1f us CPU per round trip\n",
                pairs, 2 * pairs, 4 * done / elapsed, done / elapsed, 1e6 * cpu / done);
}

void tunPacketRates()
{
    if (geteuid() != 0) {
        std::printf("TUN send/read: skipped (needs root)\n");
        return;
    }
    // A thread of its own in a new network namespace: nothing touches the host.
    std::thread([] {
        if (unshare(CLONE_NEWNET) != 0) {
            std::printf("TUN send/read: skipped (no network namespace: %s)\n", std::strerror(errno));
            return;
        }
        TunAdapter adapter;
        constexpr std::uint32_t tunnelIp = 0x0A060701, peerIp = 0x0A060702;
        if (!adapter.load("/dev/net/tun") || !adapter.openOrCreate("kest-bench-tun", TunAdapter::kTunnelType) ||
            !adapter.setAddress(tunnelIp, 30) || !adapter.startSession(TunAdapter::kSessionCapacity)) {
            std::printf("TUN send/read: skipped (no TUN device)\n");
            return;
        }
        // send: packets written to the TUN, drained by a UDP socket on the tunnel address.
        const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 16 << 20;
        setsockopt(receiver, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(tunnelIp);
        local.sin_port = htons(6000);
        bind(receiver, reinterpret_cast<sockaddr *>(&local), sizeof(local));
        std::atomic<long> received{0};
        std::atomic<bool> draining{true};
        std::thread drain([&] {
            char buffer[2048];
            timeval timeout{0, 100000};
            setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
            while (draining.load() || recv(receiver, buffer, sizeof(buffer), MSG_DONTWAIT) > 0)
                if (recv(receiver, buffer, sizeof(buffer), 0) > 0)
                    ++received;
        });
        std::vector<std::uint8_t> payload(512, 0x5a);
        const auto packet = buildUdpPacket(peerIp, 4000, tunnelIp, 6000, payload.data(), payload.size());
        long sent = 0;
        auto start = Clock::now();
        while (Clock::now() - start < kRunTime)
            for (int i = 0; i < 256; ++i)
                sent += adapter.send(packet.data(), std::uint32_t(packet.size()));
        double elapsed = seconds(Clock::now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        draining = false;
        drain.join();
        std::printf("TUN send (%zu-byte UDP packets, 1 thread): %9.0f packets/s written, %ld of %ld received by "
                    "the socket\n",
                    packet.size(), sent / elapsed, received.load(), sent);

        // read: datagrams routed into the TUN, counted by the reader's handler.
        std::atomic<long> read{0};
        adapter.setPacketHandler([&](std::uint8_t *, std::uint32_t, const PacketOffload &) { read.fetch_add(1, std::memory_order_relaxed); });
        adapter.startReader();
        const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = htonl(peerIp);
        peer.sin_port = htons(9000);
        long written = 0;
        start = Clock::now();
        while (Clock::now() - start < kRunTime)
            for (int i = 0; i < 256; ++i)
                written += sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&peer),
                                  sizeof(peer)) > 0;
        elapsed = seconds(Clock::now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        adapter.stopReader();
        std::printf("TUN read (540-byte UDP packets):            %9.0f packets/s read by the handler, %ld of %ld "
                    "sent by the socket\n",
                    read.load() / elapsed, read.load(), written);
        close(sender);
        close(receiver);
    }).join();
}

} // namespace

int main()
{
    setenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false", 1);
    portPingPong(1, 1);
    portPingPong(1, 2);
    portPingPong(16, 2);
    portPingPong(16, 4);
    blockingPingPong(1);
    blockingPingPong(16);
    tunPacketRates();
    return 0;
}
