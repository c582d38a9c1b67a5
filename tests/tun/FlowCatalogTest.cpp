#include "tun/FlowCatalog.h"

#include "net/ConnectionOwnerLookup.h"
#include "packet/DnsNameCache.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint16_t kPeerPort = 9;

class ListedFlows : public FlowSource {
public:
    void appendFlows(std::vector<FlowEntry> &flows) const override { flows.insert(flows.end(), entries.begin(), entries.end()); }
    std::vector<FlowEntry> entries;
};

// A UDP socket of this process, connected to loopback port 9; its local port.
int ownUdpSocket(std::uint16_t *port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    address.sin_port = htons(kPeerPort);
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}
} // namespace

// The listing finds the owner of a UDP flow's socket, names the destination
// from the DNS name cache, shows a uid only its own flows, and counts what it
// matched beyond its limit.
TEST(FlowCatalog, OwnerHostUidFilterAndLimit)
{
    DnsNameCache names;
    DnsAnswers answers;
    answers.ipv4[kLoopback] = DnsNameEntry{"peer.test", std::chrono::steady_clock::now() + std::chrono::hours(1)};
    names.insert(answers);
    ConnectionOwnerLookup owners;
    FlowCatalog catalog(names, owners);
    ListedFlows source;
    catalog.addSource(&source);

    std::uint16_t port = 0;
    const int fd = ownUdpSocket(&port);
    auto owned = std::make_shared<FlowStats>();
    owned->addUp(3);
    owned->addDown(4);
    source.entries.push_back(
        FlowEntry{false, Endpoint::fromIpv4(kLoopback, port), Endpoint::fromIpv4(kLoopback, kPeerPort), true, owned});
    // A TCP relay whose owner was not found when it was set up.
    auto unowned = std::make_shared<FlowStats>();
    unowned->setOwner(FlowStats::Owner{});
    source.entries.push_back(
        FlowEntry{true, Endpoint::fromIpv4(kLoopback, 1), Endpoint::fromIpv4(0x01020304, 443), false, unowned});

    const FlowCatalog::Listing all = catalog.list(std::nullopt, 10);
    ASSERT_EQ(all.total, 2u);
    ASSERT_EQ(all.flows.size(), 2u);
    const FlowCatalog::Flow &udp = all.flows[0];
    EXPECT_EQ(udp.process, ConnectionOwnerLookup::processImagePath(std::uint32_t(getpid())));
    EXPECT_EQ(udp.host, "peer.test");
    EXPECT_TRUE(udp.direct);
    EXPECT_EQ(udp.bytesUp, 3u);
    EXPECT_EQ(udp.bytesDown, 4u);
    EXPECT_EQ(all.flows[1].process, "");
    EXPECT_EQ(all.flows[1].host, "");

    const FlowCatalog::Listing mine = catalog.list(std::uint32_t(getuid()), 10);
    ASSERT_EQ(mine.total, 1u) << "a flow without a known owner was shown to a uid";
    EXPECT_EQ(mine.flows[0].source.port, port);
    EXPECT_EQ(catalog.list(std::uint32_t(getuid()) + 1, 10).total, 0u) << "another uid saw this process's flow";

    const FlowCatalog::Listing limited = catalog.list(std::nullopt, 1);
    EXPECT_EQ(limited.total, 2u);
    EXPECT_EQ(limited.flows.size(), 1u);
    ::close(fd);
}
