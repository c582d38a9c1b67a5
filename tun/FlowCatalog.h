#pragma once
// The live flows of one tunnel, for the connection listing: the parts that
// hold flows (the TCP relay, UDP-NAT with its DNS queries, the flow table,
// and whatever engine is added later) register as sources; a listing asks
// each for its entries, then adds the host name from the DNS name cache and
// the owner. UDP owners are looked up here, off the packet path, the first
// time a flow is listed (at most kMaxOwnerLookups per listing, the rest on
// later ones), and kept with the flow.

#include "relay/FlowSource.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ConnectionOwnerLookup;
class DnsNameCache;

class FlowCatalog {
public:
    static constexpr std::size_t kMaxOwnerLookups = 64;

    struct Flow {
        bool tcp = false;
        Endpoint source;
        Endpoint destination;
        std::string host;    // "" when no name is known
        std::string process; // the owner's executable; "" when unknown
        bool direct = false;
        std::uint64_t bytesUp = 0;
        std::uint64_t bytesDown = 0;
        std::int64_t ageMs = 0;
    };
    struct Listing {
        std::size_t total = 0; // flows that matched, listed or not
        std::vector<Flow> flows;
    };
    struct Counts {
        std::size_t tcp = 0;
        std::size_t udp = 0;
    };

    FlowCatalog(const DnsNameCache &names, ConnectionOwnerLookup &owners);

    // A source stays registered until clearSources(), which comes before it goes.
    void addSource(const FlowSource *source);
    void clearSources();

    Counts counts() const;
    // The flows whose owner runs under onlyUid (all when empty), at most limit.
    Listing list(std::optional<std::uint32_t> onlyUid, std::size_t limit) const;

private:
    std::vector<FlowEntry> collect() const;
    // The entry's owner, looked up and recorded while *lookups allows.
    FlowStats::Owner ownerOf(const FlowEntry &entry, std::size_t *lookups) const;
    std::string hostOf(const Endpoint &destination) const;

    const DnsNameCache &m_names;
    ConnectionOwnerLookup &m_owners;
    mutable std::mutex m_mutex; // the sources
    std::vector<const FlowSource *> m_sources;
};
