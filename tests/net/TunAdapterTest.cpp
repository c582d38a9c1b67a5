// TunAdapter: naming and identity, the send retry policy on a real full queue, and
// (as root, inside a namespace the test makes) a TUN link that comes up configured,
// carries packets both ways, and disappears when closed.
#include "net/Netlink.h"
#include "net/TunAdapter.h"
#include "tests/support/NetnsFixture.h"
#include "tests/support/LogCapture.h"
#include "packet/PacketCodec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kTunnelIp = 0x0A060701; // 10.6.7.1
constexpr std::uint32_t kPeerIp = 0x0A060702;   // 10.6.7.2, gateway and DNS, not assigned

#define SKIP_UNLESS_ROOT()                                                                                   \
    if (!NetnsFixture::isRoot())                                                                             \
    GTEST_SKIP() << "needs root: creates TUN devices and routes inside its own network namespaces"

std::string readFile(const std::string &path)
{
    FILE *file = std::fopen(path.c_str(), "r");
    if (!file)
        return {};
    char buffer[256] = {};
    const size_t n = std::fread(buffer, 1, sizeof(buffer) - 1, file);
    std::fclose(file);
    return std::string(buffer, n);
}

sockaddr_in address(std::uint32_t ip, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

TEST(TunAdapterIdentity, LongNamesGetAStableHashedInterfaceNameShortNamesStayAsTheyAre)
{
    const auto guid = TunAdapter::deterministicGuid("kest-default-tun");
    // MD5("wintun" "kest-default-tun")
    EXPECT_EQ(guid[0], 0xa9);
    EXPECT_EQ(guid[15], 0x13);
    EXPECT_EQ(TunAdapter::guidText(guid), "{11EEF9A9-2A62-7021-1744-ED7110475E13}");
    EXPECT_EQ(TunAdapter::interfaceNameFor("kest-default-tun"), "kesta9f9ee11622");
    EXPECT_EQ(TunAdapter::interfaceNameFor("kest-default-tun"), TunAdapter::interfaceNameFor("kest-default-tun"));
    EXPECT_NE(TunAdapter::interfaceNameFor("kest-default-tun2"), "kesta9f9ee11622");
    EXPECT_EQ(TunAdapter::interfaceNameFor("kest-tun"), "kest-tun");
    EXPECT_EQ(TunAdapter::interfaceNameFor("exactly15bytes_").size(), 15u);
    EXPECT_EQ(TunAdapter::interfaceNameFor("exactly15bytes_"), "exactly15bytes_");
    EXPECT_NE(TunAdapter::interfaceNameFor("has space"), "has space") << "not a valid interface name";
    EXPECT_EQ(TunAdapter::interfaceNameFor("has space").size(), 15u);
}

TEST(NetlinkBounds, AliasTooLongForTheKernelIsRefusedWithoutWritingPastTheRequest)
{
    Netlink netlink;
    ASSERT_TRUE(netlink.isOpen());
    EXPECT_EQ(netlink.setLinkAlias(1, std::string(Netlink::kMaxAliasBytes, 'a')), EINVAL);
    EXPECT_EQ(netlink.setLinkAlias(1, std::string(100000, 'a')), EINVAL);
}

TEST(TunAdapterFailures, LoadAndOpenReportFailuresWithTheirTexts)
{
    LogCapture log;
    TunAdapter adapter;
    EXPECT_FALSE(adapter.load("/nonexistent/net/tun"));
    EXPECT_TRUE(log.contains("Failed to load TUN device from \"/nonexistent/net/tun\" error: 2")) << log.all();
    EXPECT_FALSE(adapter.openOrCreate("kest-default-tun", TunAdapter::kTunnelType));
    EXPECT_TRUE(log.contains("TUN not initialized"));
    EXPECT_FALSE(adapter.startSession(TunAdapter::kSessionCapacity));
    EXPECT_TRUE(log.contains("Adapter not created"));
    EXPECT_FALSE(adapter.setAddress(kTunnelIp, 30));
    const std::uint8_t packet[20] = {0x45};
    EXPECT_FALSE(adapter.send(packet, sizeof(packet)));
    EXPECT_TRUE(log.contains("[TUN-SEND] No session!"));
}

TEST(TunAdapterSend, FullQueueIsRetriedFiftyTimesThenThePacketIsDropped)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    std::vector<std::uint8_t> filler(65536, 0);
    while (write(fds[1], filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    LogCapture log;
    TunAdapter adapter;
    adapter.attachDescriptorForTests(fds[1]);
    std::vector<std::int64_t> pauses;
    adapter.setRetryPause([&](std::chrono::milliseconds pause) { pauses.push_back(pause.count()); });
    std::vector<std::uint8_t> packet(100, 0x45);
    EXPECT_FALSE(adapter.send(packet.data(), std::uint32_t(packet.size())));
    EXPECT_TRUE(log.contains("[TUN] Send buffer full after 50 retries, dropping packet size= 100")) << log.all();
    // 1 ms after the second attempt, 2 ms after each of the 47 later ones.
    std::vector<std::int64_t> expected(48, 2);
    expected[0] = 1;
    EXPECT_EQ(pauses, expected);

    // Once the queue drains, the next packet goes through at the first attempt.
    std::vector<std::uint8_t> sink(1 << 20);
    while (read(fds[0], sink.data(), sink.size()) > 0) {
    }
    EXPECT_TRUE(adapter.send(packet.data(), std::uint32_t(packet.size())));
    close(fds[0]);
}

TEST(TunAdapterSend, UnrelatedWriteErrorDropsThePacketAtOnce)
{
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    close(fds[1]);
    LogCapture log;
    TunAdapter adapter;
    adapter.attachDescriptorForTests(fds[0]);
    int pauses = 0;
    adapter.setRetryPause([&](std::chrono::milliseconds) { ++pauses; });
    const std::uint8_t packet[40] = {0x45};
    EXPECT_FALSE(adapter.send(packet, sizeof(packet)));
    EXPECT_EQ(pauses, 0) << "waited for an error that does not clear";
    EXPECT_TRUE(log.contains("Failed to allocate send packet: 32")) << log.all();
    EXPECT_FALSE(log.contains("Send buffer full"));
}

TEST(TunAdapterSend, DeviceGoneErrorsAreNotRetried)
{
    // EBADF: a descriptor not open for writing.
    const int readOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    // EIO: a terminal whose other side has gone, as a device that disappeared.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    close(master);
    for (const auto &[fd, code] : {std::pair{readOnly, EBADF}, std::pair{terminal, EIO}}) {
        LogCapture log;
        TunAdapter adapter;
        adapter.attachDescriptorForTests(fd);
        int pauses = 0;
        adapter.setRetryPause([&](std::chrono::milliseconds) { ++pauses; });
        const std::uint8_t packet[40] = {0x45};
        EXPECT_FALSE(adapter.send(packet, sizeof(packet)));
        EXPECT_EQ(pauses, 0) << "waited for a device that is gone";
        EXPECT_TRUE(log.contains("Failed to allocate send packet: " + std::to_string(code))) << log.all();
        EXPECT_FALSE(log.contains("Send buffer full"));
    }
}

TEST(TunAdapterReader, StopReaderJoinsAReaderThatAlreadyLeftItsLoop)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    TunAdapter adapter;
    adapter.attachDescriptorForTests(fds[0]);
    std::atomic<int> packets{0};
    adapter.setPacketHandler([&](std::uint8_t *, std::uint32_t, const PacketOffload &) { ++packets; });
    adapter.startReader();
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    for (int i = 0; i < 200 && packets.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(packets.load(), 1);
    close(fds[1]); // the reader sees the device go away and leaves its loop
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    adapter.stopReader();
    adapter.stopReader(); // no effect when not running
    SUCCEED();
}

// With the offload header, a read is header + packet: the handler gets the
// packet and its metadata; a send puts the header back in front (zeroed for a
// plain packet).
TEST(TunAdapterReader, OffloadHeaderIsSplitFromReadsAndPutInFrontOfSends)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    TunAdapter adapter;
    adapter.attachDescriptorForTests(fds[0], true);
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::uint8_t> packet;
    PacketOffload seen;
    adapter.setPacketHandler([&](std::uint8_t *data, std::uint32_t length, const PacketOffload &offload) {
        std::lock_guard lock(mutex);
        packet.assign(data, data + length);
        seen = offload;
        arrived.notify_all();
    });
    adapter.startReader();
    PacketOffload offload;
    offload.gsoType = PacketOffload::GsoType::TcpV4;
    offload.gsoSize = 1448;
    offload.checksumPartial = true;
    std::uint8_t frame[PacketOffload::kHeaderSize + 3] = {};
    offload.toHeader(frame);
    std::memcpy(frame + PacketOffload::kHeaderSize, "abc", 3);
    ASSERT_EQ(write(fds[1], frame, sizeof frame), ssize_t(sizeof frame));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return !packet.empty(); }));
        EXPECT_EQ(std::string(packet.begin(), packet.end()), "abc");
        EXPECT_EQ(seen.gsoType, PacketOffload::GsoType::TcpV4);
        EXPECT_EQ(seen.gsoSize, 1448);
        EXPECT_TRUE(seen.checksumPartial);
    }
    adapter.stopReader();

    std::uint8_t out[64];
    ASSERT_TRUE(adapter.send(reinterpret_cast<const std::uint8_t *>("xyz"), 3));
    ASSERT_EQ(read(fds[1], out, sizeof out), ssize_t(PacketOffload::kHeaderSize + 3));
    EXPECT_TRUE(PacketOffload::fromHeader(out).isPlain());
    EXPECT_TRUE(std::all_of(out, out + PacketOffload::kHeaderSize, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out) + PacketOffload::kHeaderSize, 3), "xyz");
    ASSERT_TRUE(adapter.send(reinterpret_cast<const std::uint8_t *>("big"), 3, offload));
    ASSERT_EQ(read(fds[1], out, sizeof out), ssize_t(PacketOffload::kHeaderSize + 3));
    EXPECT_EQ(PacketOffload::fromHeader(out).gsoSize, 1448);
    close(fds[1]);
}

