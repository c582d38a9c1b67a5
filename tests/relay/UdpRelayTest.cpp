#include "relay/UdpRelay.h"

#include "base/SocketHelpers.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
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

TEST(UdpRelaySockets, LoopbackRelayGetsALoopbackBoundSocket)
{
    UdpRelay relay("127.0.0.1", 10808);
    ASSERT_TRUE(relay.setupUdpRelaySocket(htonl(0x7F000001), 40000));
    EXPECT_TRUE(relay.isReady());
    EXPECT_EQ(ntohl(boundAddress(relay.udpSocket()).sin_addr.s_addr), 0x7F000001u);
    EXPECT_EQ(ntohs(relay.relayEndpoint().sin_port), 40000);
    EXPECT_TRUE(fcntl(relay.udpSocket(), F_GETFL) & O_NONBLOCK);

    UdpRelay other("127.0.0.1", 10808);
    ASSERT_TRUE(other.setupUdpRelaySocket(htonl(0x7F010203), 40000));
    EXPECT_EQ(ntohl(boundAddress(other.udpSocket()).sin_addr.s_addr), 0x7F000001u);
}

TEST(UdpRelaySockets, OtherRelayGetsAWildcardBoundSocket)
{
    // Only the socket is made; nothing is sent to that address.
    UdpRelay relay("10.0.0.2", 10808);
    ASSERT_TRUE(relay.setupUdpRelaySocket(htonl(0x0A000002), 40000));
    EXPECT_EQ(boundAddress(relay.udpSocket()).sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(boundAddress(relay.udpSocket()).sin_port, 0);
}

TEST(UdpRelaySockets, ControlSocketIsNonBlockingNoDelayAndBound)
{
    UdpRelay relay("127.0.0.1", 10808);
    ASSERT_TRUE(relay.createUdpControlSocket());
    const int fd = relay.controlSocket();
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_EQ(nodelay, 1);
    EXPECT_NE(boundAddress(fd).sin_port, 0);
    EXPECT_EQ(ntohs(relay.proxySocketAddress().sin_port), 10808);
    relay.closeUdpRelay();
    EXPECT_EQ(relay.controlSocket(), -1);
    EXPECT_EQ(relay.udpSocket(), -1);
    EXPECT_FALSE(relay.isReady());
}

TEST(UdpRelayDatagrams, Ipv4DatagramCarriesTheTenByteHeaderThenPayload)
{
    RelayEndpoint endpoint;
    UdpRelay relay("127.0.0.1", 10808);
    ASSERT_TRUE(relay.setupUdpRelaySocket(htonl(0x7F000001), endpoint.port));
    const Bytes payload = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(relay.sendUdpDatagramIpv4(payload.data(), payload.size(), 0x08080808, 53), 14);
    EXPECT_EQ(endpoint.receive(), (Bytes{0, 0, 0, 1, 8, 8, 8, 8, 0, 53, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(UdpRelayDatagrams, Ipv6DatagramCarriesTheTwentyTwoByteHeaderThenPayload)
{
    RelayEndpoint endpoint;
    UdpRelay relay("127.0.0.1", 10808);
    ASSERT_TRUE(relay.setupUdpRelaySocket(htonl(0x7F000001), endpoint.port));
    std::array<std::uint8_t, 16> dst{};
    dst[0] = 0x20;
    dst[1] = 0x01;
    dst[15] = 0x53;
    const Bytes payload(1000, 0x77);
    EXPECT_EQ(relay.sendUdpDatagramIpv6(payload.data(), payload.size(), dst, 443), 1022);
    const Bytes got = endpoint.receive();
    ASSERT_EQ(got.size(), 1022u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{0, 0, 0, 4}));
    EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 20), Bytes(dst.begin(), dst.end()));
    EXPECT_EQ(got[20], 0x01);
    EXPECT_EQ(got[21], 0xBB);
    EXPECT_EQ(Bytes(got.begin() + 22, got.end()), payload);
}

TEST(UdpRelayDatagrams, SendWithoutSocketFails)
{
    UdpRelay relay("127.0.0.1", 10808);
    const std::uint8_t byte = 1;
    EXPECT_LT(relay.sendUdpDatagramIpv4(&byte, 1, 1, 1), 0);
}

TEST(SocketFactory, OverlappedTcpSocketIsNonBlockingBoundWithLargeBuffers)
{
    const int fd = createOverlappedTcpSocket();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_NE(boundAddress(fd).sin_port, 0);
    int size = 0;
    socklen_t len = sizeof size;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len);
    // The kernel doubles the value it was given; without the privilege to
    // pass the system cap the value is that cap.
    if (geteuid() == 0) {
        EXPECT_GE(size, SocketHelpers::kBufferSize);
    }
    EXPECT_TRUE(SocketHelpers::setNonBlocking(fd, false));
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
    EXPECT_FALSE(SocketHelpers::setNonBlocking(-1, true));
}
