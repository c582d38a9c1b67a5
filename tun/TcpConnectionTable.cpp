#include "tun/TcpConnectionTable.h"

#include "base/Clock.h"
#include "base/Log.h"
#include "base/LogLimiter.h"
#include "packet/DnsNameCache.h"
#include "packet/PacketCodec.h"
#include "packet/PacketInfo.h"
#include "packet/RoutingPolicy.h"

#include <array>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sys/socket.h>
#include <vector>

namespace {
LogLimiter g_createdLog(20, 1000);
LogLimiter g_cleanedLog(20, 1000);
LogLimiter g_clientSynLog(10);
LogLimiter g_establishedLog(20);
LogLimiter g_outOfOrderLog(20);
LogLimiter g_duplicateLog(20);
LogLimiter g_uploadLog(20);
LogLimiter g_overrunLog(5, 50);
LogLimiter g_downloadLog(20);
LogLimiter g_stopReceiveLog(5, 50);
LogLimiter g_resumeReceiveLog(5, 50);
LogLimiter g_drainLog(10, 100);
LogLimiter g_receiveFailLog(20, 1000);
LogLimiter g_sendFailLog(20, 1000);
LogLimiter g_retransmitLog(20, 1000);
LogLimiter g_giveUpLog(10, 1000);
LogLimiter g_unknownLog(20, 1000);
LogLimiter g_fullLog(10, 1000);
LogLimiter g_refusedWriteLog(10, 1000);

// One packet under construction per thread: segments are built and written
// one at a time.
std::uint8_t *packetBuffer()
{
    thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[TcpConnection::kMaxPacketSize]);
    return buffer.get();
}

std::uint32_t randomSequence()
{
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uint32_t(generator());
}

// The destination of log lines: the host name when one is known.
std::string destinationText(const TcpConnection &connection)
{
    return connection.hostName.empty() ? connection.key.destination().address.toString() : connection.hostName;
}

std::string hexPrefix(const std::uint8_t *data, std::size_t length)
{
    std::string out;
    char item[4];
    for (std::size_t i = 0; i < std::min<std::size_t>(length, 16); ++i) {
        std::snprintf(item, sizeof item, "%02x ", data[i]);
        out += item;
    }
    return out;
}

// Every failure of the handshake but a local one (no socket could be made)
// tells the application at once; after a local failure its SYN is sent again
// and makes a fresh attempt.
bool resetsApplication(AsyncSocksClient::Failure failure)
{
    return failure != AsyncSocksClient::Failure::Socket && failure != AsyncSocksClient::Failure::None;
}
} // namespace

TcpConnectionTable::ProxyConnector TcpConnectionTable::ProxyConnector::of(AsyncSocksClient &client)
{
    return {[&client](AsyncSocksClient::Request request, AsyncSocksClient::Handler handler) {
                return client.startProxyConnect(std::move(request), std::move(handler));
            },
            [&client](std::uint64_t id) { client.cancel(id); }};
}

TcpConnectionTable::TcpConnectionTable(CompletionPort &port, Settings settings)
    : m_port(port), m_settings(std::move(settings))
{
    m_counters = m_settings.counters ? m_settings.counters : &m_ownCounters;
    if (!m_settings.clock)
        m_settings.clock = monotonicNanoseconds;
    if (!m_settings.initialSequence)
        m_settings.initialSequence = randomSequence;
}

TcpConnectionTable::~TcpConnectionTable()
{
    stop();
}

void TcpConnectionTable::attach(CompletionDispatcher &dispatcher)
{
    dispatcher.setHandler(kCompletionKey, [this](const CompletionPort::Completion &c) { return onCompletion(c); });
}

void TcpConnectionTable::start()
{
    if (m_running.exchange(true))
        return;
    if (m_settings.timerThread)
        m_timer = std::thread([this] { timerLoop(); });
}

void TcpConnectionTable::stop()
{
    if (!m_running.exchange(false))
        return;
    wakeTimer();
    if (m_timer.joinable())
        m_timer.join();
    resetAll();
}