// The reader's two ways (io_uring and read after poll): a packet the handler
// rewrites in place goes back whole behind its header, and a packet the
// handler then writes from elsewhere follows it rather than overtaking it.
TEST(TunAdapterReader, PacketsWrittenBackFromTheReaderKeepTheirBytesAndOrder)
{
    for (const bool ring : {true, false}) {
        SCOPED_TRACE(ring ? "io_uring" : "read after poll");
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        TunAdapter adapter;
        adapter.attachDescriptorForTests(fds[0], true);
        adapter.setRingWanted(ring);
        adapter.setPacketHandler([&](std::uint8_t *data, std::uint32_t length, const PacketOffload &offload) {
            for (std::uint32_t i = 0; i < length; ++i)
                data[i] ^= 0xff;
            PacketOffload answer = offload;
            answer.gsoSize = std::uint16_t(offload.gsoSize + 1);
            adapter.send(data, length, answer);
            const std::uint8_t after[3] = {'e', 'n', 'd'};
            adapter.send(after, sizeof after);
        });
        adapter.startReader();
        constexpr int kPackets = 50;
        std::vector<std::uint8_t> frame(PacketOffload::kHeaderSize + 1000);
        for (int n = 0; n < kPackets; ++n) {
            PacketOffload offload;
            offload.gsoType = PacketOffload::GsoType::TcpV4;
            offload.gsoSize = std::uint16_t(1000 + n);
            offload.toHeader(frame.data());
            for (std::size_t i = PacketOffload::kHeaderSize; i < frame.size(); ++i)
                frame[i] = std::uint8_t(n + i);
            ASSERT_EQ(write(fds[1], frame.data(), frame.size()), ssize_t(frame.size()));
        }
        std::vector<std::uint8_t> in(4096);
        auto next = [&] {
            pollfd wait{fds[1], POLLIN, 0};
            if (poll(&wait, 1, 5000) != 1)
                return ssize_t(-1);
            return read(fds[1], in.data(), in.size());
        };
        for (int n = 0; n < kPackets; ++n) {
            ASSERT_EQ(next(), ssize_t(frame.size())) << "packet " << n;
            EXPECT_EQ(PacketOffload::fromHeader(in.data()).gsoSize, 1001 + n);
            bool intact = true;
            for (std::size_t i = PacketOffload::kHeaderSize; i < frame.size(); ++i)
                intact = intact && in[i] == std::uint8_t(~std::uint8_t(n + i));
            EXPECT_TRUE(intact) << "packet " << n;
            ASSERT_EQ(next(), ssize_t(PacketOffload::kHeaderSize + 3)) << "after packet " << n;
            EXPECT_EQ(std::string(reinterpret_cast<char *>(in.data()) + PacketOffload::kHeaderSize, 3), "end");
        }
        EXPECT_EQ(adapter.ringActive(), ring);
        adapter.stopReader();
        EXPECT_FALSE(adapter.ringActive());
        close(fds[1]);
    }
}

class TunAdapterNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_UNLESS_ROOT();
        if (access("/dev/net/tun", R_OK | W_OK) != 0)
            GTEST_SKIP() << "/dev/net/tun is not available";
        m_net = std::make_unique<NetnsFixture>("kttun");
        ASSERT_TRUE(m_net->ok()) << m_net->error();
        setenv("KESTD_RESOLV_CONF", "/nonexistent-kestd-test/resolv.conf", 1);
    }
    void TearDown() override { unsetenv("KESTD_RESOLV_CONF"); }

    // Creates and configures the adapter as the tunnel's start does, on the calling
    // thread, which must be inside namespace a.
    void bringUp(TunAdapter &adapter, const std::string &name = "kest-default-tun")
    {
        ASSERT_TRUE(adapter.load("/dev/net/tun"));
        ASSERT_TRUE(adapter.openOrCreate(name, TunAdapter::kTunnelType));
        ASSERT_TRUE(adapter.setAddress(kTunnelIp, 30));
        ASSERT_TRUE(adapter.setGateway(kPeerIp));
        ASSERT_TRUE(adapter.setMetric(0));
        ASSERT_TRUE(adapter.startSession(TunAdapter::kSessionCapacity));
    }

    std::unique_ptr<NetnsFixture> m_net;
};

