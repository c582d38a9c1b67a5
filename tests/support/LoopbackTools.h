#pragma once
// Small helpers of the network tests: TCP listeners, connected pairs and
// refusing ports on loopback, and a bounded wait for a condition to come true.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

// 127.0.0.1:port.
inline sockaddr_in loopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A TCP socket listening on 127.0.0.1 on a port the system chose.
inline int listenOnLoopback(std::uint16_t *port, int backlog = 16)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(fd, backlog);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// A connected TCP pair on loopback: returns the connecting end, *accepted the other.
inline int connectedLoopbackPair(int *accepted)
{
    std::uint16_t port = 0;
    const int listener = listenOnLoopback(&port);
    const int connecting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    ::connect(connecting, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    *accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    return connecting;
}

// A TCP socket bound to 127.0.0.1 that never listens: connections to *port
// are refused, and while the socket stays open no other socket takes the port.
inline int refusingLoopbackSocket(std::uint16_t *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// True once the condition holds, checked every 10 ms for up to timeoutMs.
template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 3000)
{
    for (int waited = 0; waited < timeoutMs && !condition(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}