std::size_t TcpConnectionTable::resetAll()
{
    std::vector<ConnectionPtr> all;
    {
        std::lock_guard lock(m_tableMutex);
        for (const auto &entry : m_connections)
            all.push_back(entry.second);
    }
    for (const ConnectionPtr &connection : all) {
        std::uint64_t handshake = 0;
        {
            std::lock_guard lock(connection->mutex);
            handshake = removeConnection(connection, true);
        }
        if (handshake != 0)
            m_settings.connector.cancel(handshake);
    }
    return all.size();
}

std::int64_t TcpConnectionTable::now() const
{
    return m_settings.clock();
}

std::size_t TcpConnectionTable::connectionCount() const
{
    return m_count.load();
}

void TcpConnectionTable::appendFlows(std::vector<FlowEntry> &flows) const
{
    const std::uint16_t directPort = m_settings.policy ? m_settings.policy->directPort() : 0;
    std::lock_guard lock(m_tableMutex);
    for (const auto &[key, connection] : m_connections)
        flows.push_back(FlowEntry{true, key.client(), key.destination(), connection->socksPort == directPort,
                                  connection->stats});
}

std::shared_ptr<TcpConnection> TcpConnectionTable::find(const ConnectionKey &key) const
{
    std::lock_guard lock(m_tableMutex);
    const auto it = m_connections.find(key);
    return it == m_connections.end() ? nullptr : it->second;
}

bool TcpConnectionTable::write(const std::uint8_t *packet, std::size_t length)
{
    return length != 0 && m_settings.output && m_settings.output(packet, length);
}

// ---- Segments from the application (TUN reader thread) ----

void TcpConnectionTable::onTcpPacket(const PacketInfo &packet)
{
    if (!m_running.load(std::memory_order_relaxed) || !packet.valid || !packet.isTcp() || !packet.transport)
        return;
    const ConnectionKey key = ConnectionKey::fromPacket(packet);
    const ConnectionPtr connection = find(key);
    const bool syn = packet.hasFlag(PacketInfo::kSyn);
    if (syn && !packet.hasFlag(PacketInfo::kAck) && !packet.hasFlag(PacketInfo::kRst)) {
        if (connection)
            onRepeatedSyn(connection, packet);
        else
            onSyn(packet, key);
        return;
    }
    if (!connection) {
        answerUnknown(packet);
        return;
    }
    std::uint64_t handshake = 0;
    {
        std::lock_guard lock(connection->mutex);
        if (connection->closed)
            return;
        if (connection->state.load() == TcpConnection::kConnecting) {
            // The SYN is not answered yet: only the application's RST means something.
            if (packet.hasFlag(PacketInfo::kRst))
                handshake = removeConnection(connection, false);
        } else {
            onSegment(connection, packet);
        }
    }
    if (handshake != 0)
        m_settings.connector.cancel(handshake);
}

void TcpConnectionTable::onSyn(const PacketInfo &packet, const ConnectionKey &key)
{
    if (m_count.load() >= kMaxConnections) {
        if (g_fullLog.admit())
            Log::warning("[TCP-CONN] Connection table full (", kMaxConnections, ") - refusing port:", key.clientPort);
        answerUnknown(packet);
        return;
    }
    auto connection = std::make_shared<TcpConnection>(key);
    connection->stats->setOwner(FlowStats::Owner{});
    connection->acceptSyn(packet, m_settings.initialSequence(), now());
    chooseRoute(*connection);
    connection->state.store(TcpConnection::kConnecting);
    if (g_clientSynLog.admit()) {
        const std::uint8_t *tcp = packet.transport;
        const std::size_t headerLen = std::size_t(tcp[12] >> 4) * 4;
        Log::info("[CLIENT-SYN]", key.client().toString(), "->", key.destination().toString(),
                  "MSS:", connection->synOptions.mss, "Options:",
                  headerLen > PacketCodec::kTcpHeaderLen && packet.payload
                      ? hexPrefix(tcp + PacketCodec::kTcpHeaderLen, headerLen - PacketCodec::kTcpHeaderLen)
                      : std::string());
    }
    std::size_t total = 0;
    {
        std::lock_guard lock(m_tableMutex);
        m_connections[key] = connection;
        total = m_connections.size();
        m_count.store(total);
    }
    if (g_createdLog.admit())
        Log::debug("[TCP-CONN] Created new connection, total active:", total);
    if (total == 1)
        wakeTimer();
    startProxyConnect(connection, !connection->hostName.empty());
}

