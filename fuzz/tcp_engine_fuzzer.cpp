// The user-space TCP engine's connection table fed random segments: the input
// is a script of steps (a segment of one of four applications with fuzzed
// flags, sequence and acknowledgement near the live values, window, options
// and payload; raw bytes as a packet; the proxy accepting or refusing a
// handshake, sending bytes or closing; time passing; the TUN device refusing
// writes; a reset of every connection). Whatever it does, every packet the
// engine writes must be a well-formed TCP segment with verifying checksums,
// and the table may hold no more connections than SYNs were sent.

#include "packet/PacketCodec.h"
#include "packet/PacketInfo.h"
#include "packet/RoutingPolicy.h"
#include "tun/TcpConnectionTable.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
class Script {
public:
    Script(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}
    bool done() const { return m_at >= m_size; }
    std::uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    std::uint32_t word()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | byte();
        return v;
    }
    const std::uint8_t *take(std::size_t &length)
    {
        length = std::min(length, m_size - std::min(m_at, m_size));
        const std::uint8_t *p = m_data + m_at;
        m_at += length;
        return p;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

void checkWritten(const std::uint8_t *packet, std::size_t length)
{
    const PacketInfo info = parsePacket(packet, length);
    if (!info.valid || !info.isTcp())
        std::abort();
    if (info.version != 4)
        return; // an RST answering a stray IPv6 segment
    const std::size_t ihl = std::size_t(packet[0] & 0x0F) * 4;
    if (internetChecksum(packet, ihl) != 0)
        std::abort();
    const std::uint8_t *tcp = info.transport;
    std::uint16_t stored; // as the codec stores it
    std::memcpy(&stored, tcp + 16, 2);
    const std::size_t tcpHeaderLen = std::size_t(tcp[12] >> 4) * 4;
    if (tcpChecksum(packet, tcp, tcpHeaderLen, info.payload, info.payloadLen) != stored)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Script script(data, size);
    CompletionPort port;
    if (!port.create())
        return 0;
    RoutingPolicy policy;
    policy.setProxyPort(1080);
    policy.setDirectPort(1081);
    std::vector<AsyncSocksClient::Handler> handlers;
    std::vector<int> peers;
    std::int64_t now = 1'000'000'000;
    bool refuse = false;
    std::size_t syns = 0;

    TcpConnectionTable::Settings settings;
    settings.policy = &policy;
    settings.tunnelIp = 0x0A060701;
    settings.connector.start = [&](AsyncSocksClient::Request, AsyncSocksClient::Handler handler) {
        handlers.push_back(std::move(handler));
        return std::uint64_t(handlers.size());
    };
    settings.connector.cancel = [](std::uint64_t) {};
    settings.output = [&](const std::uint8_t *packet, std::size_t length) {
        checkWritten(packet, length);
        return !refuse;
    };
    settings.clock = [&] { return now; };
    settings.initialSequence = [] { return 0xFFFFF000u; };
    settings.timerThread = false;
    TcpConnectionTable table(port, std::move(settings));
    table.start();

    const auto pump = [&] {
        CompletionPort::Completion completion;
        for (int i = 0; i < 64 && port.wait(0, completion) == CompletionPort::WaitResult::Completed; ++i)
            table.onCompletion(completion);
    };
    std::vector<std::uint8_t> packet(70000);
    std::uint32_t lastAck = 0xFFFFF001u;
    for (int step = 0; step < 200 && !script.done(); ++step) {
        const std::uint8_t op = script.byte() % 8;
        if (op <= 2) {
            // A segment from application (0-3), near the live sequence numbers.
            const std::uint8_t who = script.byte() % 4;
            TcpSegmentFields fields;
            fields.source = Endpoint::fromIpv4(0xAC1F0002, std::uint16_t(40000 + who));
            fields.destination = who == 3 ? Endpoint::fromIpv4(0x0A060702, 53) : Endpoint::fromIpv4(0xC612000A, 80);
            fields.flags = script.byte();
            fields.seq = 1000u * who + (script.byte() % 2 ? script.word() : std::uint32_t(script.byte()) * 100);
            fields.ack = script.byte() % 2 ? script.word() : lastAck + std::uint32_t(script.byte()) * 100;
            fields.window = std::uint16_t(script.byte() << 8 | script.byte());
            std::uint8_t options[40];
            std::size_t optionsLen = std::size_t(script.byte() % 11) * 4;
            std::memcpy(options, script.take(optionsLen), optionsLen);
            fields.options = options;
            fields.optionsLen = optionsLen - optionsLen % 4;
            std::size_t payloadLen = std::size_t(script.byte()) * (op == 2 ? 256 : 1);
            fields.payload = script.take(payloadLen);
            fields.payloadLen = payloadLen;
            const std::size_t length = writeTcpSegment(fields, packet.data(), packet.size());
            if (length == 0)
                continue;
            const PacketInfo info = parsePacket(packet.data(), length);
            syns += info.hasFlag(PacketInfo::kSyn) && !info.hasFlag(PacketInfo::kAck);
            table.onTcpPacket(info);
        } else if (op == 3) {
            std::size_t length = script.byte();
            const std::uint8_t *raw = script.take(length);
            std::memcpy(packet.data(), raw, length);
            const PacketInfo info = parsePacket(packet.data(), length);
            syns += info.valid && info.isTcp() && info.hasFlag(PacketInfo::kSyn) && !info.hasFlag(PacketInfo::kAck);
            table.onTcpPacket(info);
        } else if (op == 4 && !handlers.empty()) {
            // The proxy answers a handshake: accepted (a socket pair) or refused.
            const std::size_t i = script.byte() % handlers.size();
            if (!handlers[i])
                continue;
            AsyncSocksClient::Result result;
            int pair[2];
            if (script.byte() % 3 == 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                result.failure = AsyncSocksClient::Failure::RequestRejected;
            } else {
                port.associate(pair[0], std::uint64_t(CompletionKey::UserTcp));
                peers.push_back(pair[1]);
                result.socket = pair[0];
            }
            auto handler = std::exchange(handlers[i], nullptr);
            handler(std::move(result));
        } else if (op == 5 && !peers.empty()) {
            // The proxy sends bytes, or ends its side.
            const int peer = peers[script.byte() % peers.size()];
            std::size_t length = std::size_t(script.byte()) * 64;
            const std::uint8_t *bytes = script.take(length);
            if (length == 0)
                ::shutdown(peer, SHUT_WR);
            else
                (void)::send(peer, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else if (op == 6) {
            now += std::int64_t(script.byte()) * 50'000'000;
            refuse = script.byte() % 4 == 0;
            table.runTimers(now);
        } else if (op == 7) {
            table.resetAll();
        }
        pump();
        if (table.connectionCount() > syns)
            std::abort();
    }
    refuse = false;
    table.stop();
    for (int fd : peers)
        ::close(fd);
    pump();
    table.releaseRecords();
    port.close();
    return 0;
}
