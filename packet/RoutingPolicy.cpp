#include "packet/RoutingPolicy.h"

#include "base/Log.h"

#include <cwctype>

namespace {

// UTF-8 to code points; a byte that is not part of a valid sequence becomes a
// code point of its own (0xDC00 + byte), so distinct byte strings stay distinct.
std::wstring lowercaseWide(const std::string &text)
{
    std::wstring out;
    out.reserve(text.size());
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
        char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = extra < 4 && i + extra < n;
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (!ok) {
            out.push_back(static_cast<wchar_t>(0xDC00 + c));
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(cp))));
        i += extra + 1;
    }
    return out;
}

// Image names from Windows-built clients carry ".exe"; Linux binaries do not.
std::wstring imageKey(const std::string &text)
{
    std::wstring key = lowercaseWide(text);
    constexpr std::wstring_view suffix = L".exe";
    if (key.size() >= suffix.size() && key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0)
        key.resize(key.size() - suffix.size());
    return key;
}

std::string fileNameOf(const std::string &path)
{
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

void RoutingPolicy::addBypassIp(const IpAddress &address)
{
    m_bypassIps.insert(address);
    Log::debug("Bypass IP:", address.toString());
}

void RoutingPolicy::addDirectProcess(const std::string &name)
{
    m_directProcesses.insert(name);
    m_directProcessKeys.insert(imageKey(name));
    Log::debug("Direct process:", name, "(port", m_directPort, ")");
}

void RoutingPolicy::addDirectProcessPath(const std::string &path)
{
    m_directProcessPaths.insert(path);
    m_directPathKeys.insert(lowercaseWide(path));
    Log::debug("Direct process (by path):", path, "(port", m_directPort, ")");
}

void RoutingPolicy::addProxyProcess(const std::string &name)
{
    Log::debug("Proxy process:", name, "(port", m_proxyPort, ")");
}

void RoutingPolicy::setDnsRedirectIp(std::uint32_t address)
{
    m_dnsRedirectIp = address;
    Log::debug("DNS redirect IP:", ipv4ToString(address));
}

bool RoutingPolicy::needsOwner(const IpAddress &destination, std::uint16_t dstPort) const
{
    return (!m_directProcessKeys.empty() || !m_directPathKeys.empty()) && dstPort != kDnsPort &&
           !m_bypassIps.count(destination);
}

std::uint16_t RoutingPolicy::choosePort(const std::string &ownerPath, const IpAddress &destination,
                                        std::uint16_t dstPort) const
{
    if (dstPort == kDnsPort)
        return m_directPort;
    if (m_bypassIps.count(destination)) {
        Log::warning("[PORT] destIp", destination.toString(), "in bypassIps -> direct port", m_directPort);
        return m_directPort;
    }
    if (ownerPath.empty())
        return m_proxyPort;
    if (!m_directPathKeys.empty() && m_directPathKeys.count(lowercaseWide(ownerPath)))
        return m_directPort;
    if (!m_directProcessKeys.empty() && m_directProcessKeys.count(imageKey(fileNameOf(ownerPath))))
        return m_directPort;
    // Proxy-process rules and every other owner end here alike.
    return m_proxyPort;
}

bool RoutingPolicy::isDroppedDestination(const PacketInfo &packet)
{
    if (packet.version == 4) {
        const std::uint32_t d = packet.dstIp;
        return (d >> 24) == 127 || (d >> 28) == 0xE || (d & 0xFF) == 0xFF || (d >> 16) == 0xA9FE;
    }
    if (packet.version == 6) {
        static constexpr std::array<std::uint8_t, 16> loopback = {0, 0, 0, 0, 0, 0, 0, 0,
                                                                  0, 0, 0, 0, 0, 0, 0, 1};
        return packet.dstIp6[0] == 0xFF || packet.dstIp6 == loopback;
    }
    return false;
}

Endpoint RoutingPolicy::effectiveDestination(const PacketInfo &packet, std::uint32_t tunnelIp) const
{
    if (packet.version == 4 && packet.dstIp == tunnelIp + 1 && packet.dstPort == kDnsPort)
        return Endpoint::fromIpv4(m_dnsRedirectIp, kDnsPort);
    return packet.destination();
}

bool RoutingPolicy::isTunnelDns(const Endpoint &addressed, std::uint32_t tunnelIp) const
{
    return addressed.port == kDnsPort && (addressed.address == IpAddress::fromIpv4(tunnelIp + 1) ||
                                          addressed.address == IpAddress::fromIpv4(m_dnsRedirectIp));
}