// A connection from another host or namespace has no local owner: the route
// follows the destination alone. TCP DNS to the tunnel's DNS address goes to
// the DNS redirect address; its answers still come from the address asked.
void TcpConnectionTable::chooseRoute(TcpConnection &connection) const
{
    const Endpoint addressed = connection.key.destination();
    const RoutingPolicy &policy = *m_settings.policy;
    connection.proxyDestination = addressed;
    if (connection.key.family == 4 && connection.key.destinationAddress == m_settings.tunnelIp + 1 &&
        addressed.port == RoutingPolicy::kDnsPort) {
        connection.proxyDestination = Endpoint::fromIpv4(policy.dnsRedirectIp(), RoutingPolicy::kDnsPort);
    } else if (m_settings.names) {
        connection.hostName = addressed.address.isIpv6() ? m_settings.names->lookupIpv6(addressed.address.bytes())
                                                         : m_settings.names->lookupIpv4(addressed.address.ipv4());
    }
    connection.socksPort =
        policy.choosePort(std::string(), connection.proxyDestination.address, connection.proxyDestination.port);
}

// The application sent its SYN again while the connection exists: the same
// SYN (our SYN+ACK was lost) is answered again once the proxy has accepted;
// another one on a connection it still holds gets an acknowledgement of what
// is known (RFC 5961), which the application answers with an RST if it has
// moved on.
void TcpConnectionTable::onRepeatedSyn(const ConnectionPtr &connection, const PacketInfo &packet)
{
    std::lock_guard lock(connection->mutex);
    if (connection->closed || connection->state.load() == TcpConnection::kConnecting)
        return;
    if (packet.seq != connection->synSequence) {
        sendAck(*connection);
        return;
    }
    if (connection->download.synAcknowledged())
        return;
    TcpDownloadPath::Segment synAck;
    synAck.seq = connection->download.unacknowledged();
    synAck.flags = PacketInfo::kSyn;
    synAck.retransmission = true;
    std::uint8_t *buffer = packetBuffer();
    write(buffer, connection->buildSegment(synAck, buffer, TcpConnection::kMaxPacketSize));
}

void TcpConnectionTable::onSegment(const ConnectionPtr &connection, const PacketInfo &packet)
{
    TcpConnection &c = *connection;
    if (packet.hasFlag(PacketInfo::kRst)) {
        if (c.upload.inWindow(packet.seq))
            removeConnection(connection, false);
        return;
    }
    if (packet.hasFlag(PacketInfo::kSyn)) {
        sendAck(c);
        return;
    }
    if (!packet.hasFlag(PacketInfo::kAck))
        return;
    const std::int64_t time = now();
    bool ackOwed = onAcknowledgement(connection, packet, time);
    if (c.closed)
        return;
    if (c.download.synAcknowledged() && (packet.payloadLen > 0 || packet.hasFlag(PacketInfo::kFin)))
        ackOwed = onData(connection, packet, time) || ackOwed;
    if (c.closed)
        return;
    // Segments sent now carry the acknowledgement.
    if (sendToApplication(connection, time) == 0 && ackOwed)
        sendAck(c);
    finishIfDone(connection);
    if (!c.closed)
        scheduleWake(c);
}

// True when an acknowledgement of ours is owed at once.
bool TcpConnectionTable::onAcknowledgement(const ConnectionPtr &connection, const PacketInfo &packet,
                                           std::int64_t time)
{
    TcpConnection &c = *connection;
    const bool carriesData = packet.payloadLen > 0 || packet.hasFlag(PacketInfo::kFin);
    const auto result = c.download.onAck(packet.ack, tcpWindow(packet), packet.seq, carriesData, time);
    return result == TcpDownloadPath::AckResult::TooNew;
}