TEST_F(TunAdapterNetns, DeviceComesUpWithAddressGatewayMtuAliasAndNoIpv6)
{
    LogCapture log;
    std::string name;
    std::uint32_t index = 0;
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        TunAdapter adapter;
        bringUp(adapter);
        name = adapter.interfaceName();
        index = adapter.interfaceIndex();
        EXPECT_EQ(name, "kesta9f9ee11622");
        EXPECT_EQ(std::uint64_t(index), adapter.luid());
        EXPECT_NE(index, 0u);
        // Starting twice on the same link: address and gateway route exist and succeed.
        EXPECT_TRUE(adapter.setAddress(kTunnelIp, 30));
        EXPECT_TRUE(adapter.setGateway(kPeerIp));

        Netlink netlink;
        const auto link = netlink.link(index);
        ASSERT_TRUE(link.has_value());
        EXPECT_EQ(link->alias, "kest-default-tun");
        // The longest alias the kernel keeps goes through whole.
        const std::string longest(Netlink::kMaxAliasBytes - 1, 'x');
        EXPECT_EQ(netlink.setLinkAlias(index, longest), 0);
        EXPECT_EQ(netlink.link(index)->alias, longest);
        EXPECT_EQ(link->mtu, 1500u);
        EXPECT_TRUE(link->flags & IFF_UP);
        EXPECT_EQ(link->txQueueLength, TunAdapter::kSessionCapacity / 1500);
        EXPECT_EQ(readFile("/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6"), "1\n");
        EXPECT_EQ(readFile("/proc/sys/net/ipv4/conf/" + name + "/forwarding"), "1\n");

        const auto routes = m_net->run(m_net->a(), "ip -4 route show dev " + name);
        EXPECT_NE(routes.output.find("default via 10.6.7.2"), std::string::npos) << routes.output;
        EXPECT_NE(routes.output.find("10.6.7.0/30 proto kernel scope link src 10.6.7.1"), std::string::npos)
            << routes.output;
        const auto v6 = m_net->run(m_net->a(), "ip -6 addr show dev " + name);
        EXPECT_EQ(v6.output, "") << "no IPv6 address on the TUN link";
        const auto v4 = m_net->run(m_net->a(), "ip -4 -o addr show dev " + name);
        EXPECT_NE(v4.output.find("inet 10.6.7.1/30"), std::string::npos) << v4.output;

        adapter.closeAdapter();
        EXPECT_EQ(if_nametoindex(name.c_str()), 0u) << "the link goes away with the device";
    }));
    EXPECT_TRUE(log.contains("Created new TUN adapter: \"kest-default-tun\"")) << log.all();
    EXPECT_TRUE(log.contains("Using deterministic GUID for adapter \"kest-default-tun\" : "
                             "\"{11EEF9A9-2A62-7021-1744-ED7110475E13}\""));
    EXPECT_TRUE(log.contains("Set interface gateway to 10.6.7.2"));
    EXPECT_TRUE(log.contains("[KEST-TUN] ✓ Set interface metric to 0 with ForwardingEnabled and MTU 1500"));
}

