#include "relay/UdpRelay.h"

#include "base/SocketHelpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

sockaddr_in boundAddress(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return sa;
}

// A UDP socket on loopback standing in for the proxy's relay endpoint.
struct RelayEndpoint {
    RelayEndpoint()
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        port = ntohs(boundAddress(fd).sin_port);
    }
    ~RelayEndpoint() { close(fd); }
    Bytes receive()
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            return {};
        Bytes b(70000);
        const ssize_t n = recv(fd, b.data(), b.size(), 0);
        b.resize(n > 0 ? std::size_t(n) : 0);
        return b;
    }
    int fd;
    std::uint16_t port;
};

} // namespace

// The owner closes the relay's sockets; here, the test.
void closeAll(UdpRelay &relay)
{
    const auto [control, udp] = relay.releaseSockets();
    if (control >= 0)
        close(control);
    if (udp >= 0)
        close(udp);
}

TEST(UdpRelaySockets, LoopbackRelayGetsALoopbackBoundSocketAndAnyOtherAWildcardOne)
{
    UdpRelay relay;
    ASSERT_TRUE(relay.setupUdpRelaySocket(Endpoint::fromIpv4(0x7F000001, 40000)));
    EXPECT_TRUE(relay.isReady());
    EXPECT_EQ(ntohl(boundAddress(relay.udpSocket()).sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(relay.relayEndpoint(), Endpoint::fromIpv4(0x7F000001, 40000));
    EXPECT_TRUE(fcntl(relay.udpSocket(), F_GETFL) & O_NONBLOCK);
    closeAll(relay);
    EXPECT_FALSE(relay.isReady());

    UdpRelay other;
    ASSERT_TRUE(other.setupUdpRelaySocket(Endpoint::fromIpv4(0x7F010203, 40000)));
    EXPECT_EQ(ntohl(boundAddress(other.udpSocket()).sin_addr.s_addr), 0x7F000001u);
    closeAll(other);

    // Only the socket is made; nothing is sent to that address.
    UdpRelay remote;
    ASSERT_TRUE(remote.setupUdpRelaySocket(Endpoint::fromIpv4(0x0A000002, 40000)));
    EXPECT_EQ(boundAddress(remote.udpSocket()).sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(boundAddress(remote.udpSocket()).sin_port, 0);
    closeAll(remote);
}

TEST(UdpRelayDatagrams, Ipv4AndIpv6DestinationsCarryTheirHeaderThenThePayload)
{
    RelayEndpoint endpoint;
    UdpRelay relay;
    ASSERT_TRUE(relay.setupUdpRelaySocket(Endpoint::fromIpv4(0x7F000001, endpoint.port)));
    const Bytes payload = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(relay.sendDatagram(UdpRelay::buildDatagram(Endpoint::fromIpv4(0x08080808, 53), payload.data(),
                                                         payload.size())),
              14);
    EXPECT_EQ(endpoint.receive(), (Bytes{0, 0, 0, 1, 8, 8, 8, 8, 0, 53, 0xDE, 0xAD, 0xBE, 0xEF}));

    IpAddress::Bytes destination{};
    destination[0] = 0x20;
    destination[1] = 0x01;
    destination[15] = 0x53;
    const Bytes large(1000, 0x77);
    EXPECT_EQ(relay.sendDatagram(
                  UdpRelay::buildDatagram(Endpoint{IpAddress::fromIpv6(destination), 443}, large.data(), large.size())),
              1022);
    const Bytes got = endpoint.receive();
    ASSERT_EQ(got.size(), 1022u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{0, 0, 0, 4}));
    EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 20), Bytes(destination.begin(), destination.end()));
    EXPECT_EQ(got[20], 0x01);
    EXPECT_EQ(got[21], 0xBB);
    EXPECT_EQ(Bytes(got.begin() + 22, got.end()), large);
    closeAll(relay);
    EXPECT_LT(relay.sendDatagram(payload), 0) << "a relay without socket sent";
}

TEST(SocketFactory, OverlappedTcpSocketIsNonBlockingWithLargeBuffersForEitherFamily)
{
    for (const int family : {AF_INET, AF_INET6}) {
        const int fd = createOverlappedTcpSocket(family);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        int size = 0;
        socklen_t len = sizeof size;
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len);
        // The kernel doubles the value it was given; without the privilege to
        // pass the system cap the value is that cap.
        if (geteuid() == 0) {
            EXPECT_GE(size, SocketHelpers::kBufferSize);
        }
        close(fd);
    }
}
