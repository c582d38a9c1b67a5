#include "base/SocketHelpers.h"

#include <QDebug>

#include <cerrno>
#include <netinet/in.h>
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

bool setTimeouts(int fd, int milliseconds)
{
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0
           && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

} // namespace SocketHelpers

int createOverlappedTcpSocket(int family)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        const int err = errno;
        qWarning() << "Failed to create socket:" << err;
        errno = err;
        return -1;
    }
    SocketHelpers::setBufferSizes(fd);
    return fd;
}