bool TcpConnectionTable::onData(const ConnectionPtr &connection, const PacketInfo &packet, std::int64_t time)
{
    TcpConnection &c = *connection;
    const std::uint32_t expected = c.upload.next();
    const TcpUploadPath::Result result =
        c.upload.onSegment(packet.seq, packet.payload, packet.payloadLen, packet.hasFlag(PacketInfo::kFin));
    const std::uint16_t port = c.key.clientPort;
    using Arrival = TcpUploadPath::Arrival;
    if (result.arrival == Arrival::OutOfOrder && g_outOfOrderLog.admit())
        Log::debug("[OOO-BUFFERED] Buffering future packet - port:", port, "got_seq:", packet.seq,
                   "expected_seq:", expected, "diff:", std::uint32_t(packet.seq - expected),
                   "buffered:", c.upload.outOfOrderSegments());
    else if (result.arrival == Arrival::Duplicate && g_duplicateLog.admit())
        Log::debug("[DUP-DROP] Dropping duplicate/old packet - port:", port, "got_seq:", packet.seq,
                   "expected_seq:", expected);
    else if (result.arrival == Arrival::InOrder && result.taken > 0 && g_uploadLog.admit())
        Log::debug("[DATA-UPLOAD] Queuing", result.taken, "bytes to xray -", "port:", port, "dest:",
                   destinationText(c), "first_bytes:", hexPrefix(packet.payload, packet.payloadLen));
    if ((result.trimmed || result.arrival == Arrival::OutsideWindow) && g_overrunLog.admit())
        Log::warning("[UPLOAD BACKPRESSURE] Queue full - port:", port, "queueSize:", c.upload.buffered());
    if (result.finished && c.state.load() == TcpConnection::kEstablished)
        c.state.store(TcpConnection::kClientClosed);
    if (result.taken > 0 || result.finished)
        postUploadSend(connection);
    if (result.ack == TcpUploadPath::Ack::Now)
        return true;
    if (result.ack != TcpUploadPath::Ack::Delayed)
        return false;
    // Every second full segment is acknowledged at once, a short one (the end
    // of a write) too; a lone full segment within kDelayedAckNs (RFC 5681).
    c.segmentsUnacknowledged += int(std::max<std::size_t>(1, packet.payloadLen / c.offeredMss()));
    if (c.segmentsUnacknowledged >= 2 || packet.payloadLen < c.offeredMss())
        return true;
    if (c.ackDeadline == 0)
        c.ackDeadline = time + kDelayedAckNs;
    return false;
}

// Writes every segment the download path may send now, each carrying the
// acknowledgement and window of the upload path; the count written. A segment
// the TUN device refuses stays unsent, and the drain sends it again.
std::size_t TcpConnectionTable::sendToApplication(const ConnectionPtr &connection, std::int64_t time)
{
    TcpConnection &c = *connection;
    if (c.blocked || c.closed)
        return 0;
    std::uint8_t *buffer = packetBuffer();
    std::size_t written = 0;
    TcpDownloadPath::Segment segment;
    for (;;) {
        // Runs of full segments go as one super-packet where the device cuts them.
        const bool burst = m_settings.offloadOutput && c.download.nextBurst(segment, kMaxBurst);
        if (!burst && !c.download.nextSegment(segment))
            break;
        const std::size_t length = c.buildSegment(segment, buffer, TcpConnection::kMaxPacketSize);
        if (!(burst ? writeSuperPacket(c, buffer, length) : write(buffer, length))) {
            if (g_refusedWriteLog.admit())
                Log::warning("[TCP] TUN device refused a segment - port:", c.key.clientPort, "- the drain retries");
            c.blocked = true;
            break;
        }
        c.download.sent(segment, time);
        c.acknowledgementSent();
        ++written;
    }
    resumeProxyReceive(connection);
    return written;
}

