#include "relay/DnsAssociationPool.h"

#include "base/Clock.h"
#include "base/LogLimiter.h"
#include "packet/DnsNameCache.h"
#include "packet/PacketCodec.h"
#include "packet/RoutingPolicy.h"
#include "socks5/Socks5Message.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <unordered_map>

namespace {
LogLimiter g_droppedLog(10, 1000);
LogLimiter g_associationLog(10, 1000);
LogLimiter g_strangerLog(5, 1000);
LogLimiter g_sendLog(10, 1000);

constexpr const char *kTag = "[DNS-POOL]";

std::uint16_t queryId(const std::uint8_t *payload)
{
    return std::uint16_t((payload[0] << 8) | payload[1]);
}

void setQueryId(std::uint8_t *payload, std::uint16_t id)
{
    payload[0] = std::uint8_t(id >> 8);
    payload[1] = std::uint8_t(id);
}
} // namespace

struct DnsAssociationPool::Query {
    UdpFlowKey key; // the asking socket and the address it asked
    Endpoint realDestination;
    std::vector<std::uint8_t> payload; // with the asker's id, kept to be sent again
    std::int64_t queuedAt = 0;
    std::int64_t sentAt = 0;
    std::shared_ptr<FlowStats> stats;
};

struct DnsAssociationPool::Association {
    enum class State : std::uint8_t { Opening, Up, Closed };
    State state = State::Opening; // guarded by the pool's mutex, as everything but the receive
    std::uint64_t handshake = 0;
    UdpRelay relay;
    std::unordered_map<std::uint16_t, Query> inFlight; // by the pool's id
    CompletionSlot dataSlot;
    CompletionSlot controlSlot;
    std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[UdpFlow::kBufferSize]};
    sockaddr_storage sender{};
    std::uint8_t controlByte = 0;
};

DnsAssociationPool::DnsAssociationPool(const UdpAssociations::Context &context)
    : m_context(context), m_ids(std::random_device{}())
{
    if (!m_context.counters)
        m_context.counters = &m_ownCounters;
}

DnsAssociationPool::~DnsAssociationPool()
{
    m_running.store(false);
    closeAll();
    releaseRecords();
}

void DnsAssociationPool::attach(CompletionDispatcher &dispatcher)
{
    dispatcher.setHandler(kCompletionKey, [this](const CompletionPort::Completion &c) { return onCompletion(c); });
    dispatcher.addHousekeeping([this] { expire(monotonicNanoseconds()); });
}

bool DnsAssociationPool::takes(const UdpFlowKey &key, std::size_t length) const
{
    return length >= kMinQueryLength && key.source.address.isIpv4() && m_context.policy &&
           m_context.policy->isTunnelDns(key.destination, m_context.tunnelIp);
}

bool DnsAssociationPool::forward(const UdpFlowKey &key, const Endpoint &realDestination, const std::uint8_t *payload,
                                 std::size_t length)
{
    if (!m_running.load() || length < kMinQueryLength)
        return false;
    Query query{key, realDestination, std::vector<std::uint8_t>(payload, payload + length), monotonicNanoseconds(), 0,
                std::make_shared<FlowStats>()};
    bool taken = false;
    std::vector<AssociationPtr> toOpen;
    {
        std::lock_guard lock(m_mutex);
        taken = sendOrQueueLocked(std::move(query));
        toOpen = replenishLocked();
    }
    for (const AssociationPtr &association : toOpen)
        open(association);
    return taken;
}

bool DnsAssociationPool::sendOrQueueLocked(Query &&query)
{
    for (std::size_t tried = 0; tried < m_associations.size(); ++tried) {
        Association &association = *m_associations[m_nextAssociation++ % m_associations.size()];
        if (association.state == Association::State::Up && association.inFlight.size() < kIdsPerAssociation)
            return sendLocked(association, std::move(query));
    }
    if (m_waiting.size() >= kMaxWaiting) {
        if (g_droppedLog.admit())
            qWarning() << kTag << "Not taking a DNS query:" << kMaxWaiting << "wait for an association already";
        return false;
    }
    m_waiting.push_back(std::move(query));
    return true;
}

