#pragma once
// What the TUN device says about a packet beside its bytes when segmentation
// offload is on: the virtio-net header that precedes every packet read from or
// written to the device. A super-packet (gsoType not None) carries up to 64 KiB
// of TCP payload in one IP packet that the kernel cuts into segments of
// gsoSize bytes; a checksum-partial packet holds in its transport checksum
// field only the sum of the pseudo-header, and the kernel completes it over
// the bytes from checksumStart, storing it at checksumStart + checksumOffset.
// The all-zero value means an ordinary packet with complete checksums: what
// every packet the daemon builds itself carries.

#include <cstddef>
#include <cstdint>

struct PacketOffload {
    // The header's wire size (struct virtio_net_hdr; its fields little-endian).
    static constexpr std::size_t kHeaderSize = 10;

    enum class GsoType : std::uint8_t { None = 0, TcpV4 = 1, Udp = 3, TcpV6 = 4, UdpL4 = 5 };
    static constexpr std::uint8_t kFlagNeedsChecksum = 0x01;
    static constexpr std::uint8_t kFlagDataValid = 0x02;
    static constexpr std::uint8_t kGsoEcn = 0x80;

    GsoType gsoType = GsoType::None;
    bool gsoEcn = false;          // the segments carry the CWR flag as the first did
    std::uint16_t gsoSize = 0;    // payload bytes per segment
    std::uint16_t headerLength = 0; // IP and transport headers of each segment
    bool checksumPartial = false; // see above
    bool checksumValid = false;   // the kernel has verified the checksum
    std::uint16_t checksumStart = 0;
    std::uint16_t checksumOffset = 0;

    bool isSuperPacket() const { return gsoType != GsoType::None; }
    bool isPlain() const { return !isSuperPacket() && !checksumPartial; }

    static PacketOffload fromHeader(const std::uint8_t *header)
    {
        PacketOffload offload;
        offload.checksumPartial = (header[0] & kFlagNeedsChecksum) != 0;
        offload.checksumValid = (header[0] & kFlagDataValid) != 0;
        offload.gsoType = static_cast<GsoType>(header[1] & ~kGsoEcn);
        offload.gsoEcn = (header[1] & kGsoEcn) != 0;
        offload.headerLength = load16(header + 2);
        offload.gsoSize = load16(header + 4);
        offload.checksumStart = load16(header + 6);
        offload.checksumOffset = load16(header + 8);
        return offload;
    }

    void toHeader(std::uint8_t *header) const
    {
        header[0] = std::uint8_t((checksumPartial ? kFlagNeedsChecksum : 0) | (checksumValid ? kFlagDataValid : 0));
        header[1] = std::uint8_t(std::uint8_t(gsoType) | (gsoEcn ? kGsoEcn : 0));
        store16(header + 2, headerLength);
        store16(header + 4, gsoSize);
        store16(header + 6, checksumStart);
        store16(header + 8, checksumOffset);
    }

private:
    static std::uint16_t load16(const std::uint8_t *p) { return std::uint16_t(p[0] | (p[1] << 8)); }
    static void store16(std::uint8_t *p, std::uint16_t v)
    {
        p[0] = std::uint8_t(v);
        p[1] = std::uint8_t(v >> 8);
    }
};