// The packet as the local stack hands a super-packet over: the device cuts it
// into segments of the MSS and completes each checksum, so the TCP checksum
// field holds the pseudo-header's sum alone.
bool TcpConnectionTable::writeSuperPacket(const TcpConnection &connection, std::uint8_t *packet, std::size_t length)
{
    if (length == 0)
        return false;
    const bool v6 = connection.key.family == 6;
    const std::size_t ipLength = v6 ? PacketCodec::kIpv6HeaderLen : PacketCodec::kIpv4HeaderLen;
    const std::size_t tcpLength = length - ipLength;
    std::uint32_t sum = 0;
    const std::size_t addressBytes = v6 ? 32 : 8;
    for (std::size_t i = 0; i < addressBytes; i += 2)
        sum += std::uint32_t(packet[(v6 ? 8 : 12) + i] << 8 | packet[(v6 ? 8 : 12) + i + 1]);
    sum += PacketInfo::kProtocolTcp + std::uint32_t(tcpLength & 0xFFFF) + std::uint32_t(tcpLength >> 16);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    std::uint8_t *tcp = packet + ipLength;
    tcp[16] = std::uint8_t(sum >> 8);
    tcp[17] = std::uint8_t(sum);
    PacketOffload offload;
    offload.gsoType = v6 ? PacketOffload::GsoType::TcpV6 : PacketOffload::GsoType::TcpV4;
    offload.gsoSize = std::uint16_t(connection.download.mss());
    offload.headerLength = std::uint16_t(ipLength + std::size_t(tcp[12] >> 4) * 4);
    offload.checksumPartial = true;
    offload.checksumStart = std::uint16_t(ipLength);
    offload.checksumOffset = 16;
    return m_settings.offloadOutput(packet, length, offload);
}

bool TcpConnectionTable::sendControl(TcpConnection &connection, std::uint8_t flags, std::uint32_t seq)
{
    std::uint8_t *buffer = packetBuffer();
    return write(buffer, connection.buildControl(flags, seq, buffer, TcpConnection::kMaxPacketSize));
}

void TcpConnectionTable::sendAck(TcpConnection &connection)
{
    if (sendControl(connection, PacketInfo::kAck, connection.download.nextSequence()))
        connection.acknowledgementSent();
}

void TcpConnectionTable::answerUnknown(const PacketInfo &packet)
{
    m_counters->drop(TunnelCounters::Drop::NoTcpSession);
    if (packet.hasFlag(PacketInfo::kRst))
        return;
    TcpSegmentFields reset;
    reset.source = packet.destination();
    reset.destination = packet.source();
    if (packet.hasFlag(PacketInfo::kAck)) {
        reset.seq = packet.ack;
        reset.flags = PacketInfo::kRst;
    } else {
        const std::uint32_t control = (packet.hasFlag(PacketInfo::kSyn) ? 1 : 0) + (packet.hasFlag(PacketInfo::kFin) ? 1 : 0);
        reset.ack = packet.seq + std::uint32_t(packet.payloadLen) + control;
        reset.flags = PacketInfo::kRstAck;
    }
    if (g_unknownLog.admit())
        Log::debug("[TCP] Reset for a segment of no connection:", reset.destination.toString(), "->",
                   reset.source.toString());
    std::uint8_t *buffer = packetBuffer();
    write(buffer, writeTcpSegment(reset, buffer, TcpConnection::kMaxPacketSize));
}

// ---- The proxy side ----

void TcpConnectionTable::startProxyConnect(const ConnectionPtr &connection, bool byName)
{
    AsyncSocksClient::Request request;
    request.command = AsyncSocksClient::Command::Connect;
    request.server = Endpoint{m_settings.proxyAddress, connection->socksPort};
    request.destination = connection->proxyDestination;
    request.hostName = byName ? connection->hostName : std::string();
    request.socketKey = kCompletionKey;
    const std::uint64_t id = m_settings.connector.start(
        std::move(request), [this, connection, byName](AsyncSocksClient::Result &&result) {
            onHandshakeResult(connection, std::move(result), byName);
        });
    if (id == 0 && byName) {
        startProxyConnect(connection, false); // a name that cannot be sent: by address
        return;
    }
    std::lock_guard lock(connection->mutex);
    if (id == 0)
        removeConnection(connection, true);
    else if (!connection->closed && connection->state.load() == TcpConnection::kConnecting)
        connection->handshake = id;
}

void TcpConnectionTable::onHandshakeResult(const ConnectionPtr &connection, AsyncSocksClient::Result &&result,
                                           bool byName)
{
    {
        std::lock_guard lock(connection->mutex);
        if (connection->closed) {
            if (result.socket >= 0)
                m_port.closeSocket(result.socket);
            return;
        }
        if (result.ok()) {
            establishConnection(connection, result.socket);
            return;
        }
        // A proxy that refused the name may still reach the address.
        const bool retry = byName && result.failure == AsyncSocksClient::Failure::RequestRejected &&
                           m_running.load();
        if (!retry) {
            removeConnection(connection, resetsApplication(result.failure));
            return;
        }
    }
    startProxyConnect(connection, false);
}

