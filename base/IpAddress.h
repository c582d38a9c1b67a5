#pragma once
// An IPv4 or IPv6 address as the tunnel's tables, routing rules and sockets use
// it. Bytes are kept in network order (IPv4 in the first four); ordering is by
// family, then address as an unsigned number. The empty address belongs to
// neither family.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class IpAddress {
public:
    enum class Family : std::uint8_t { None, V4, V6 };
    using Bytes = std::array<std::uint8_t, 16>;

    IpAddress() = default;
    // From a host-order IPv4 address.
    static IpAddress fromIpv4(std::uint32_t address);
    // From 16 bytes as on the wire.
    static IpAddress fromIpv6(const Bytes &address);
    // Dotted IPv4 or IPv6 text; nothing when the text is neither.
    static std::optional<IpAddress> parse(std::string_view text);

    Family family() const { return m_family; }
    bool isIpv4() const { return m_family == Family::V4; }
    bool isIpv6() const { return m_family == Family::V6; }
    bool isNull() const { return m_family == Family::None; }
    // Host-order IPv4 value; 0 for any other family.
    std::uint32_t ipv4() const;
    const Bytes &bytes() const { return m_bytes; }
    // 127.0.0.0/8 or ::1.
    bool isLoopback() const;
    // 0.0.0.0 or ::.
    bool isUnspecified() const;

    // Dotted decimal or the shortest IPv6 form; empty for the empty address.
    std::string toString() const;

    auto operator<=>(const IpAddress &) const = default;

private:
    Family m_family = Family::None;
    Bytes m_bytes{};
};

// Dotted decimal of a host-order IPv4 address, most significant byte first.
std::string ipv4ToString(std::uint32_t address);

// Dotted decimal text to a host-order IPv4 address; 0 when the text is not one.
std::uint32_t parseIpv4(const std::string &text);