TEST_F(TunAdapterNetns, SameNameFindsTheExistingLinkAndABusyOneIsRefusedWithAHint)
{
    LogCapture log;
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        // A link left behind (persistent) is opened again under the same name.
        ASSERT_EQ(m_net->run(m_net->a(), "ip tuntap add dev kesta9f9ee11622 mode tun").exitCode, 0);
        const unsigned before = if_nametoindex("kesta9f9ee11622");
        TunAdapter first;
        ASSERT_TRUE(first.load("/dev/net/tun"));
        ASSERT_TRUE(first.openOrCreate("kest-default-tun", TunAdapter::kTunnelType));
        EXPECT_EQ(first.interfaceIndex(), before);
        EXPECT_TRUE(log.contains("Opened existing TUN adapter: \"kest-default-tun\""));

        TunAdapter second;
        ASSERT_TRUE(second.load("/dev/net/tun"));
        EXPECT_FALSE(second.openOrCreate("kest-default-tun", TunAdapter::kTunnelType));
        EXPECT_TRUE(log.contains("Failed to create adapter \"kest-default-tun\" : 16")) << log.all();
        EXPECT_TRUE(log.contains("  Hint: Delete orphaned adapter via link removal"));
        EXPECT_TRUE(log.contains("  Or run: ip link delete \"kesta9f9ee11622\""));
    }));
}