void TcpConnectionTable::establishConnection(const ConnectionPtr &connection, int socket)
{
    TcpConnection &c = *connection;
    // What the application's segments carry goes on as it comes (no Nagle
    // wait for the ACK of the write before).
    const int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c.socket = socket;
    c.handshake = 0;
    c.state.store(TcpConnection::kEstablished);
    sendToApplication(connection, now()); // the SYN+ACK
    if (g_establishedLog.admit())
        Log::debug("[DATA-ESTABLISHED] Connection reached ESTABLISHED state -", "port:", c.key.clientPort,
                   "dest:", destinationText(c), ":", c.key.destinationPort);
    postProxyReceive(connection);
    scheduleWake(c);
}

void TcpConnectionTable::postProxyReceive(const ConnectionPtr &connection)
{
    TcpConnection &c = *connection;
    if (c.closed || c.socket < 0 || c.receivePending || c.proxyEnded)
        return;
    if (c.download.unsentSegments() > kStopThreshold) {
        if (!c.receiveStopped) {
            c.receiveStopped = true;
            if (const std::uint64_t n = g_stopReceiveLog.admit())
                Log::debug("[BACKPRESSURE] Stopping recv - queue full:", "port=", c.key.clientPort,
                           "queueSize=", c.download.unsentSegments(), "packets", "count=", n);
        }
        return;
    }
    c.receiveStopped = false;
    c.receivePending = true;
    const int error = m_live.post(&c.receiveSlot, connection, [&] {
        return m_port.postReceive(c.socket, c.receiveSlot, c.receiveBuffer.get(), TcpConnection::kReceiveSize);
    });
    if (error == 0)
        return;
    c.receivePending = false;
    if (g_receiveFailLog.admit())
        Log::warning("[RECV-FAIL] recv failed (not pending) - port:", c.key.clientPort, "error:", error,
                     "state:", c.state.load(), "dest:", destinationText(c));
    removeConnection(connection, true);
}

// Receiving from the proxy resumes once the application has taken enough.
void TcpConnectionTable::resumeProxyReceive(const ConnectionPtr &connection)
{
    TcpConnection &c = *connection;
    if (!c.receiveStopped || c.download.unsentSegments() >= kResumeThreshold)
        return;
    if (const std::uint64_t n = g_resumeReceiveLog.admit())
        Log::debug("[BACKPRESSURE] Resuming recv - queue drained:", "port=", c.key.clientPort,
                   "queueSize=", c.download.unsentSegments(), "packets", "count=", n);
    c.receiveStopped = false;
    postProxyReceive(connection);
}

void TcpConnectionTable::postUploadSend(const ConnectionPtr &connection)
{
    TcpConnection &c = *connection;
    if (c.closed || c.socket < 0 || c.sendPending)
        return;
    const std::size_t length = c.upload.peek(c.sendBuffer.get(), TcpConnection::kSendSize);
    if (length == 0) {
        // Everything before the application's FIN has reached the proxy: pass the FIN on.
        if (c.upload.finReceived() && !c.proxyWriteShut) {
            ::shutdown(c.socket, SHUT_WR);
            c.proxyWriteShut = true;
            finishIfDone(connection);
        }
        return;
    }
    c.sendPending = true;
    c.postedLength = length;
    const int error = m_live.post(&c.sendSlot, connection, [&] {
        return m_port.postSend(c.socket, c.sendSlot, c.sendBuffer.get(), std::uint32_t(length));
    });
    if (error == 0)
        return;
    c.sendPending = false;
    if (g_sendFailLog.admit())
        Log::warning("[SEND-FAIL] send failed (not pending) - port:", c.key.clientPort, "error:", error,
                     "queueSize:", c.upload.buffered(), "dest:", destinationText(c));
    removeConnection(connection, true);
}

bool TcpConnectionTable::onCompletion(const CompletionPort::Completion &completion)
{
    const ConnectionPtr connection = m_live.take(completion.slot);
    if (!connection)
        return false;
    if (completion.slot == &connection->receiveSlot)
        onDownloadComplete(connection, completion);
    else
        onUploadSendComplete(connection, completion);
    return true;
}

