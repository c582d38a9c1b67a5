#include "relay/SocksClient.h"

#include "base/SocketHelpers.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::uint8_t kVersion = 5;
constexpr std::uint8_t kCommandConnect = 1;
constexpr std::uint8_t kAtypIpv4 = 1;
constexpr std::uint8_t kAtypDomain = 3;
constexpr std::uint8_t kAtypIpv6 = 4;
constexpr std::uint8_t kGreeting[3] = {kVersion, 1, 0};
constexpr std::size_t kReplyHeaderLen = 4;

void putPort(std::vector<std::uint8_t> &out, std::uint16_t port)
{
    out.push_back(static_cast<std::uint8_t>(port >> 8));
    out.push_back(static_cast<std::uint8_t>(port));
}
} // namespace

SocksClient::SocksClient(std::string proxyAddress, std::uint16_t proxyPort)
    : m_proxyAddress(std::move(proxyAddress)), m_proxyPort(proxyPort)
{
}

SocksClient::~SocksClient()
{
    close();
}

sockaddr_in SocksClient::proxySocketAddress() const
{
    return SocketHelpers::ipv4SocketAddress(m_proxyAddress, m_proxyPort);
}

void SocksClient::close()
{
    if (m_socket >= 0) {
        if (m_observer)
            m_observer(m_socket, false);
        ::close(m_socket);
    }
    m_socket = -1;
    m_connected = false;
}

void SocksClient::setNonBlocking(bool enabled)
{
    if (m_socket >= 0)
        SocketHelpers::setNonBlocking(m_socket, enabled);
}

bool SocksClient::open()
{
    // A retry by address after a failed attempt by name must not leak the
    // first attempt's socket.
    close();
    m_rejected = false;
    m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_socket < 0) {
        const int err = errno;
        qWarning() << "Failed to create socket:" << err;
        return false;
    }
    if (m_observer)
        m_observer(m_socket, true);
    SocketHelpers::setBufferSizes(m_socket);
    SocketHelpers::setTimeouts(m_socket, static_cast<int>(m_timeout.count()));
    const sockaddr_in proxy = proxySocketAddress();
    if (proxy.sin_family != AF_INET) {
        qWarning() << "Invalid proxy address:" << m_proxyAddress.c_str();
        close();
        return false;
    }
    int rc;
    do {
        rc = ::connect(m_socket, reinterpret_cast<const sockaddr *>(&proxy), sizeof proxy);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        qWarning() << "Failed to connect to proxy:" << err;
        close();
        return false;
    }
    return true;
}

bool SocksClient::sendGreeting()
{
    if (!SocketHelpers::sendAll(m_socket, kGreeting, sizeof kGreeting)) {
        qWarning() << "Failed to send SOCKS5 greeting";
        return false;
    }
    std::uint8_t answer[2];
    if (SocketHelpers::receiveExact(m_socket, answer, sizeof answer) != sizeof answer) {
        qWarning() << "Failed to receive SOCKS5 response";
        return false;
    }
    if (answer[0] != kVersion || answer[1] != 0) {
        qWarning() << "SOCKS5 authentication failed";
        return false;
    }
    return true;
}

// Reads the whole reply: 4 header bytes, then the bound address by its type
// (4 + 2, 16 + 2, or 1 + length + 2 bytes), so none of it is left in the socket
// to be taken for the destination's data.
SocksClient::Reply SocksClient::readConnectReply(std::uint8_t *replyCode)
{
    std::uint8_t header[kReplyHeaderLen];
    if (SocketHelpers::receiveExact(m_socket, header, sizeof header) != sizeof header)
        return Reply::Short;
    *replyCode = header[1];
    if (header[0] != kVersion || header[1] != 0)
        return Reply::Rejected;
    std::size_t rest = 0;
    switch (header[3]) {
    case kAtypIpv4:
        rest = 4 + 2;
        break;
    case kAtypIpv6:
        rest = 16 + 2;
        break;
    case kAtypDomain: {
        std::uint8_t nameLength;
        if (SocketHelpers::receiveExact(m_socket, &nameLength, 1) != 1)
            return Reply::Short;
        rest = std::size_t(nameLength) + 2;
        break;
    }
    default:
        return Reply::Short;
    }
    std::uint8_t bound[255 + 2];
    return SocketHelpers::receiveExact(m_socket, bound, rest) == rest ? Reply::Ok : Reply::Short;
}

bool SocksClient::connectViaIpv4(std::uint32_t dstIp, std::uint16_t dstPort)
{
    if (!open() || !sendGreeting())
        return false;
    std::vector<std::uint8_t> request = {kVersion, kCommandConnect, 0, kAtypIpv4,
                                         static_cast<std::uint8_t>(dstIp >> 24),
                                         static_cast<std::uint8_t>(dstIp >> 16),
                                         static_cast<std::uint8_t>(dstIp >> 8),
                                         static_cast<std::uint8_t>(dstIp)};
    putPort(request, dstPort);
    return completeConnect(request, {"Failed to send connection request", "Failed to receive connection response",
                                     "SOCKS5 connection failed with reply:"});
}

bool SocksClient::connectViaDomain(const std::string &name, std::uint16_t dstPort)
{
    if (!open() || !sendGreeting())
        return false;
    if (name.empty() || name.size() > kMaxDomainLength) {
        qWarning() << "Invalid domain name length";
        m_rejected = true;
        return false;
    }
    std::vector<std::uint8_t> request;
    request.reserve(5 + name.size() + 2);
    for (std::uint8_t byte : {kVersion, kCommandConnect, std::uint8_t(0), kAtypDomain,
                              static_cast<std::uint8_t>(name.size())})
        request.push_back(byte);
    request.insert(request.end(), name.begin(), name.end());
    putPort(request, dstPort);
    return completeConnect(request, {"Failed to send domain connection request",
                                     "Failed to receive domain connection response",
                                     "SOCKS5 domain connection failed with reply:"});
}

bool SocksClient::completeConnect(const std::vector<std::uint8_t> &request, const ConnectTexts &texts)
{
    if (!SocketHelpers::sendAll(m_socket, request.data(), request.size())) {
        qWarning() << texts.sendFailed;
        return false;
    }
    std::uint8_t code = 0;
    switch (readConnectReply(&code)) {
    case Reply::Short:
        qWarning() << texts.replyFailed;
        return false;
    case Reply::Rejected:
        qWarning() << texts.rejected << int(code);
        m_rejected = true;
        return false;
    case Reply::Ok:
        break;
    }
    SocketHelpers::setTimeouts(m_socket, 0);
    m_connected = true;
    return true;
}
