// A datagram from a SOCKS5 UDP relay: a readable one splits into a header and
// a payload that together are the datagram, is never a fragment, and names
// the port its header carries; anything else is refused without a read
// outside the datagram.

#include "socks5/Socks5Message.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace Socks5Message;
    const auto datagram = parseUdpDatagram(data, size);
    if (!datagram)
        return 0;
    const std::size_t header = datagram->headerLength;
    if (data[2] != 0 || header < kIpv4UdpHeaderLength - 3 || header > size ||
        header + datagram->payloadLength != size || datagram->payload != data + header)
        std::abort();
    if (header != 3 + addressFieldLength(data + 3, size - 3))
        std::abort();
    if (datagram->sourcePort != std::uint16_t((data[header - 2] << 8) | data[header - 1]))
        std::abort();
    return 0;
}