void TcpConnectionTable::onDownloadComplete(const ConnectionPtr &connection,
                                            const CompletionPort::Completion &completion)
{
    std::lock_guard lock(connection->mutex);
    TcpConnection &c = *connection;
    c.receivePending = false;
    if (c.closed)
        return;
    if (!completion.success) {
        // The proxy failed the connection: the application must not wait for more.
        if (g_receiveFailLog.admit())
            Log::warning("[TCP] Proxy connection failed - port:", c.key.clientPort, "error:", completion.error,
                         "dest:", destinationText(c));
        removeConnection(connection, true);
        return;
    }
    const std::int64_t time = now();
    if (completion.bytes == 0) {
        c.proxyEnded = true;
        c.download.finish();
        if (c.state.load() == TcpConnection::kEstablished)
            c.state.store(TcpConnection::kProxyClosed);
    } else {
        if (g_downloadLog.admit())
            Log::debug("[DATA-DOWNLOAD] Received", completion.bytes, "bytes from xray -", "port:", c.key.clientPort,
                       "dest:", destinationText(c), "first_bytes:", hexPrefix(c.receiveBuffer.get(), completion.bytes));
        c.download.append(c.receiveBuffer.get(), completion.bytes);
        c.stats->addDown(completion.bytes);
        m_counters->addDown(completion.bytes);
    }
    sendToApplication(connection, time);
    postProxyReceive(connection);
    finishIfDone(connection);
    if (!c.closed)
        scheduleWake(c);
}

void TcpConnectionTable::onUploadSendComplete(const ConnectionPtr &connection,
                                              const CompletionPort::Completion &completion)
{
    std::lock_guard lock(connection->mutex);
    TcpConnection &c = *connection;
    c.sendPending = false;
    if (c.closed)
        return;
    if (!completion.success || completion.bytes == 0) {
        if (g_sendFailLog.admit())
            Log::warning("[TCP-SEND] Send failed for port", c.key.clientPort, "error:", completion.error);
        removeConnection(connection, true);
        return;
    }
    if (completion.bytes != c.postedLength) {
        Log::critical("[BUG] send sent", completion.bytes, "bytes but we expected", c.postedLength, "bytes!",
                      "This should never happen!");
        removeConnection(connection, true);
        return;
    }
    c.upload.consume(c.postedLength);
    c.stats->addUp(c.postedLength);
    m_counters->addUp(c.postedLength);
    if (c.upload.windowUpdateDue(c.offeredMss()))
        sendAck(c);
    postUploadSend(connection);
    if (!c.closed)
        scheduleWake(c);
}

// Both sides have closed and the application has acknowledged our FIN.
void TcpConnectionTable::finishIfDone(const ConnectionPtr &connection)
{
    TcpConnection &c = *connection;
    if (!c.closed && c.upload.finReceived() && c.proxyWriteShut && c.download.finAcknowledged())
        removeConnection(connection, false);
}

std::uint64_t TcpConnectionTable::removeConnection(const ConnectionPtr &connection, bool reset)
{
    TcpConnection &c = *connection;
    if (c.closed)
        return 0;
    const bool connecting = c.state.load() == TcpConnection::kConnecting;
    if (reset) {
        // Before the SYN is answered the RST acknowledges it; afterwards it
        // carries the highest sequence number sent, which the application
        // takes or answers with an acknowledgement that finds no connection.
        if (connecting)
            sendControl(c, PacketInfo::kRstAck, 0);
        else
            sendControl(c, PacketInfo::kRstAck, c.download.highestSent());
    }
    c.closed = true;
    c.state.store(TcpConnection::kClosed);
    c.wakeAt.store(0);
    if (c.socket >= 0) {
        m_port.closeSocket(c.socket); // pending operations complete with a failure and find it closed
        c.socket = -1;
    }
    std::size_t total = 0;
    {
        std::lock_guard lock(m_tableMutex);
        const auto it = m_connections.find(c.key);
        if (it != m_connections.end() && it->second == connection)
            m_connections.erase(it);
        total = m_connections.size();
        m_count.store(total);
    }
    if (g_cleanedLog.admit())
        Log::debug("[TCP-CONN] Cleaned up connection, total active:", total);
    return connecting ? std::exchange(c.handshake, 0) : 0;
}

