#pragma once
// The first road for IPv4 UDP in the TUN mode: one SOCKS5 UDP ASSOCIATE per
// flow (application endpoint -> addressed destination), opened with a short
// blocking handshake, its datagrams exchanged over a UDP socket on the
// completion port (key 8). Flows to port 53 use the direct SOCKS5 port, the
// rest the proxy port. Answers become IPv4/UDP packets from the addressed
// destination, so a query to T + 1 is answered from T + 1.
//
// The handshake of a new session runs on a pool of threads of the module's own, so
// the adapter reader never waits for the proxy: datagrams that arrive while
// their association is being opened wait for it (at most kMaxQueuedDatagrams).
// At most kMaxOpeningSessions sessions wait for a handshake thread; a datagram
// that would need another new session meanwhile is dropped.
//
// Every session also watches its control connection: when the proxy closes it
// the association is over, and the next datagram opens a new one. Sessions
// idle for more than kIdleTimeoutNs are removed by the idle sweep, and at most
// kMaxSessions live at once (the least recently active one makes room).

#include "base/CompletionPort.h"

#include <netinet/in.h>

#include <atomic>
#include <compare>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class DnsNameCache;

struct UdpNatKey {
    std::uint32_t sourceAddress = 0;
    std::uint16_t sourcePort = 0;
    std::uint32_t destinationAddress = 0; // as addressed, before the DNS redirect
    std::uint16_t destinationPort = 0;
    auto operator<=>(const UdpNatKey &) const = default;
};

struct UdpNatSession {
    static constexpr std::uint32_t kBufferSize = 65536;

    UdpNatKey key;
    std::uint32_t realAddress = 0; // after the DNS redirect
    std::uint16_t realPort = 0;
    std::uint16_t socksPort = 0;
    int controlSocket = -1;
    int udpSocket = -1;
    sockaddr_in relay{};
    CompletionSlot receiveSlot;
    CompletionSlot controlSlot; // watches the control connection for its close
    std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[kBufferSize]};
    sockaddr_in sender{};
    std::uint8_t controlByte = 0;
    std::atomic<bool> receivePending{false};
    std::atomic<bool> alive{true};
    bool ready = false; // the association is open; guarded by mutex
    std::vector<std::vector<std::uint8_t>> pending; // datagrams waiting for it; guarded by mutex
    std::atomic<std::int64_t> lastActivity{0}; // monotonic nanoseconds
    std::mutex mutex; // guards the sockets against a post racing the close
};

class UdpNat {
public:
    static constexpr std::uint64_t kCompletionKey = 8;
    static constexpr int kHandshakeTimeoutMs = 5000;
    static constexpr std::int64_t kIdleTimeoutNs = 60'999'999'999;
    static constexpr std::size_t kMaxSessions = 1024;
    static constexpr std::size_t kHeaderLen = 10;
    static constexpr int kHandshakeThreads = 32;
    static constexpr std::size_t kMaxQueuedDatagrams = 64;
    static constexpr std::size_t kMaxOpeningSessions = 256;

    // Writes one finished packet towards the applications.
    using PacketOutput = std::function<bool(const std::uint8_t *packet, std::size_t length)>;

    UdpNat() = default;
    ~UdpNat();
    UdpNat(const UdpNat &) = delete;
    UdpNat &operator=(const UdpNat &) = delete;

    // names receives the answers of the tunnel's own DNS: sessions addressed to
    // tunnelAddress + 1 port 53, or to dnsServer (the DNS redirect address) port 53.
    bool initialise(std::uint32_t tunnelAddress, const std::string &proxyAddress, std::uint16_t proxyPort,
                    std::uint16_t directPort, CompletionPort *port, PacketOutput output,
                    DnsNameCache *names = nullptr, std::uint32_t dnsServer = 0);
    bool isRunning() const { return m_running.load(); }

    // One datagram from an application (adapter reader thread); never waits for
    // the proxy. False when the send to an open relay failed; a datagram dropped
    // because too many sessions are being opened is logged and counts as taken.
    bool forward(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t addressedDestination,
                 std::uint16_t addressedPort, std::uint32_t realDestination, std::uint16_t realPort,
                 const std::uint8_t *payload, std::size_t length);

    // A completion of key 8; false when it belongs to no live session.
    bool onReceiveCompleted(const CompletionPort::Completion &completion);

    // Removes sessions idle for more than kIdleTimeoutNs before nowNs.
    std::size_t sweepIdle(std::int64_t nowNs);

    // Closes every session; completions already posted stay routed to their
    // records until releaseRecords(), once no worker waits on the port.
    void shutdown();
    // Closes every session and keeps running (connection reset); their count.
    std::size_t closeAll();
    void releaseRecords();

    std::size_t sessionCount() const;

private:
    struct Association {
        int controlSocket = -1;
        int udpSocket = -1;
        sockaddr_in relay{};
    };

    void handshakeThread();
    void openSession(const std::shared_ptr<UdpNatSession> &session);
    bool handshake(std::uint16_t socksPort, Association &out);
    // False when the post failed: the session has nothing posted and must go.
    bool postReceive(const std::shared_ptr<UdpNatSession> &session);
    bool postControlWatch(const std::shared_ptr<UdpNatSession> &session);
    void closeSession(const std::shared_ptr<UdpNatSession> &session);
    void removeSession(const std::shared_ptr<UdpNatSession> &session);
    // The least recently active session, taken out of the map (closed by the caller).
    std::shared_ptr<UdpNatSession> takeLeastRecentLocked();
    void deliverAnswer(UdpNatSession &session, std::uint32_t bytes);
    bool isTunnelDns(const UdpNatSession &session) const;

    std::uint32_t m_tunnelAddress = 0;
    std::string m_proxyAddress;
    std::uint16_t m_proxyPort = 0;
    std::uint16_t m_directPort = 0;
    CompletionPort *m_port = nullptr;
    PacketOutput m_output;
    DnsNameCache *m_names = nullptr;
    std::uint32_t m_dnsServer = 0;
    std::atomic<bool> m_running{false};

    mutable std::mutex m_lock; // the session map and the live slots
    std::map<UdpNatKey, std::shared_ptr<UdpNatSession>> m_sessions;
    std::unordered_map<const CompletionSlot *, std::shared_ptr<UdpNatSession>> m_liveSlots;

    std::mutex m_queueMutex; // sessions waiting for their handshake
    std::condition_variable m_queueCondition;
    std::deque<std::shared_ptr<UdpNatSession>> m_opening;
    std::vector<std::thread> m_handshakeThreads;
};
