#pragma once
// Host names learnt from relayed DNS answers, by address, so CONNECT requests
// can name the host. Filled from completion-port workers, read from the adapter
// thread and workers; one mutex held only for the copy in or out.

#include "packet/DnsAnswers.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

class DnsNameCache {
public:
    // A relayed datagram from port 53 is offered only when its payload is at
    // least this long.
    static constexpr std::size_t kMinAnswerLength = 13;
    // Bound per map: when full, expired entries are dropped to make room, and
    // if none has expired the new address is not recorded.
    static constexpr std::size_t kMaxEntries = 65536;

    // Parses a DNS answer and records every address not yet known or whose
    // entry has expired. Live entries are never overwritten.
    void addAnswers(const std::uint8_t *message, std::size_t length);
    void insert(const DnsAnswers &answers);

    // The name recorded for an address, or empty when none is or it has expired.
    std::string lookupIpv4(std::uint32_t address) const;
    std::string lookupIpv6(const std::array<std::uint8_t, 16> &address) const;

    // The recorded entry, for diagnostics and tests.
    bool findIpv4(std::uint32_t address, DnsNameEntry *entry) const;
    std::size_t ipv4Count() const;
    std::size_t ipv6Count() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::uint32_t, DnsNameEntry> m_ipv4;
    std::map<std::array<std::uint8_t, 16>, DnsNameEntry> m_ipv6;
};