bool DnsAssociationPool::sendLocked(Association &association, Query &&query)
{
    // A free id from a random start: ids on the way to the resolver stay hard to guess.
    std::uint16_t id = std::uint16_t(m_ids());
    while (association.inFlight.count(id))
        ++id;
    std::vector<std::uint8_t> datagram =
        UdpRelay::buildDatagram(query.realDestination, query.payload.data(), query.payload.size());
    setQueryId(datagram.data() + datagram.size() - query.payload.size(), id);
    if (association.relay.sendDatagram(datagram) < 0) {
        if (g_sendLog.admit())
            qWarning() << kTag << "Failed to send a DNS query to the relay:" << errno;
        return false;
    }
    if (query.sentAt == 0) { // a query sent again on another association counts once
        query.stats->addUp(query.payload.size());
        m_context.counters->addUp(query.payload.size());
    }
    query.sentAt = monotonicNanoseconds();
    association.inFlight.emplace(id, std::move(query));
    return true;
}

std::vector<DnsAssociationPool::AssociationPtr> DnsAssociationPool::replenishLocked()
{
    std::vector<AssociationPtr> fresh;
    while (m_running.load() && m_associations.size() < kAssociations) {
        auto association = std::make_shared<Association>();
        m_associations.push_back(association);
        fresh.push_back(std::move(association));
    }
    return fresh;
}

void DnsAssociationPool::open(const AssociationPtr &association)
{
    AsyncSocksClient::Request request;
    request.command = AsyncSocksClient::Command::UdpAssociate;
    request.server = Endpoint{m_context.proxyAddress, m_context.policy->directPort()};
    request.timeoutMs = kHandshakeTimeoutMs;
    request.socketKey = kCompletionKey;
    // The handler may run before this returns; it takes the mutex itself.
    const std::uint64_t id = m_context.socks->startProxyConnect(
        request, [this, association](AsyncSocksClient::Result &&result) {
            onAssociated(association, std::move(result));
        });
    std::lock_guard lock(m_mutex);
    if (id == 0) {
        if (g_associationLog.admit())
            qWarning() << kTag << "Failed to open a SOCKS5 UDP association for DNS";
        std::vector<std::uint64_t> none;
        closeLocked(*association, &none);
        return;
    }
    if (association->state == Association::State::Opening)
        association->handshake = id;
}

void DnsAssociationPool::onAssociated(const AssociationPtr &association, AsyncSocksClient::Result &&result)
{
    bool up = false;
    {
        std::lock_guard lock(m_mutex);
        association->handshake = 0;
        if (!result.ok()) {
            if (result.failure != AsyncSocksClient::Failure::Cancelled && g_associationLog.admit())
                qWarning() << kTag << "Failed to open a SOCKS5 UDP association for DNS";
            std::vector<std::uint64_t> none;
            closeLocked(*association, &none);
            return;
        }
        if (association->state != Association::State::Opening || !m_running.load()) {
            m_context.port->closeSocket(result.socket);
            return;
        }
        association->relay.adoptControlSocket(result.socket);
        up = setUpLocked(*association, result);
    }
    if (!up || !postReceive(association) || !postControlWatch(association))
        lose(association);
}

// Under the mutex: every waiting query goes out again, or waits on; one that can
// do neither is dropped with the warning given.
void DnsAssociationPool::resendWaitingLocked(const char *dropWarning)
{
    std::deque<Query> waiting = std::move(m_waiting);
    m_waiting.clear();
    for (Query &query : waiting) {
        if (sendOrQueueLocked(std::move(query)))
            continue;
        dropLocked(1);
        if (g_droppedLog.admit())
            qWarning() << kTag << dropWarning;
    }
}

bool DnsAssociationPool::setUpLocked(Association &association, const AsyncSocksClient::Result &result)
{
    if (!result.bound.address.isIpv4() || !association.relay.setupUdpRelaySocket(result.bound)) {
        if (g_associationLog.admit())
            qWarning() << kTag << "Failed to set up the UDP relay socket of a DNS association";
        return false;
    }
    if (const int error = m_context.port->associate(association.relay.udpSocket(), keyValue(kCompletionKey));
        error != 0) {
        if (g_associationLog.admit())
            qWarning() << kTag << "Failed to associate a DNS relay socket with the completion port:" << error;
        return false;
    }
    association.state = Association::State::Up;
    m_opened.fetch_add(1);
    // What waited goes out now, on this association and the others that are up.
    resendWaitingLocked("Dropping a DNS query that waited for an association");
    return true;
}

