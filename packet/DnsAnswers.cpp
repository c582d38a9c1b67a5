#include "packet/DnsAnswers.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

constexpr std::uint8_t kPointerMin = 192;
constexpr std::uint8_t kMaxLabel = 63;
constexpr std::size_t kMaxNameLength = 253; // dotted text, without the trailing dot
constexpr std::size_t kRecordFixedLen = 10; // type, class, TTL, data length

std::uint16_t load16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t load32(const std::uint8_t *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8)
           | std::uint32_t(p[3]);
}

// Host-name bytes: letters, digits, '-' and '_' (service labels).
bool isNameByte(std::uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
           || c == '_';
}

// Walks a name starting at pos: labels end at a zero byte, a compression
// pointer ends the name after its two bytes. Returns the offset after the name,
// or nothing when a label length is 64..191, a label holds a byte that is not
// a host-name byte, the dotted text would exceed 253 characters, or the name
// runs past the message. When out is given, the labels are joined into it with '.'.
std::optional<std::size_t> walkName(const std::uint8_t *msg, std::size_t len, std::size_t pos,
                                    std::string *out)
{
    std::size_t textLen = 0;
    while (pos < len) {
        const std::uint8_t label = msg[pos];
        if (label == 0)
            return pos + 1;
        if (label >= kPointerMin) {
            if (len - pos < 2)
                return std::nullopt;
            return pos + 2;
        }
        if (label > kMaxLabel)
            return std::nullopt;
        if (len - pos - 1 < label)
            return std::nullopt;
        textLen += (textLen ? 1 : 0) + label;
        if (textLen > kMaxNameLength)
            return std::nullopt;
        const std::uint8_t *bytes = msg + pos + 1;
        if (!std::all_of(bytes, bytes + label, isNameByte))
            return std::nullopt;
        if (out) {
            if (!out->empty())
                out->push_back('.');
            out->append(reinterpret_cast<const char *>(bytes), label);
        }
        pos += 1 + label;
    }
    return std::nullopt;
}

} // namespace

DnsAnswers parseDnsAnswers(const std::uint8_t *message, std::size_t length,
                           std::chrono::steady_clock::time_point now)
{
    DnsAnswers result;
    if (message == nullptr || length < DnsAnswers::kHeaderLen)
        return result;
    const bool isResponse = message[2] & 0x80;
    const std::uint16_t answerCount = load16(message + 6);
    if (!isResponse || answerCount == 0)
        return result;

    std::string name;
    const auto afterQuestion = walkName(message, length, DnsAnswers::kHeaderLen, &name);
    // An empty question name would claim addresses for no host at all.
    if (!afterQuestion || name.empty() || length - *afterQuestion < 4)
        return result;
    std::size_t pos = *afterQuestion + 4;

    for (std::uint16_t i = 0; i < answerCount; ++i) {
        const auto afterName = walkName(message, length, pos, nullptr);
        if (!afterName || length - *afterName < kRecordFixedLen)
            break;
        const std::uint8_t *rec = message + *afterName;
        const std::uint16_t type = load16(rec);
        const std::uint32_t ttl = load32(rec + 4);
        const std::uint16_t dataLen = load16(rec + 8);
        const std::size_t dataPos = *afterName + kRecordFixedLen;
        if (length - dataPos < dataLen)
            break;
        const std::uint32_t clamped = std::clamp(ttl, DnsAnswers::kMinTtlSeconds, DnsAnswers::kMaxTtlSeconds);
        const auto expiry = now + std::chrono::seconds(clamped);
        const std::uint8_t *data = message + dataPos;
        if (type == DnsAnswers::kTypeA && dataLen == 4) {
            result.ipv4.emplace(load32(data), DnsNameEntry{name, expiry});
        } else if (type == DnsAnswers::kTypeAaaa && dataLen == 16) {
            std::array<std::uint8_t, 16> address;
            std::memcpy(address.data(), data, 16);
            result.ipv6.emplace(address, DnsNameEntry{name, expiry});
        }
        pos = dataPos + dataLen;
    }
    return result;
}
