#pragma once
// One application connection taken by the NAT path: the application's own
// endpoints and the NAT port under which the listener sees it (from the fake
// peer T + 1). Held by shared ownership in the listener's two maps.

#include <cstdint>

struct TcpNatSession {
    std::uint32_t clientAddress = 0; // host order; always the tunnel IP
    std::uint16_t clientPort = 0;
    std::uint32_t destinationAddress = 0;
    std::uint16_t destinationPort = 0;
    std::uint16_t natPort = 0;
    // Guarded by the listener's session mutex. Active until its relay ends; an
    // inactive session still translates the connection's closing packets until
    // its NAT port is handed to a new connection.
    bool active = true;
    bool accepted = false; // the listener has accepted its connection
    std::int64_t created = 0; // monotonic nanoseconds
};
