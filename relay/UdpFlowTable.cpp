#include "relay/UdpFlowTable.h"

#include "packet/RoutingPolicy.h"

namespace {
UdpAssociations::Path flowTablePath()
{
    UdpAssociations::Path path;
    path.tag = "[UDP]";
    path.dataKey = UdpFlowTable::kDataKey;
    path.controlKey = UdpFlowTable::kControlKey;
    return path;
}
} // namespace

UdpFlowTable::UdpFlowTable(const UdpAssociations::Context &context) : m_flows(context, flowTablePath()) {}

bool UdpFlowTable::handleUdpPacket(const PacketInfo &packet)
{
    if (!m_flows.isRunning() || !packet.valid || !packet.isUdp())
        return false;
    const UdpAssociations::Context &context = m_flows.context();
    const Endpoint real = context.policy->effectiveDestination(packet, context.tunnelIp);
    return m_flows.send(UdpFlowKey{packet.source(), packet.destination()}, real, packet.payload, packet.payloadLen);
}