// With offloads (a plain packet goes out behind a zeroed header) and without.
TEST_F(TunAdapterNetns, PacketSentReachesASocketAndKernelPacketsReachTheHandler)
{
    for (const bool offload : {true, false})
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        TunAdapter adapter;
        adapter.setOffloadWanted(offload);
        bringUp(adapter);
        ASSERT_EQ(adapter.offloadActive(), offload) << "the kernel here takes TUN offloads";
        std::mutex mutex;
        std::vector<std::vector<std::uint8_t>> seen;
        adapter.setPacketHandler([&](std::uint8_t *data, std::uint32_t length, const PacketOffload &) {
            std::lock_guard lock(mutex);
            seen.emplace_back(data, data + length);
        });
        adapter.startReader();

        // Towards the machine: a packet written to the TUN arrives at a local socket.
        const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = address(kTunnelIp, 5555);
        ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr *>(&local), sizeof(local)), 0);
        timeval timeout{2, 0};
        setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        const std::string payload = "through the tunnel";
        const auto packet = buildUdpPacket(kPeerIp, 4444, kTunnelIp, 5555,
                                           reinterpret_cast<const std::uint8_t *>(payload.data()), payload.size());
        ASSERT_TRUE(adapter.send(packet.data(), std::uint32_t(packet.size())));
        char buffer[256];
        sockaddr_in from{};
        socklen_t fromLength = sizeof(from);
        const ssize_t n = recvfrom(receiver, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&from),
                                   &fromLength);
        ASSERT_EQ(n, ssize_t(payload.size())) << "the socket did not receive the packet written to the TUN";
        EXPECT_EQ(std::string(buffer, size_t(n)), payload);
        EXPECT_EQ(ntohl(from.sin_addr.s_addr), kPeerIp);
        EXPECT_EQ(ntohs(from.sin_port), 4444);

        // From the machine: a datagram routed into the TUN arrives at the handler.
        const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in peer = address(kPeerIp, 9999);
        ASSERT_EQ(sendto(sender, "outbound", 8, 0, reinterpret_cast<sockaddr *>(&peer), sizeof(peer)), 8);
        bool found = false;
        for (int i = 0; i < 200 && !found; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard lock(mutex);
            for (const auto &bytes : seen) {
                const PacketInfo info = parsePacket(bytes.data(), bytes.size());
                if (info.valid && info.version == 4 && info.protocol == 17 && info.dstPort == 9999 &&
                    info.dstIp == kPeerIp)
                    found = true;
            }
        }
        EXPECT_TRUE(found) << "the reader's handler did not see the datagram";
        adapter.stopReader();
        std::lock_guard lock(mutex);
        for (const auto &bytes : seen)
            EXPECT_EQ(bytes[0] >> 4, 4) << "only IPv4 reaches the reader (IPv6 is off on the link)";
        close(sender);
        close(receiver);
    }));
}

TEST_F(TunAdapterNetns, ManyThreadsSendAtOnceAndEveryPacketArrives)
{
    ASSERT_TRUE(m_net->runInside(m_net->a(), [&] {
        TunAdapter adapter;
        bringUp(adapter);
        const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 8 << 20;
        setsockopt(receiver, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
        sockaddr_in local = address(kTunnelIp, 6000);
        ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr *>(&local), sizeof(local)), 0);
        constexpr int kThreads = 4;
        constexpr int kPerThread = 500;
        std::atomic<int> failures{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < kThreads; ++t)
            senders.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    const std::uint32_t tag = std::uint32_t(t * kPerThread + i);
                    const auto packet = buildUdpPacket(kPeerIp, std::uint16_t(7000 + t), kTunnelIp, 6000,
                                                       reinterpret_cast<const std::uint8_t *>(&tag), sizeof(tag));
                    if (!adapter.send(packet.data(), std::uint32_t(packet.size())))
                        ++failures;
                }
            });
        for (auto &s : senders)
            s.join();
        EXPECT_EQ(failures.load(), 0);
        std::vector<bool> arrived(kThreads * kPerThread, false);
        timeval timeout{0, 200000};
        setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        std::uint32_t tag = 0;
        int count = 0;
        while (recv(receiver, &tag, sizeof(tag), 0) == sizeof(tag))
            if (tag < arrived.size() && !arrived[tag]) {
                arrived[tag] = true;
                ++count;
            }
        EXPECT_EQ(count, kThreads * kPerThread);
        close(receiver);
    }));
}

} // namespace
