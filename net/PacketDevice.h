#pragma once
// Where the tunnel reads and writes its IP packets: in the TUN mode the TUN
// device (TunAdapter); a test may give a device of its own. One reader thread
// hands every packet read to the handler; send may be called from any thread.

#include <cstdint>
#include <functional>

class PacketDevice {
public:
    using PacketHandler = std::function<void(const std::uint8_t *packet, std::uint32_t length)>;

    virtual ~PacketDevice() = default;

    // Installed before startReader().
    virtual void setPacketHandler(PacketHandler handler) = 0;
    virtual void startReader() = 0;
    // Returns once the handler runs no more.
    virtual void stopReader() = 0;
    // Writes one whole packet towards the applications; false when it was dropped.
    virtual bool send(const std::uint8_t *packet, std::uint32_t length) = 0;
};
