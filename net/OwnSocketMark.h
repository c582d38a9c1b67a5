#pragma once
// The mark the daemon sets on its own sockets that leave past the tunnel (direct
// connections bound to the physical interface), so that the TUN mode's firewall
// permits them whatever cgroup the daemon runs in. Only a process with
// CAP_NET_ADMIN can set a socket mark, so no ordinary program can borrow it.

#include <cerrno>
#include <cstdint>
#include <sys/socket.h>

class OwnSocketMark {
public:
    static constexpr std::uint32_t kValue = 0x10000000;

    // 0 or the errno of setting it.
    static int apply(int fd)
    {
        const std::uint32_t mark = kValue;
        return ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0 ? 0 : errno;
    }
};
