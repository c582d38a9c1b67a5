#pragma once
// The sockets of one SOCKS5 UDP ASSOCIATE relay: the control connection that
// keeps the association alive (opened by the SOCKS5 handshake) and the UDP
// socket that exchanges datagrams with the relay endpoint. Both are closed by
// their owner through the completion port; this record only holds them.

#include "base/Endpoint.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <utility>
#include <vector>

class UdpRelay {
public:
    UdpRelay() = default;
    UdpRelay(const UdpRelay &) = delete;
    UdpRelay &operator=(const UdpRelay &) = delete;

    // The SOCKS5 datagram for a destination: its UDP request header, then the payload.
    static std::vector<std::uint8_t> buildDatagram(const Endpoint &destination, const std::uint8_t *payload,
                                                   std::size_t length);

    // Takes the control connection of an association that has just been granted.
    void adoptControlSocket(int socket) { m_controlSocket = socket; }

    // Stores the relay endpoint and makes the non-blocking UDP socket of its
    // family: bound to the loopback address when the relay is on loopback (a
    // wildcard-bound socket would send from an address the relay may not
    // accept), else to the wildcard address.
    bool setupUdpRelaySocket(const Endpoint &relay);

    // One datagram to the relay endpoint; the sendto result.
    ssize_t sendDatagram(const std::vector<std::uint8_t> &datagram) const;

    // Forgets both sockets (for the owner to close) and clears ready; their numbers.
    std::pair<int, int> releaseSockets();

    int controlSocket() const { return m_controlSocket; }
    int udpSocket() const { return m_udpSocket; }
    const Endpoint &relayEndpoint() const { return m_relayEndpoint; }
    bool isReady() const { return m_udpSocket >= 0; }

private:
    int m_controlSocket = -1;
    int m_udpSocket = -1;
    Endpoint m_relayEndpoint;
};
