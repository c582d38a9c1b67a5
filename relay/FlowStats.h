#pragma once
// What one live flow of the tunnel (a TCP relay, a UDP flow, a DNS query)
// records for the connection listing: payload bytes each way (relaxed atomic
// increments on the packet path), when it began, and its owner once known.
// The owner is set at most a few times per flow (at its set-up or by the
// listing that looked it up), never per packet.

#include "base/Clock.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

class FlowStats {
public:
    struct Owner {
        std::uint32_t pid = 0;            // 0: no owning process was found
        std::string path;                 // the executable, as the owner lookup names it
        std::optional<std::uint32_t> uid; // of the owning process, once read
    };

    void addUp(std::uint64_t bytes) { m_bytesUp.fetch_add(bytes, std::memory_order_relaxed); }
    void addDown(std::uint64_t bytes) { m_bytesDown.fetch_add(bytes, std::memory_order_relaxed); }
    std::uint64_t bytesUp() const { return m_bytesUp.load(std::memory_order_relaxed); }
    std::uint64_t bytesDown() const { return m_bytesDown.load(std::memory_order_relaxed); }
    std::int64_t startedNs() const { return m_startedNs; }

    void setOwner(Owner owner)
    {
        std::lock_guard lock(m_ownerMutex);
        m_owner = std::move(owner);
    }
    // Empty while nobody has looked the owner up.
    std::optional<Owner> owner() const
    {
        std::lock_guard lock(m_ownerMutex);
        return m_owner;
    }

private:
    std::atomic<std::uint64_t> m_bytesUp{0};
    std::atomic<std::uint64_t> m_bytesDown{0};
    const std::int64_t m_startedNs = monotonicNanoseconds();
    mutable std::mutex m_ownerMutex;
    std::optional<Owner> m_owner;
};
