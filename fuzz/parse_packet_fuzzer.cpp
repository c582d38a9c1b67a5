// parsePacket on arbitrary bytes: every located range must lie inside the
// input, and the NAT rewrite of the same bytes must stay inside it too.

#include "packet/PacketCodec.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const PacketInfo info = parsePacket(data, size);
    if (info.valid) {
        if (info.payload != nullptr) {
            if (info.payload < data || info.payload + info.payloadLen > data + size)
                std::abort();
            // Reading every byte lets AddressSanitizer check the range.
            volatile std::uint8_t sink = 0;
            for (std::size_t i = 0; i < info.payloadLen; ++i)
                sink = sink ^ info.payload[i];
        }
        if (info.version != 4 && info.version != 6)
            std::abort();
    }

    std::vector<std::uint8_t> copy(data, data + size);
    const bool rewritten = rewriteTcpAddresses(copy.data(), copy.size(), 0x0A060702, 30000, 0x0A060701, 40000);
    if (!rewritten && size != 0 && std::memcmp(copy.data(), data, size) != 0)
        std::abort(); // a refused rewrite must leave the bytes untouched
    if (rewritten) {
        // The header checksum is updated for what changed (RFC 1624): a header
        // that verified before must verify after.
        const std::size_t ihl = std::size_t(copy[0] & 0x0F) * 4;
        if (internetChecksum(data, ihl) == 0 && internetChecksum(copy.data(), ihl) != 0)
            std::abort();
    }
    (void)internetChecksum(data, size);
    return 0;
}
