#pragma once
// Socket building blocks shared by the tunnel's paths: the 1 MiB buffers every
// TCP socket gets, time-outs of a blocking socket, and the factory of sockets
// made ready for the completion port. Failures return false / -1 and log a
// warning with the errno value.

#include <sys/socket.h>

namespace SocketHelpers {
constexpr int kBufferSize = 0x100000;

// Send and receive buffers of kBufferSize (beyond the system cap where the
// process may raise it).
bool setBufferSizes(int fd);

// Send and receive time-outs of a blocking socket; 0 clears them.
bool setTimeouts(int fd, int milliseconds);
} // namespace SocketHelpers

// A non-blocking TCP socket of the family (AF_INET or AF_INET6) with the 1 MiB
// buffers, for the completion port; -1 on failure, with errno kept.
int createOverlappedTcpSocket(int family = AF_INET);
