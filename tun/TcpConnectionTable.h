#pragma once
// The user-space TCP engine: terminates in the daemon every TCP connection the
// NAT path does not take (those of containers, virtual machines and forwarded
// hosts, IPv6, and local ones when the NAT ports run out), and carries each
// through a SOCKS5 CONNECT to the proxy's port or its direct port.
//
// The connection table maps ConnectionKey to shared TcpConnection under one
// mutex. A SYN creates a connection and starts its SOCKS5 handshake; the SYN
// is answered with SYN+ACK only once the proxy has accepted the CONNECT, or
// with RST+ACK when the proxy refuses it. Afterwards application bytes go to
// the proxy through the upload path and proxy bytes to the application
// through the download path, with the application's window, retransmission
// and congestion control; a connection ends when both sides have closed, on
// an RST, on a proxy failure (the application gets an RST), or when its data
// stays unacknowledged for about two minutes.
//
// Threads: segments arrive on the TUN reader thread (onTcpPacket); socket
// completions on the completion port's workers (key UserTcp); timers and the
// drain of segments the TUN device refused run on the engine's own thread,
// every 10 ms while the table holds connections and asleep while it is empty.
// Lock order: a connection's mutex, then the table mutex; never the reverse.

#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "base/IpAddress.h"
#include "base/LiveSlots.h"
#include "packet/PacketOffload.h"
#include "relay/FlowSource.h"
#include "relay/TunnelCounters.h"
#include "socks5/AsyncSocksClient.h"
#include "tun/ConnectionKey.h"
#include "tun/TcpConnection.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class DnsNameCache;
class RoutingPolicy;
struct PacketInfo;

class TcpConnectionTable : public FlowSource {
public:
    static constexpr CompletionKey kCompletionKey = CompletionKey::UserTcp;
    // Segments waiting for the application: above this many after a receive,
    // no new receive is posted on the proxy socket; below the resume count it
    // is posted again.
    static constexpr std::size_t kStopThreshold = 149;
    static constexpr std::size_t kResumeThreshold = 50;
    static constexpr int kDrainPeriodMs = 10;
    static constexpr std::int64_t kDelayedAckNs = 10'000'000;
    static constexpr std::size_t kMaxConnections = 32768;

    using Output = std::function<bool(const std::uint8_t *packet, std::size_t length)>;
    using OffloadOutput =
        std::function<bool(const std::uint8_t *packet, std::size_t length, const PacketOffload &offload)>;
    // The most payload put in one super-packet (an IPv4 packet's 64 KiB).
    static constexpr std::size_t kMaxBurst = 65535 - 40;

    // How the proxy side of a connection is opened: the asynchronous SOCKS5
    // client's startProxyConnect and cancel (of(client)), or a stand-in.
    struct ProxyConnector {
        std::function<std::uint64_t(AsyncSocksClient::Request, AsyncSocksClient::Handler)> start;
        std::function<void(std::uint64_t)> cancel;
        static ProxyConnector of(AsyncSocksClient &client);
    };

    struct Settings {
        IpAddress proxyAddress;
        std::uint32_t tunnelIp = 0;
        const RoutingPolicy *policy = nullptr;
        DnsNameCache *names = nullptr;
        ProxyConnector connector;
        Output output; // writes one packet to the TUN device; false when refused
        // Writes a TCP super-packet that the device cuts into segments itself
        // (its segmentation offload); empty when the device has none, and
        // every segment is then written on its own.
        OffloadOutput offloadOutput;
        // Monotonic nanoseconds (monotonicNanoseconds when empty) and initial
        // sequence numbers (random when empty); tests give their own.
        std::function<std::int64_t()> clock;
        std::function<std::uint32_t()> initialSequence;
        // The timer and drain thread; tests run the timers themselves.
        bool timerThread = true;
        TunnelCounters *counters = nullptr; // null: a set of the table's own
    };

    TcpConnectionTable(CompletionPort &port, Settings settings);
    ~TcpConnectionTable() override;
    TcpConnectionTable(const TcpConnectionTable &) = delete;
    TcpConnectionTable &operator=(const TcpConnectionTable &) = delete;