// ---- Timers and the drain ----

void TcpConnectionTable::scheduleWake(TcpConnection &connection)
{
    // A refused segment is retried at the next tick.
    connection.wakeAt.store(connection.blocked ? 1 : connection.nextDeadline());
}

void TcpConnectionTable::runTimers(std::int64_t time)
{
    std::vector<ConnectionPtr> due;
    {
        std::lock_guard lock(m_tableMutex);
        for (const auto &entry : m_connections) {
            const std::int64_t wake = entry.second->wakeAt.load(std::memory_order_relaxed);
            if (wake != 0 && wake <= time)
                due.push_back(entry.second);
        }
    }
    for (const ConnectionPtr &connection : due)
        onTimer(connection, time);
}

void TcpConnectionTable::onTimer(const ConnectionPtr &connection, std::int64_t time)
{
    std::lock_guard lock(connection->mutex);
    TcpConnection &c = *connection;
    if (c.closed)
        return;
    if (c.blocked) {
        c.blocked = false;
        const std::size_t drained = sendToApplication(connection, time);
        if (const std::uint64_t n = drained > 0 ? g_drainLog.admit() : 0)
            Log::debug("[FLOW] Resumed connection #", n, "port=", c.key.clientPort, "drained=", drained, "packets");
    }
    if (c.ackDeadline != 0 && time >= c.ackDeadline)
        sendAck(c);
    switch (c.download.onTimer(time)) {
    case TcpDownloadPath::TimerResult::Retransmit:
        if (g_retransmitLog.admit())
            Log::debug("[TCP] Retransmission time-out - port:", c.key.clientPort, "unacknowledged from",
                       c.download.unacknowledged(), "rto ms:", c.download.timer().timeout() / 1'000'000);
        sendToApplication(connection, time);
        break;
    case TcpDownloadPath::TimerResult::Probe:
        // An old sequence number: the application answers with its window.
        sendControl(c, PacketInfo::kAck, c.download.unacknowledged() - 1);
        break;
    case TcpDownloadPath::TimerResult::GiveUp:
        if (g_giveUpLog.admit())
            Log::warning("[TCP] Data unacknowledged for", TcpDownloadPath::kGiveUpNs / 1'000'000'000,
                         "s - resetting port:", c.key.clientPort, "dest:", destinationText(c));
        removeConnection(connection, true);
        return;
    case TcpDownloadPath::TimerResult::None:
        break;
    }
    scheduleWake(c);
}

void TcpConnectionTable::wakeTimer()
{
    {
        std::lock_guard lock(m_timerMutex);
    }
    m_timerCondition.notify_all();
}

void TcpConnectionTable::timerLoop()
{
    std::unique_lock lock(m_timerMutex);
    while (m_running.load()) {
        if (m_count.load() == 0)
            m_timerCondition.wait(lock, [this] { return !m_running.load() || m_count.load() > 0; });
        else
            m_timerCondition.wait_for(lock, std::chrono::milliseconds(kDrainPeriodMs),
                                      [this] { return !m_running.load(); });
        if (!m_running.load())
            break;
        lock.unlock();
        runTimers(now());
        lock.lock();
    }
}

bool TcpConnectionTable::logDiagnostics() const
{
    std::array<std::size_t, TcpConnection::kClosed + 1> counts{};
    std::size_t total = 0;
    {
        std::lock_guard lock(m_tableMutex);
        for (const auto &entry : m_connections) {
            const std::uint32_t state = entry.second->state.load(std::memory_order_relaxed);
            if (state < counts.size())
                ++counts[state];
            ++total;
        }
    }
    if (total == 0)
        return false;
    Log::debug("[TCP-DIAG] Total connections:", total, "CONNECTING:", counts[TcpConnection::kConnecting],
               "ESTABLISHED:", counts[TcpConnection::kEstablished], "PROXY-CLOSED:", counts[TcpConnection::kProxyClosed],
               "CLIENT-CLOSED:", counts[TcpConnection::kClientClosed]);
    return true;
}
