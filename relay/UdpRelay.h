#pragma once
// The sockets of one SOCKS5 UDP ASSOCIATE relay: the control TCP connection
// that keeps the association alive and the UDP socket that exchanges datagrams
// with the relay endpoint. Both are non-blocking, for the completion port.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include <netinet/in.h>

class UdpRelay {
public:
    static constexpr std::size_t kIpv4HeaderLen = 10;
    static constexpr std::size_t kIpv6HeaderLen = 22;
    static constexpr std::uint8_t kAtypIpv4 = 1;
    static constexpr std::uint8_t kAtypIpv6 = 4;

    UdpRelay(std::string proxyAddress, std::uint16_t socksPort);
    ~UdpRelay();
    UdpRelay(const UdpRelay &) = delete;
    UdpRelay &operator=(const UdpRelay &) = delete;

    // The control TCP socket (1 MiB buffers, TCP_NODELAY, bound to 0.0.0.0
    // port 0). A failure closes both sockets and clears ready.
    bool createUdpControlSocket();

    // Stores the relay endpoint and makes the UDP socket: bound to 127.0.0.1
    // when the relay is on the loopback network (a wildcard-bound socket would
    // send from a non-loopback source the relay may not accept), else to
    // 0.0.0.0. relayAddress in network order, relayPort in host order.
    bool setupUdpRelaySocket(std::uint32_t relayAddress, std::uint16_t relayPort);

    // One datagram to the relay: the SOCKS5 UDP header for the destination
    // (host order address and port) followed by the payload. The sendto result.
    ssize_t sendUdpDatagramIpv4(const std::uint8_t *payload, std::size_t length,
                                std::uint32_t dstIp, std::uint16_t dstPort);
    ssize_t sendUdpDatagramIpv6(const std::uint8_t *payload, std::size_t length,
                                const std::array<std::uint8_t, 16> &dstIp, std::uint16_t dstPort);

    void closeUdpRelay();
    // Forgets both sockets without closing them (clears ready): for a caller
    // that closes them itself, e.g. through the completion port.
    void releaseSockets()
    {
        m_controlSocket = -1;
        m_udpSocket = -1;
        m_ready = false;
    }

    sockaddr_in proxySocketAddress() const;
    const std::string &proxyAddress() const { return m_proxyAddress; }
    std::uint16_t socksPort() const { return m_socksPort; }
    int controlSocket() const { return m_controlSocket; }
    int udpSocket() const { return m_udpSocket; }
    const sockaddr_in &relayEndpoint() const { return m_relayEndpoint; }
    bool isReady() const { return m_ready; }

private:
    ssize_t sendDatagram(const std::uint8_t *header, std::size_t headerLen,
                         const std::uint8_t *payload, std::size_t length);

    std::string m_proxyAddress;
    std::uint16_t m_socksPort = 0;
    int m_controlSocket = -1;
    int m_udpSocket = -1;
    sockaddr_in m_relayEndpoint{};
    bool m_ready = false;
};
