#pragma once
// Where the tunnel reads and writes its IP packets: in the TUN mode the TUN
// device (TunAdapter); a test may give a device of its own. One reader thread
// hands every packet read to the handler, with its offload metadata (the zero
// one for a plain packet); send may be called from any thread.

#include "packet/PacketOffload.h"

#include <cstdint>
#include <functional>

class PacketDevice {
public:
    // The packet may be changed in place; it is the reader's until the handler returns.
    using PacketHandler = std::function<void(std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload)>;

    virtual ~PacketDevice() = default;

    // Installed before startReader().
    virtual void setPacketHandler(PacketHandler handler) = 0;
    virtual void startReader() = 0;
    // Returns once the handler runs no more.
    virtual void stopReader() = 0;
    // Writes one whole packet towards the applications (a super-packet with
    // its offload metadata as read); false when it was dropped.
    virtual bool send(const std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload) = 0;
    // True when send() takes super-packets and partial checksums.
    virtual bool offloadActive() const { return false; }
    // A plain packet with complete checksums.
    bool send(const std::uint8_t *packet, std::uint32_t length) { return send(packet, length, PacketOffload{}); }
};
