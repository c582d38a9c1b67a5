#include "base/SocketHelpers.h"

#include <QDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace SocketHelpers {

bool setBufferSizes(int fd)
{
    const int size = kBufferSize;
    bool ok = true;
    // The FORCE variants pass the system's rmem_max/wmem_max cap, where allowed.
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        ok = setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0 && ok;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ok = setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0 && ok;
    return ok;
}

bool setNonBlocking(int fd, bool enabled)
{
    if (fd < 0)
        return false;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = enabled ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

bool setTimeouts(int fd, int milliseconds)
{
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0
           && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

sockaddr_in ipv4SocketAddress(const std::string &address, std::uint16_t port)
{
    sockaddr_in sa{};
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        return sa;
    sa.sin_family = AF_INET;
    sa.sin_addr = parsed;
    sa.sin_port = htons(port);
    return sa;
}

bool sendAll(int fd, const void *data, std::size_t length)
{
    const auto *p = static_cast<const std::uint8_t *>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t receiveExact(int fd, void *data, std::size_t length)
{
    auto *p = static_cast<std::uint8_t *>(data);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::recv(fd, p + got, length - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

} // namespace SocketHelpers

int createOverlappedTcpSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        const int err = errno;
        qWarning() << "Failed to create socket:" << err;
        return -1;
    }
    SocketHelpers::setBufferSizes(fd);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        const int err = errno;
        qWarning() << "Failed to bind socket:" << err;
        ::close(fd);
        return -1;
    }
    return fd;
}
