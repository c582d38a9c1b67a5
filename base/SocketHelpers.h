#pragma once
// Socket building blocks shared by the tunnel's paths: the 1 MiB buffers every
// TCP socket gets, the non-blocking switch, and the factory of sockets made
// ready for the completion port (non-blocking, bound to 0.0.0.0 port 0).
// Failures return false / -1 and log a warning with the errno value.

#include <cstddef>
#include <cstdint>
#include <string>

#include <netinet/in.h>

namespace SocketHelpers {
constexpr int kBufferSize = 0x100000;

// Send and receive buffers of kBufferSize (beyond the system cap where the
// process may raise it).
bool setBufferSizes(int fd);

// O_NONBLOCK on or off; false for a closed socket.
bool setNonBlocking(int fd, bool enabled);

// Send and receive time-outs of a blocking socket; 0 clears them.
bool setTimeouts(int fd, int milliseconds);

// IPv4 socket address of a dotted IPv4 text and port; nothing when the text
// is not an address (sin_family stays 0).
sockaddr_in ipv4SocketAddress(const std::string &address, std::uint16_t port);

// Sends all bytes of a blocking socket; false on an error or time-out.
bool sendAll(int fd, const void *data, std::size_t length);

// Receives exactly length bytes; the count received (less on close, error or
// time-out).
std::size_t receiveExact(int fd, void *data, std::size_t length);
} // namespace SocketHelpers

// A non-blocking IPv4 TCP socket with the 1 MiB buffers, bound to 0.0.0.0
// port 0, for the user-space TCP engine's proxy connections; -1 on failure.
int createOverlappedTcpSocket();
