#include "relay/UdpRelay.h"

#include "base/SocketHelpers.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::uint32_t kLoopbackNet = 0x7F000000;
constexpr std::uint32_t kLoopbackMask = 0xFF000000;
} // namespace

UdpRelay::UdpRelay(std::string proxyAddress, std::uint16_t socksPort)
    : m_proxyAddress(std::move(proxyAddress)), m_socksPort(socksPort)
{
}

UdpRelay::~UdpRelay()
{
    closeUdpRelay();
}

sockaddr_in UdpRelay::proxySocketAddress() const
{
    return SocketHelpers::ipv4SocketAddress(m_proxyAddress, m_socksPort);
}

bool UdpRelay::createUdpControlSocket()
{
    m_controlSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_controlSocket < 0) {
        const int err = errno;
        qWarning() << "Failed to create TCP socket:" << err;
        closeUdpRelay();
        return false;
    }
    SocketHelpers::setBufferSizes(m_controlSocket);
    const int one = 1;
    setsockopt(m_controlSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (::bind(m_controlSocket, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        const int err = errno;
        qWarning() << "Failed to bind TCP socket:" << err;
        closeUdpRelay();
        return false;
    }
    return true;
}

bool UdpRelay::setupUdpRelaySocket(std::uint32_t relayAddress, std::uint16_t relayPort)
{
    m_relayEndpoint = sockaddr_in{};
    m_relayEndpoint.sin_family = AF_INET;
    m_relayEndpoint.sin_addr.s_addr = relayAddress;
    m_relayEndpoint.sin_port = htons(relayPort);

    if (m_udpSocket >= 0)
        ::close(m_udpSocket);
    m_udpSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_udpSocket < 0) {
        const int err = errno;
        qWarning() << "Failed to create UDP socket:" << err;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if ((ntohl(relayAddress) & kLoopbackMask) == kLoopbackNet)
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_udpSocket, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        const int err = errno;
        qWarning() << "Failed to bind UDP socket:" << err;
        ::close(m_udpSocket);
        m_udpSocket = -1;
        return false;
    }
    m_ready = true;
    return true;
}

ssize_t UdpRelay::sendDatagram(const std::uint8_t *header, std::size_t headerLen,
                               const std::uint8_t *payload, std::size_t length)
{
    if (m_udpSocket < 0) {
        errno = EBADF;
        return -1;
    }
    std::vector<std::uint8_t> datagram(headerLen + length);
    std::memcpy(datagram.data(), header, headerLen);
    if (length)
        std::memcpy(datagram.data() + headerLen, payload, length);
    return ::sendto(m_udpSocket, datagram.data(), datagram.size(), 0,
                    reinterpret_cast<const sockaddr *>(&m_relayEndpoint), sizeof m_relayEndpoint);
}

ssize_t UdpRelay::sendUdpDatagramIpv4(const std::uint8_t *payload, std::size_t length,
                                      std::uint32_t dstIp, std::uint16_t dstPort)
{
    const std::uint8_t header[kIpv4HeaderLen] = {
        0, 0, 0, kAtypIpv4,
        static_cast<std::uint8_t>(dstIp >> 24), static_cast<std::uint8_t>(dstIp >> 16),
        static_cast<std::uint8_t>(dstIp >> 8), static_cast<std::uint8_t>(dstIp),
        static_cast<std::uint8_t>(dstPort >> 8), static_cast<std::uint8_t>(dstPort)};
    return sendDatagram(header, sizeof header, payload, length);
}

ssize_t UdpRelay::sendUdpDatagramIpv6(const std::uint8_t *payload, std::size_t length,
                                      const std::array<std::uint8_t, 16> &dstIp,
                                      std::uint16_t dstPort)
{
    std::uint8_t header[kIpv6HeaderLen] = {0, 0, 0, kAtypIpv6};
    std::memcpy(header + 4, dstIp.data(), 16);
    header[20] = static_cast<std::uint8_t>(dstPort >> 8);
    header[21] = static_cast<std::uint8_t>(dstPort);
    return sendDatagram(header, sizeof header, payload, length);
}

void UdpRelay::closeUdpRelay()
{
    if (m_controlSocket >= 0)
        ::close(m_controlSocket);
    if (m_udpSocket >= 0)
        ::close(m_udpSocket);
    m_controlSocket = -1;
    m_udpSocket = -1;
    m_ready = false;
}