bool DnsAssociationPool::postReceive(const AssociationPtr &association)
{
    std::lock_guard lock(m_mutex);
    const int socket = association->relay.udpSocket();
    if (association->state != Association::State::Up || socket < 0)
        return true;
    association->sender = sockaddr_storage{};
    return m_live.post(&association->dataSlot, association, [&] {
               return m_context.port->postReceiveFrom(socket, association->dataSlot, association->buffer.get(),
                                                      UdpFlow::kBufferSize,
                                                      reinterpret_cast<sockaddr *>(&association->sender),
                                                      sizeof association->sender);
           }) == 0;
}

// The control connection carries nothing more; its close ends the association.
bool DnsAssociationPool::postControlWatch(const AssociationPtr &association)
{
    std::lock_guard lock(m_mutex);
    const int socket = association->relay.controlSocket();
    if (association->state != Association::State::Up || socket < 0)
        return true;
    return m_live.post(&association->controlSlot, association, [&] {
               return m_context.port->postReceive(socket, association->controlSlot, &association->controlByte, 1);
           }) == 0;
}

bool DnsAssociationPool::onCompletion(const CompletionPort::Completion &completion)
{
    const AssociationPtr association = m_live.take(completion.slot);
    if (!association)
        return false;
    {
        std::lock_guard lock(m_mutex);
        if (association->state != Association::State::Up)
            return true;
    }
    if (completion.slot == &association->controlSlot || !completion.success) {
        qDebug() << kTag << "The proxy ended a DNS association; its queries go out on another";
        lose(association);
        return true;
    }
    if (completion.bytes > 0)
        deliverAnswer(association, completion.bytes);
    if (!postReceive(association))
        lose(association);
    return true;
}

void DnsAssociationPool::deliverAnswer(const AssociationPtr &association, std::uint32_t bytes)
{
    const Endpoint sender = Endpoint::fromSocketAddress(reinterpret_cast<const sockaddr *>(&association->sender),
                                                        sizeof association->sender);
    const auto datagram = Socks5Message::parseUdpDatagram(association->buffer.get(), bytes);
    Query query;
    {
        std::lock_guard lock(m_mutex);
        // Only the association's relay answers, and only with a whole DNS header.
        if (sender != association->relay.relayEndpoint() || !datagram || datagram->payloadLength < kMinQueryLength) {
            dropLocked(1);
            if (g_strangerLog.admit())
                qWarning() << kTag << "Dropping a datagram on a DNS association: not an answer from its relay";
            return;
        }
        const auto it = association->inFlight.find(queryId(datagram->payload));
        if (it == association->inFlight.end()) {
            dropLocked(1);
            return; // a late or repeated answer: its asker has it or gave up
        }
        query = std::move(it->second);
        association->inFlight.erase(it);
    }
    std::vector<std::uint8_t> answer(datagram->payload, datagram->payload + datagram->payloadLength);
    setQueryId(answer.data(), queryId(query.payload.data()));
    if (m_context.names && datagram->sourcePort == UdpAssociations::kDnsPort &&
        answer.size() >= DnsNameCache::kMinAnswerLength)
        m_context.names->addAnswers(answer.data(), answer.size());
    const UdpFlowKey &key = query.key;
    const std::vector<std::uint8_t> packet = buildUdpPacket(key.destination.address.ipv4(), key.destination.port,
                                                            key.source.address.ipv4(), key.source.port,
                                                            answer.data(), answer.size());
    if (!m_context.output(packet.data(), packet.size()))
        return;
    query.stats->addDown(answer.size());
    m_context.counters->addDown(answer.size());
    m_context.counters->countDnsAnswer();
}

