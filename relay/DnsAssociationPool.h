#pragma once
// Queries to the tunnel's own DNS (T + 1 or the DNS redirect address, port 53)
// from every application socket share a few SOCKS5 UDP associations through
// the direct port, opened once and kept, instead of one association (and one
// handshake) per asking socket. Each query leaves under an id of the pool's
// own, unique on its association, so that equal ids from different sockets
// cannot cross; its answer gets the asker's id back and goes to the asking
// socket from the address that socket asked. Answers teach the DNS name cache.
// An association the proxy ends is replaced, and the queries it still
// carried go out again on another. While no association is up, queries wait
// (at most kMaxWaiting); one that waits longer than kWaitTimeoutNs is dropped
// with a warning, never silently. Completions come under key 9.

#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "base/LiveSlots.h"
#include "relay/FlowSource.h"
#include "relay/TunnelCounters.h"
#include "relay/UdpAssociations.h"
#include "relay/UdpFlow.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

class DnsAssociationPool : public FlowSource {
public:
    static constexpr CompletionKey kCompletionKey = CompletionKey::DnsPool;
    static constexpr std::size_t kAssociations = 2;
    static constexpr std::size_t kMinQueryLength = 12; // a DNS header
    static constexpr std::size_t kMaxWaiting = 4096;
    static constexpr std::size_t kIdsPerAssociation = 65536;
    // A resolver gives up on a query after 5 s by default: a query that has
    // waited that long for an association is of no use any more.
    static constexpr std::int64_t kWaitTimeoutNs = 5'000'000'000;
    // An id whose answer never came is free again after this long.
    static constexpr std::int64_t kAnswerTimeoutNs = 10'000'000'000;
    static constexpr int kHandshakeTimeoutMs = 5000;

    explicit DnsAssociationPool(const UdpAssociations::Context &context);
    ~DnsAssociationPool() override;
    DnsAssociationPool(const DnsAssociationPool &) = delete;
    DnsAssociationPool &operator=(const DnsAssociationPool &) = delete;

    // Registers the completion handler of key 9 and the time-outs (worker 0's housekeeping).
    void attach(CompletionDispatcher &dispatcher);
    void setRunning(bool running) { m_running.store(running); }

    // True for what the pool carries: a DNS query (header included) from an
    // IPv4 application to the tunnel's DNS.
    bool takes(const UdpFlowKey &key, std::size_t length) const;
    // Sends the query, or queues it while no association is up (reader
    // thread). False when it was not taken (logged): not running, the queue
    // full, or the send refused.
    bool forward(const UdpFlowKey &key, const Endpoint &realDestination, const std::uint8_t *payload,
                 std::size_t length);
    // A completion of key 9; false when it belongs to no live association.
    bool onCompletion(const CompletionPort::Completion &completion);
    // Drops queries past their time-outs and reopens associations that queries
    // wait for; nowNs monotonic.
    void expire(std::int64_t nowNs);

    // Closes every association and forgets every query; their count of associations.
    std::size_t closeAll();
    // Lets go of associations kept for operations still posted; only once no
    // worker waits on the port any more.
    void releaseRecords() { m_live.clear(); }

    std::size_t associationsUp() const;
    std::size_t queriesInFlight() const;
    std::size_t queriesWaiting() const;
    std::uint64_t associationsOpened() const { return m_opened.load(); }
    // One entry per query in flight or waiting, each a flow of its own.
    void appendFlows(std::vector<FlowEntry> &flows) const override;

private:
    struct Query;
    struct Association;
    using AssociationPtr = std::shared_ptr<Association>;

    // Under the mutex: the query sent on an association that is up and has a
    // free id, else queued. False when neither was possible.
    bool sendOrQueueLocked(Query &&query);
    bool sendLocked(Association &association, Query &&query);
    // Under the mutex: the waiting queries sent or queued again, the rest dropped with dropWarning.
    void resendWaitingLocked(const char *dropWarning);
    // Under the mutex: new associations while fewer than kAssociations are up
    // or opening; to be opened once the mutex is let go.
    std::vector<AssociationPtr> replenishLocked();
    void open(const AssociationPtr &association);
    void onAssociated(const AssociationPtr &association, AsyncSocksClient::Result &&result);
    bool setUpLocked(Association &association, const AsyncSocksClient::Result &result);
    bool postReceive(const AssociationPtr &association);
    bool postControlWatch(const AssociationPtr &association);
    void deliverAnswer(const AssociationPtr &association, std::uint32_t bytes);
    // The association is gone: its sockets close, its queries wait for another.
    void lose(const AssociationPtr &association);
    void closeLocked(Association &association, std::vector<std::uint64_t> *handshakes);

    // Under the mutex: queries lost, counted as not relayed.
    void dropLocked(std::size_t queries);

    TunnelCounters m_ownCounters;
    UdpAssociations::Context m_context;
    std::atomic<bool> m_running{false};
    std::atomic<std::uint64_t> m_opened{0};
    LiveSlots<Association> m_live;
    mutable std::mutex m_mutex; // the associations, their queries, the queue, the id source
    std::vector<AssociationPtr> m_associations;
    std::size_t m_nextAssociation = 0;
    std::deque<Query> m_waiting;
    std::minstd_rand m_ids;
};
