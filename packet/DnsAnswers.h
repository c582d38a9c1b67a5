#pragma once
// Address-to-name pairs read out of a DNS answer message: every A and AAAA
// record is mapped to the name the first question asked for, so the addresses
// at the end of a CNAME chain carry the queried name.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

struct DnsNameEntry {
    std::string name;
    std::chrono::steady_clock::time_point expiry;
};

struct DnsAnswers {
    std::map<std::uint32_t, DnsNameEntry> ipv4;                 // host order
    std::map<std::array<std::uint8_t, 16>, DnsNameEntry> ipv6;  // as on the wire

    static constexpr std::size_t kHeaderLen = 12;
    static constexpr std::uint32_t kMinTtlSeconds = 60;
    static constexpr std::uint32_t kMaxTtlSeconds = 86400;
    static constexpr std::uint16_t kTypeA = 1;
    static constexpr std::uint16_t kTypeAaaa = 28;

    bool empty() const { return ipv4.empty() && ipv6.empty(); }
};

// Pure; never reads outside [message, message + length), whatever the bytes.
// Queries, messages shorter than the header and answers without records give
// nothing; expiry = now + the record's TTL clamped to 60..86400 s.
DnsAnswers parseDnsAnswers(const std::uint8_t *message, std::size_t length,
                           std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
