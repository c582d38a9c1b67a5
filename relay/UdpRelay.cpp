#include "relay/UdpRelay.h"

#include "base/LogLimiter.h"
#include "socks5/Socks5Message.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// One relay socket per flow: a failing system would otherwise log every flow.
LogLimiter g_socketLog(10, 1000);
} // namespace

std::vector<std::uint8_t> UdpRelay::buildDatagram(const Endpoint &destination, const std::uint8_t *payload,
                                                  std::size_t length)
{
    std::uint8_t header[Socks5Message::kMaxUdpHeaderLength];
    const std::size_t headerLength = Socks5Message::writeUdpHeader(destination, header);
    std::vector<std::uint8_t> datagram(headerLength + length);
    std::memcpy(datagram.data(), header, headerLength);
    if (length)
        std::memcpy(datagram.data() + headerLength, payload, length);
    return datagram;
}

bool UdpRelay::setupUdpRelaySocket(const Endpoint &relay)
{
    m_relayEndpoint = relay;
    const bool v6 = relay.address.isIpv6();
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        if (g_socketLog.admit())
            qWarning() << "Failed to create UDP socket:" << errno;
        return false;
    }
    IpAddress local;
    if (relay.address.isLoopback())
        local = v6 ? IpAddress::fromIpv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) : IpAddress::fromIpv4(0x7F000001);
    else
        local = v6 ? IpAddress::fromIpv6({}) : IpAddress::fromIpv4(0);
    sockaddr_storage address{};
    const socklen_t length = Endpoint{local, 0}.toSocketAddress(address);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        if (g_socketLog.admit())
            qWarning() << "Failed to bind UDP socket:" << errno;
        ::close(fd);
        return false;
    }
    m_udpSocket = fd;
    return true;
}

ssize_t UdpRelay::sendDatagram(const std::vector<std::uint8_t> &datagram) const
{
    if (m_udpSocket < 0) {
        errno = EBADF;
        return -1;
    }
    sockaddr_storage to{};
    const socklen_t length = m_relayEndpoint.toSocketAddress(to);
    return ::sendto(m_udpSocket, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to),
                    length);
}

std::pair<int, int> UdpRelay::releaseSockets()
{
    return {std::exchange(m_controlSocket, -1), std::exchange(m_udpSocket, -1)};
}
