// A proxy's CONNECT / UDP ASSOCIATE reply read as the client reads it: the
// length from the first five bytes, then the reply itself. No read outside the
// bytes at hand, a length no reply can exceed, and a bound address that is
// exactly the one on the wire.

#include "socks5/Socks5Message.h"

#include <cstdlib>
#include <cstring>

namespace {
// Version, code, reserved, type, length byte, the longest name, port.
constexpr std::size_t kLongestReply = 3 + 1 + 1 + Socks5Message::kMaxDomainLength + 2;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace Socks5Message;
    parseReply(data, size); // a short read must not be read past its end
    if (size < kReplyPrefixLength)
        return 0;
    const std::size_t length = replyLength(data);
    if (length > kLongestReply)
        std::abort();
    if (length == 0 || length > size)
        return 0;
    const Reply reply = parseReply(data, length);
    if (reply.version != data[0] || reply.code != data[1] || reply.addressType != data[3])
        std::abort();
    if (reply.addressType == kAtypIpv4 || reply.addressType == kAtypIpv6) {
        // Written back as a header, the address field is the one read.
        std::uint8_t header[kMaxUdpHeaderLength];
        const std::size_t written = writeUdpHeader(reply.bound, header);
        if (written != length || std::memcmp(header + 3, data + 3, length - 3) != 0)
            std::abort();
    }
    return 0;
}
