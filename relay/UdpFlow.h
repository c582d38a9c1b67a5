#pragma once
// One UDP flow of the tunnel (an application endpoint and the destination it
// addressed), relayed through a SOCKS5 UDP ASSOCIATE of its own: the route
// chosen for it, its relay sockets, the receive of the relay's datagrams (data
// slot), the watch of the control connection, whose close ends the
// association (control slot), and the datagrams that wait for the
// association (at most kMaxQueuedDatagrams). Held by shared reference in its
// table and by every operation in flight on it.

#include "base/CompletionPort.h"
#include "base/Endpoint.h"
#include "relay/FlowStats.h"
#include "relay/UdpRelay.h"

#include <sys/socket.h>

#include <atomic>
#include <compare>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct UdpFlowKey {
    Endpoint source;      // the application's endpoint
    Endpoint destination; // as addressed, before the DNS redirect
    auto operator<=>(const UdpFlowKey &) const = default;
};

struct UdpFlow {
    static constexpr std::uint32_t kBufferSize = 65536;
    static constexpr std::size_t kMaxQueuedDatagrams = 64;

    UdpFlowKey key;
    Endpoint realDestination; // after the DNS redirect
    std::uint16_t socksPort = 0;
    std::uint64_t handshake = 0; // the SOCKS5 handshake while it runs
    UdpRelay relay;              // guarded by mutex
    CompletionSlot dataSlot;
    CompletionSlot controlSlot;
    std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kBufferSize]};
    sockaddr_storage sender{};
    std::uint8_t controlByte = 0;
    std::atomic<bool> receivePending{false};
    std::atomic<bool> removed{false};
    // Whole SOCKS5 datagrams waiting for the association; guarded by mutex.
    std::vector<std::vector<std::uint8_t>> pending;
    std::atomic<std::int64_t> lastActivity{0}; // monotonic nanoseconds
    FlowStats stats;
    // Guards the relay's sockets against a post racing the close: a closed
    // socket's number may already belong to another connection.
    std::mutex mutex;
};
