#include "tun/FlowCatalog.h"

#include "net/ConnectionOwnerLookup.h"
#include "packet/DnsNameCache.h"

FlowCatalog::FlowCatalog(const DnsNameCache &names, ConnectionOwnerLookup &owners) : m_names(names), m_owners(owners)
{
}

void FlowCatalog::addSource(const FlowSource *source)
{
    std::lock_guard lock(m_mutex);
    m_sources.push_back(source);
}

void FlowCatalog::clearSources()
{
    std::lock_guard lock(m_mutex);
    m_sources.clear();
}

std::vector<FlowEntry> FlowCatalog::collect() const
{
    std::vector<FlowEntry> entries;
    std::lock_guard lock(m_mutex);
    for (const FlowSource *source : m_sources)
        source->appendFlows(entries);
    return entries;
}

FlowCatalog::Counts FlowCatalog::counts() const
{
    Counts counts;
    for (const FlowEntry &entry : collect())
        ++(entry.tcp ? counts.tcp : counts.udp);
    return counts;
}

FlowCatalog::Listing FlowCatalog::list(std::optional<std::uint32_t> onlyUid, std::size_t limit) const
{
    Listing listing;
    std::size_t lookups = 0;
    const std::int64_t now = monotonicNanoseconds();
    for (const FlowEntry &entry : collect()) {
        const FlowStats::Owner owner = ownerOf(entry, &lookups);
        if (onlyUid && owner.uid != onlyUid)
            continue;
        if (++listing.total > limit)
            continue;
        Flow flow;
        flow.tcp = entry.tcp;
        flow.source = entry.source;
        flow.destination = entry.destination;
        flow.host = hostOf(entry.destination);
        // ":System" and "[PID:n]" name no executable.
        flow.process = owner.path.starts_with('/') ? owner.path : std::string();
        flow.direct = entry.direct;
        flow.bytesUp = entry.stats->bytesUp();
        flow.bytesDown = entry.stats->bytesDown();
        flow.ageMs = (now - entry.stats->startedNs()) / 1'000'000;
        listing.flows.push_back(std::move(flow));
    }
    return listing;
}

FlowStats::Owner FlowCatalog::ownerOf(const FlowEntry &entry, std::size_t *lookups) const
{
    std::optional<FlowStats::Owner> known = entry.stats->owner();
    if (known && (known->uid.has_value() || known->pid == 0 || known->pid == ConnectionOwnerLookup::kSystemPid))
        return *known;
    FlowStats::Owner owner = known.value_or(FlowStats::Owner{});
    if (!known) {
        // The socket table is asked at most kMaxOwnerLookups times per listing.
        if (*lookups >= kMaxOwnerLookups)
            return owner;
        ++*lookups;
        const Endpoint &source = entry.source;
        const Endpoint &destination = entry.destination;
        const bool ipv4 = source.address.isIpv4() && destination.address.isIpv4();
        if (entry.tcp)
            owner.pid = ipv4 ? m_owners.tcpOwnerPid(source.port, destination.address.ipv4(), destination.port,
                                                    source.address.ipv4())
                             : 0;
        else
            owner.pid = ipv4 ? m_owners.udpOwnerPid(source.port, source.address.ipv4(), destination.address.ipv4(),
                                                    destination.port)
                             : m_owners.udpOwnerPid(source.port);
        owner.path = owner.pid == 0 ? std::string() : ConnectionOwnerLookup::processImagePath(owner.pid);
    }
    owner.uid = ConnectionOwnerLookup::processUid(owner.pid);
    entry.stats->setOwner(owner);
    return owner;
}

std::string FlowCatalog::hostOf(const Endpoint &destination) const
{
    if (destination.address.isIpv4())
        return m_names.lookupIpv4(destination.address.ipv4());
    if (destination.address.isIpv6())
        return m_names.lookupIpv6(destination.address.bytes());
    return {};
}