    // Registers the completion handler of key UserTcp.
    void attach(CompletionDispatcher &dispatcher);
    // Segments are taken from start() on; the timer thread runs from here.
    void start();
    // Ends every connection (each application gets an RST) and the timer thread.
    void stop();
    // Ends every connection with an RST to its application; their count.
    std::size_t resetAll();
    // Lets go of connections kept for operations still posted; only once no
    // worker waits on the port any more.
    void releaseRecords() { m_live.clear(); }

    // A TCP segment from the TUN device that the NAT path did not take.
    void onTcpPacket(const PacketInfo &packet);
    // A completion of key UserTcp; false when it belongs to no connection.
    bool onCompletion(const CompletionPort::Completion &completion);
    // The drain and every timer due by now (the timer thread's work).
    void runTimers(std::int64_t now);

    std::size_t connectionCount() const;
    void appendFlows(std::vector<FlowEntry> &flows) const override;
    std::shared_ptr<TcpConnection> find(const ConnectionKey &key) const;
    // Logs (debug) the "[TCP-DIAG]" line of the connections by state; false
    // (nothing logged) when there are none.
    bool logDiagnostics() const;

private:
    using ConnectionPtr = std::shared_ptr<TcpConnection>;

    std::int64_t now() const;
    void onSyn(const PacketInfo &packet, const ConnectionKey &key);
    void onRepeatedSyn(const ConnectionPtr &connection, const PacketInfo &packet);
    void chooseRoute(TcpConnection &connection) const;
    void startProxyConnect(const ConnectionPtr &connection, bool byName);
    void onHandshakeResult(const ConnectionPtr &connection, AsyncSocksClient::Result &&result, bool byName);
    void establishConnection(const ConnectionPtr &connection, int socket);

    // Under the connection's mutex.
    void onSegment(const ConnectionPtr &connection, const PacketInfo &packet);
    bool onAcknowledgement(const ConnectionPtr &connection, const PacketInfo &packet, std::int64_t time);
    bool onData(const ConnectionPtr &connection, const PacketInfo &packet, std::int64_t time);
    std::size_t sendToApplication(const ConnectionPtr &connection, std::int64_t time);
    bool writeSuperPacket(const TcpConnection &connection, std::uint8_t *packet, std::size_t length);
    bool sendControl(TcpConnection &connection, std::uint8_t flags, std::uint32_t seq);
    void sendAck(TcpConnection &connection);
    void postProxyReceive(const ConnectionPtr &connection);
    void resumeProxyReceive(const ConnectionPtr &connection);
    void postUploadSend(const ConnectionPtr &connection);
    void onDownloadComplete(const ConnectionPtr &connection, const CompletionPort::Completion &completion);
    void onUploadSendComplete(const ConnectionPtr &connection, const CompletionPort::Completion &completion);
    void onTimer(const ConnectionPtr &connection, std::int64_t time);
    void finishIfDone(const ConnectionPtr &connection);
    void scheduleWake(TcpConnection &connection);
    // Takes the connection out of the table and closes its proxy socket; with
    // reset, the application gets an RST. The handshake to cancel (once the
    // mutex is released), or 0.
    std::uint64_t removeConnection(const ConnectionPtr &connection, bool reset);

    // A segment of no connection: answered with an RST (RFC 9293).
    void answerUnknown(const PacketInfo &packet);
    bool write(const std::uint8_t *packet, std::size_t length);
    void timerLoop();
    void wakeTimer();

    CompletionPort &m_port;
    Settings m_settings;
    std::atomic<bool> m_running{false};
    LiveSlots<TcpConnection> m_live;

    TunnelCounters m_ownCounters;
    TunnelCounters *m_counters;
    mutable std::mutex m_tableMutex;
    std::map<ConnectionKey, ConnectionPtr> m_connections;
    std::atomic<std::size_t> m_count{0};

    std::mutex m_timerMutex;
    std::condition_variable m_timerCondition;
    std::thread m_timer;
};
