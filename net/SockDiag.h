#pragma once
// Queries of the kernel's socket tables over NETLINK_SOCK_DIAG (inet_diag).
// The kernel filters the dump by port and address itself (a bytecode filter),
// so a lookup costs one request and a reply with the matching rows only.

#include <cstdint>
#include <optional>
#include <vector>

class SockDiag {
public:
    struct Row {
        std::uint32_t inode = 0; // 0 for sockets no file holds (TIME_WAIT, request sockets)
        std::uint32_t uid = 0;
        std::uint8_t state = 0;
        std::uint8_t family = 0;
        std::uint64_t cgroupId = 0; // the v2 cgroup its creator ran in; 0 when the kernel does not say
    };

    // TCP sockets of the family (AF_INET, or AF_INET6 for v4-mapped peers) with
    // this local port and remote IPv4 endpoint, in table order. Nothing on a
    // netlink failure (logged).
    static std::optional<std::vector<Row>> findTcp(int family, std::uint16_t localPort,
                                                   std::uint32_t remoteIp, std::uint16_t remotePort);
    // The one TCP socket with exactly this local and remote endpoint (IPv4,
    // host order), looked up by the kernel's hash instead of a walk of the
    // whole table. For AF_INET6 the addresses are given v4-mapped. Empty when
    // there is none.
    static std::optional<std::vector<Row>> findTcpExact(int family, std::uint32_t localIp,
                                                        std::uint16_t localPort, std::uint32_t remoteIp,
                                                        std::uint16_t remotePort);
    // UDP sockets of the family bound to this local port, in table order.
    static std::optional<std::vector<Row>> findUdp(int family, std::uint16_t localPort);
    // The one UDP socket that receives what the remote endpoint sends to the
    // local one (IPv4, host order): a socket connected to it, or one bound to
    // the local port and address or the wildcard address. Found by the
    // kernel's hash, not by a walk of the whole table. Empty when there is none.
    static std::optional<std::vector<Row>> findUdpExact(std::uint32_t localIp, std::uint16_t localPort,
                                                        std::uint32_t remoteIp, std::uint16_t remotePort);
};
