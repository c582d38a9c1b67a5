#pragma once
// One application's TCP connection terminated by the user-space TCP engine:
// its key, its state, the proxy-side socket with one receive and one send slot
// on the completion port (and their 64 KiB buffers), the two halves of its TCP
// endpoint (the upload path from the application, the download path to it),
// and the acknowledgements it owes. Held by shared ownership: the connection
// table holds one reference and every operation in flight another.
// The mutex guards everything that is not const or atomic.

#include "base/CompletionPort.h"
#include "base/Endpoint.h"
#include "packet/PacketCodec.h"
#include "relay/FlowStats.h"
#include "tun/ConnectionKey.h"
#include "tun/TcpDownloadPath.h"
#include "tun/TcpUploadPath.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class TcpConnection {
public:
    // The states of the connection; handshake states 2 to 5 are those of its
    // SOCKS5 handshake, kept by the SOCKS5 client while it runs.
    enum State : std::uint32_t {
        kInitial = 0,
        kConnecting = 1,    // the SOCKS5 handshake runs; the SYN is not answered yet
        kEstablished = 6,   // SYN+ACK sent; data flows both ways
        kProxyClosed = 8,   // the proxy ended its side; FIN sent after its bytes
        kClientClosed = 9,  // the application's FIN was taken; the proxy's side may still send
        kClosed = 10,       // out of the table
    };

    static constexpr std::size_t kReceiveSize = 65536;
    static constexpr std::size_t kSendSize = 65536;
    // RFC 9293 / 8200: what a peer may send when its SYN names no MSS.
    static constexpr std::uint16_t kDefaultMssIpv4 = 536;
    static constexpr std::uint16_t kDefaultMssIpv6 = 1220;
    // The MSS offered when the application's SYN named none.
    static constexpr std::uint16_t kOfferedMssIpv4 = 1460;
    static constexpr std::uint16_t kOfferedMssIpv6 = 1440;
    // A full segment's packet: headers with options and the largest payload.
    static constexpr std::size_t kMaxPacketSize = 60 + 60 + TcpDownloadPath::kMaxSegmentSize;

    explicit TcpConnection(const ConnectionKey &connectionKey);
    TcpConnection(const TcpConnection &) = delete;
    TcpConnection &operator=(const TcpConnection &) = delete;

    // Takes the application's SYN: both halves start from it.
    void acceptSyn(const PacketInfo &syn, std::uint32_t initialSequence, std::int64_t now);

    // A segment of the download path (with SYN+ACK's options when it is the
    // SYN) or a control segment (ACK, RST, probe) at seq, acknowledging what
    // the upload path has taken and offering its window; into out, its length.
    std::size_t buildSegment(const TcpDownloadPath::Segment &segment, std::uint8_t *out, std::size_t capacity);
    std::size_t buildControl(std::uint8_t flags, std::uint32_t seq, std::uint8_t *out, std::size_t capacity);
    // Every segment sent carries the acknowledgement: none is owed after it.
    void acknowledgementSent();
    // The MSS offered to the application (what it may send in one segment).
    std::uint16_t offeredMss() const { return m_offeredMss; }
    // The earliest timer of the connection (retransmission, probe, delayed
    // acknowledgement); 0 when none.
    std::int64_t nextDeadline() const;

    const ConnectionKey key;
    std::mutex mutex;
    std::atomic<std::uint32_t> state{kInitial};

    std::uint32_t synSequence = 0;
    TcpSynOptions synOptions;
    Endpoint proxyDestination; // the CONNECT target (the DNS redirect for TCP DNS to T + 1)
    std::uint16_t socksPort = 0;
    std::string hostName;
    // For the connection listing: bytes each way and the start; a forwarded
    // connection has no local owner, so its owner is known to be none.
    std::shared_ptr<FlowStats> stats = std::make_shared<FlowStats>();
    std::uint64_t handshake = 0;

    int socket = -1;
    bool closed = false;
    bool proxyEnded = false;     // the proxy's end of stream arrived
    bool proxyWriteShut = false; // the application's FIN was passed on
    CompletionSlot receiveSlot;
    CompletionSlot sendSlot;
    // Not zero-filled: pages are touched only as data passes.
    std::unique_ptr<std::uint8_t[]> receiveBuffer{new std::uint8_t[kReceiveSize]};
    std::unique_ptr<std::uint8_t[]> sendBuffer{new std::uint8_t[kSendSize]};
    bool receivePending = false;
    bool receiveStopped = false; // held back: too many segments wait for the application
    bool sendPending = false;
    std::size_t postedLength = 0;

    TcpUploadPath upload;
    TcpDownloadPath download;

    int segmentsUnacknowledged = 0; // full segments taken since the last acknowledgement
    std::int64_t ackDeadline = 0;   // a delayed acknowledgement is due
    bool blocked = false;           // the TUN device refused a segment: the drain retries
    std::atomic<std::int64_t> wakeAt{0}; // nextDeadline() as of the last change, for the timer thread

private:
    std::uint16_t m_offeredMss = kOfferedMssIpv4;
};
