#pragma once
// One UDP flow of the flow table: its SOCKS5 UDP ASSOCIATE relay, opened
// asynchronously over the completion port (control slot, key 3), its
// datagram receive (data slot, key 1), and the datagrams that wait for the
// association (at most kMaxQueuedDatagrams; more are dropped). Held by
// shared reference in the table.

#include "relay/UdpRelay.h"
#include "base/CompletionPort.h"

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <compare>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct UdpFlowKey {
    std::uint8_t version = 4;
    std::uint8_t protocol = 17;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::array<std::uint8_t, 16> sourceAddress{};      // IPv4 uses the first 4 bytes, network order
    std::array<std::uint8_t, 16> destinationAddress{};
    auto operator<=>(const UdpFlowKey &) const = default;
};

struct UdpFlow {
    static constexpr std::uint32_t kBufferSize = 65536;
    static constexpr std::size_t kMaxQueuedDatagrams = 64;

    enum HandshakeState : int {
        kConnecting = 0,
        kGreetingSent = 1,
        kGreetingAnswerAwaited = 2,
        kRequestSent = 3,
        kAnswerAwaited = 4,
        kEstablished = 5,
    };

    UdpFlowKey key;
    std::unique_ptr<UdpRelay> relay;
    std::atomic<int> handshakeState{kConnecting};
    CompletionSlot controlSlot;
    std::array<std::uint8_t, 16> handshakeBuffer{};
    CompletionSlot dataSlot;
    std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kBufferSize]};
    sockaddr_in sender{};
    sockaddr_in proxy{}; // the connect target, kept for the connect's duration
    std::atomic<bool> receivePending{false};
    std::atomic<bool> removed{false};
    std::mutex mutex;                             // pending datagrams and the sockets
    std::vector<std::vector<std::uint8_t>> pending; // family, address, port (big-endian), payload
    std::atomic<std::int64_t> lastActivity{0};      // monotonic nanoseconds
};
