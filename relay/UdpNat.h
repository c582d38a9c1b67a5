#pragma once
// The first road for IPv4 UDP in the TUN mode: one SOCKS5 UDP ASSOCIATE per
// flow (application endpoint -> addressed destination), its datagrams
// exchanged over a UDP socket on the completion port (key 8 for both of its
// sockets). Each flow goes through the port the routing policy chooses for
// it, as TCP does: DNS and bypass destinations and the programs sent direct
// use the direct port, the rest the proxy port. Answers become IPv4/UDP
// packets from the addressed destination, so a query to T + 1 is answered
// from T + 1. At most kMaxSessions sessions live at once (the least recently
// active one makes room); a handshake is bounded by kHandshakeTimeoutMs.

#include "relay/DnsAssociationPool.h"
#include "relay/UdpAssociations.h"

#include <cstdint>
#include <memory>
#include <string>

// UDP-NAT's sessions are flows of the shared machinery, keyed by the
// application's endpoint and the destination it addressed.
using UdpNatKey = UdpFlowKey;
using UdpNatSession = UdpFlow;

class UdpNat : public FlowSource {
public:
    static constexpr CompletionKey kCompletionKey = CompletionKey::UdpNat;
    static constexpr int kHandshakeTimeoutMs = 5000;
    static constexpr std::size_t kMaxSessions = 1024;

    UdpNat() = default;
    ~UdpNat() override;
    UdpNat(const UdpNat &) = delete;
    UdpNat &operator=(const UdpNat &) = delete;

    // False when the context lacks what forwarding needs.
    bool initialise(const UdpAssociations::Context &context);
    void attach(CompletionDispatcher &dispatcher);
    bool isRunning() const { return m_sessions && m_sessions->isRunning(); }

    // One datagram from an application (adapter reader thread); never waits for
    // the proxy. False when the datagram could not be taken.
    bool forward(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t addressedDestination,
                 std::uint16_t addressedPort, std::uint32_t realDestination, std::uint16_t realPort,
                 const std::uint8_t *payload, std::size_t length);

    // A completion of key 8; false when it belongs to no live session.
    bool onReceiveCompleted(const CompletionPort::Completion &completion);
    std::size_t sweepIdle(std::int64_t nowNs);

    // Closes every session and stops forwarding; completions already posted
    // stay routed to their records until releaseRecords().
    void shutdown();
    // Closes every session and keeps running (connection reset); their count.
    std::size_t closeAll();
    void releaseRecords();

    std::size_t sessionCount() const;
    // The sessions, then the DNS queries in flight or waiting.
    void appendFlows(std::vector<FlowEntry> &flows) const override;
    // Null before initialise().
    const DnsAssociationPool *dnsPool() const { return m_dnsPool.get(); }
    bool hasSession(const UdpNatKey &key) const { return m_sessions && m_sessions->hasFlow(key); }

private:
    std::unique_ptr<UdpAssociations> m_sessions;
    std::unique_ptr<DnsAssociationPool> m_dnsPool;
};