void DnsAssociationPool::lose(const AssociationPtr &association)
{
    std::vector<std::uint64_t> handshakes;
    std::vector<AssociationPtr> toOpen;
    {
        std::lock_guard lock(m_mutex);
        if (association->state == Association::State::Closed)
            return;
        const bool wasUp = association->state == Association::State::Up;
        // Its queries are sent again first, in the order they came.
        std::vector<Query> carried;
        for (auto &entry : association->inFlight)
            carried.push_back(std::move(entry.second));
        association->inFlight.clear();
        std::sort(carried.begin(), carried.end(),
                  [](const Query &a, const Query &b) { return a.queuedAt < b.queuedAt; });
        m_waiting.insert(m_waiting.begin(), std::make_move_iterator(carried.begin()),
                         std::make_move_iterator(carried.end()));
        closeLocked(*association, &handshakes);
        resendWaitingLocked("Dropping a DNS query of an association that ended");
        // One that never came up is tried again by expire(), not at once: a
        // proxy that grants and then fails every association would spin here.
        if (wasUp && !m_waiting.empty())
            toOpen = replenishLocked();
    }
    for (std::uint64_t handshake : handshakes)
        m_context.socks->cancel(handshake);
    for (const AssociationPtr &fresh : toOpen)
        open(fresh);
}

void DnsAssociationPool::closeLocked(Association &association, std::vector<std::uint64_t> *handshakes)
{
    association.state = Association::State::Closed;
    std::erase_if(m_associations, [&](const AssociationPtr &a) { return a.get() == &association; });
    // Closing through the port completes pending operations with a failure;
    // the association stays alive through its live slots until they are delivered.
    const auto [control, udp] = association.relay.releaseSockets();
    m_context.port->closeSocket(control);
    m_context.port->closeSocket(udp);
    association.inFlight.clear();
    if (association.handshake != 0)
        handshakes->push_back(std::exchange(association.handshake, 0));
}

void DnsAssociationPool::expire(std::int64_t nowNs)
{
    std::size_t dropped = 0;
    std::vector<AssociationPtr> toOpen;
    {
        std::lock_guard lock(m_mutex);
        for (const AssociationPtr &association : m_associations)
            std::erase_if(association->inFlight,
                          [&](const auto &entry) { return nowNs - entry.second.sentAt > kAnswerTimeoutNs; });
        while (!m_waiting.empty() && nowNs - m_waiting.front().queuedAt > kWaitTimeoutNs) {
            m_waiting.pop_front();
            ++dropped;
        }
        dropLocked(dropped);
        // Associations that failed to open are tried again here, not at once.
        if (!m_waiting.empty())
            toOpen = replenishLocked();
    }
    if (dropped > 0 && g_droppedLog.admit())
        qWarning() << kTag << "Dropped" << dropped << "DNS queries: no association came up within"
                   << kWaitTimeoutNs / 1'000'000 << "ms";
    for (const AssociationPtr &association : toOpen)
        open(association);
}

std::size_t DnsAssociationPool::closeAll()
{
    std::vector<std::uint64_t> handshakes;
    std::size_t count = 0;
    {
        std::lock_guard lock(m_mutex);
        const std::vector<AssociationPtr> all = m_associations;
        for (const AssociationPtr &association : all)
            closeLocked(*association, &handshakes);
        count = all.size();
        dropLocked(m_waiting.size());
        m_waiting.clear();
    }
    for (std::uint64_t handshake : handshakes)
        m_context.socks->cancel(handshake);
    return count;
}

std::size_t DnsAssociationPool::associationsUp() const
{
    std::lock_guard lock(m_mutex);
    return std::size_t(std::count_if(m_associations.begin(), m_associations.end(),
                                     [](const AssociationPtr &a) { return a->state == Association::State::Up; }));
}

std::size_t DnsAssociationPool::queriesInFlight() const
{
    std::lock_guard lock(m_mutex);
    std::size_t count = 0;
    for (const AssociationPtr &association : m_associations)
        count += association->inFlight.size();
    return count;
}

std::size_t DnsAssociationPool::queriesWaiting() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting.size();
}

void DnsAssociationPool::dropLocked(std::size_t queries)
{
    if (queries > 0)
        m_context.counters->drop(TunnelCounters::Drop::UdpNotRelayed, queries);
}

void DnsAssociationPool::appendFlows(std::vector<FlowEntry> &flows) const
{
    std::lock_guard lock(m_mutex);
    auto add = [&flows](const Query &query) {
        flows.push_back(FlowEntry{false, query.key.source, query.key.destination, true, query.stats});
    };
    for (const AssociationPtr &association : m_associations)
        for (const auto &entry : association->inFlight)
            add(entry.second);
    for (const Query &query : m_waiting)
        add(query);
}
