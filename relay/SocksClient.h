#pragma once
// Blocking SOCKS5 (RFC 1928) CONNECT through the local proxy core, for one
// relayed TCP connection of the NAT path. Used by one thread at a time.
// Every blocking step is bounded by the handshake time-out, and the CONNECT
// reply is read whole, so the socket carries only the destination's bytes
// afterwards.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <netinet/in.h>

class SocksClient {
public:
    static constexpr int kHandshakeTimeoutMs = 10000;
    static constexpr std::size_t kMaxDomainLength = 255;

    SocksClient(std::string proxyAddress, std::uint16_t proxyPort);
    ~SocksClient();
    SocksClient(const SocksClient &) = delete;
    SocksClient &operator=(const SocksClient &) = delete;

    // Opens a connection to the proxy (closing any earlier one) and asks it to
    // CONNECT to the destination. On a failure after the proxy connection was
    // opened the socket stays open; the caller closes the client.
    bool connectViaIpv4(std::uint32_t dstIp, std::uint16_t dstPort);
    bool connectViaDomain(const std::string &name, std::uint16_t dstPort);

    void close();
    // True when the last connect attempt failed because the proxy refused the
    // request (a CONNECT reply other than success, or a name it cannot carry);
    // false after a failure to reach or hear from the proxy.
    bool wasRejected() const { return m_rejected; }
    // Told of every socket the client opens (opened = true, before its connect)
    // and of its close (opened = false, before the descriptor is released), so
    // an owner can shut a handshake down from another thread.
    void setSocketObserver(std::function<void(int socket, bool opened)> observer) { m_observer = std::move(observer); }
    // O_NONBLOCK on the socket, only when it is open.
    void setNonBlocking(bool enabled);
    // Bounds the connect and every send and receive of the handshake.
    void setHandshakeTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    int socket() const { return m_socket; }
    bool isConnected() const { return m_connected; }
    sockaddr_in proxySocketAddress() const;

private:
    enum class Reply { Ok, Short, Rejected };

    bool open();
    bool sendGreeting();
    Reply readConnectReply(std::uint8_t *replyCode);
    // The warning texts of one kind of CONNECT request.
    struct ConnectTexts {
        const char *sendFailed;
        const char *replyFailed;
        const char *rejected;
    };
    // Sends a CONNECT request and reads its whole reply.
    bool completeConnect(const std::vector<std::uint8_t> &request, const ConnectTexts &texts);

    std::string m_proxyAddress;
    std::uint16_t m_proxyPort = 0;
    int m_socket = -1;
    bool m_connected = false;
    bool m_rejected = false;
    std::function<void(int, bool)> m_observer;
    std::chrono::milliseconds m_timeout{kHandshakeTimeoutMs};
};
