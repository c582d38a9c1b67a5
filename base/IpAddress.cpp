#include "base/IpAddress.h"

#include <arpa/inet.h>

#include <cstring>

IpAddress IpAddress::fromIpv4(std::uint32_t address)
{
    IpAddress out;
    out.m_family = Family::V4;
    out.m_bytes[0] = std::uint8_t(address >> 24);
    out.m_bytes[1] = std::uint8_t(address >> 16);
    out.m_bytes[2] = std::uint8_t(address >> 8);
    out.m_bytes[3] = std::uint8_t(address);
    return out;
}

IpAddress IpAddress::fromIpv6(const Bytes &address)
{
    IpAddress out;
    out.m_family = Family::V6;
    out.m_bytes = address;
    return out;
}

std::optional<IpAddress> IpAddress::parse(std::string_view text)
{
    char buffer[INET6_ADDRSTRLEN] = {};
    if (text.empty() || text.size() >= sizeof buffer)
        return std::nullopt;
    std::memcpy(buffer, text.data(), text.size());
    IpAddress out;
    if (inet_pton(AF_INET, buffer, out.m_bytes.data()) == 1) {
        out.m_family = Family::V4;
        return out;
    }
    if (inet_pton(AF_INET6, buffer, out.m_bytes.data()) == 1) {
        out.m_family = Family::V6;
        return out;
    }
    return std::nullopt;
}

std::uint32_t IpAddress::ipv4() const
{
    if (!isIpv4())
        return 0;
    return (std::uint32_t(m_bytes[0]) << 24) | (std::uint32_t(m_bytes[1]) << 16) | (std::uint32_t(m_bytes[2]) << 8) |
           m_bytes[3];
}

bool IpAddress::isLoopback() const
{
    if (isIpv4())
        return m_bytes[0] == 127;
    static constexpr Bytes kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return isIpv6() && m_bytes == kLoopback6;
}

bool IpAddress::isUnspecified() const
{
    return !isNull() && m_bytes == Bytes{};
}

std::string IpAddress::toString() const
{
    char buffer[INET6_ADDRSTRLEN] = {};
    if (isNull() || !inet_ntop(isIpv4() ? AF_INET : AF_INET6, m_bytes.data(), buffer, sizeof buffer))
        return std::string();
    return buffer;
}

std::string ipv4ToString(std::uint32_t address)
{
    return IpAddress::fromIpv4(address).toString();
}

std::uint32_t parseIpv4(const std::string &text)
{
    const std::optional<IpAddress> address = IpAddress::parse(text);
    return address && address->isIpv4() ? address->ipv4() : 0;
}
