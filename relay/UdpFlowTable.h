#pragma once
// The UDP flow table: the second road for UDP, used for IPv6 and whenever the
// UDP-NAT module cannot take an IPv4 datagram. Each flow opens its SOCKS5 UDP
// ASSOCIATE asynchronously on the completion port, under the port the routing
// policy chooses for it; datagrams that arrive before the association is up
// wait in the flow's queue. Queries to T + 1 port 53 go to the DNS redirect
// address. Data sockets complete under key 1, control connections under key 3.

#include "packet/PacketInfo.h"
#include "relay/UdpAssociations.h"

#include <cstdint>
#include <memory>
#include <vector>

class UdpFlowTable : public FlowSource {
public:
    static constexpr CompletionKey kDataKey = CompletionKey::UdpFlowData;
    static constexpr CompletionKey kControlKey = CompletionKey::UdpFlowControl;
    static constexpr std::int64_t kIdleTimeoutNs = UdpAssociations::kIdleTimeoutNs;

    explicit UdpFlowTable(const UdpAssociations::Context &context);
    UdpFlowTable(const UdpFlowTable &) = delete;
    UdpFlowTable &operator=(const UdpFlowTable &) = delete;

    void attach(CompletionDispatcher &dispatcher) { m_flows.attach(dispatcher); }
    void setRunning(bool running) { m_flows.setRunning(running); }

    // One UDP packet from the adapter (reader thread). False when it was not
    // taken (not running, or its flow could not take it).
    bool handleUdpPacket(const PacketInfo &packet);
    // A completion of key 1 or 3; false when it belongs to no live flow.
    bool onCompletion(const CompletionPort::Completion &completion) { return m_flows.onCompletion(completion); }

    void removeFlow(const UdpFlowKey &key) { m_flows.removeFlow(key); }
    // Removes flows idle for more than kIdleTimeoutNs before nowNs; their count.
    std::size_t sweepIdle(std::int64_t nowNs) { return m_flows.sweepIdle(nowNs); }
    // Takes every flow out of the table (reset); closeFlow closes each later.
    std::vector<std::shared_ptr<UdpFlow>> takeAll() { return m_flows.takeAll(); }
    void closeFlow(const std::shared_ptr<UdpFlow> &flow) { m_flows.closeFlow(flow); }
    // Closes every flow (stop).
    void closeAll() { m_flows.closeAll(); }
    void releaseRecords() { m_flows.releaseRecords(); }

    std::size_t flowCount() const { return m_flows.flowCount(); }
    bool hasFlow(const UdpFlowKey &key) const { return m_flows.hasFlow(key); }
    std::uint64_t establishedCount() const { return m_flows.establishedCount(); }
    void appendFlows(std::vector<FlowEntry> &flows) const override { m_flows.appendFlows(flows); }

private:
    UdpAssociations m_flows;
};
