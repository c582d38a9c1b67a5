// Figures of the TUN mode in the end-to-end topology: the real daemon with its
// TUN device in one namespace, dante and the peers upstream (see TunTopology),
// and, side by side in the same run, the same traffic through dante alone
// without the tunnel (the baseline); then the same transfers from a forwarded
// container, carried by the user-space TCP engine. The bulk transfers and the
// connection figures use servers of this program in the upstream namespace, so
// that the peer is never what bounds them. A second baseline puts one plain
// user-space relay in front of dante: what a single relay hop costs here.
// Prints one human line per figure and one "figure NAME VALUE" line for
// scripts (bench/tunnel/run-speed takes medians of several runs). Needs root.
//
// KESTD_BENCH_MB: megabytes per bulk transfer (default 500).
// KESTD_TUN_OFFLOAD=0: runs the daemon with the TUN device's offloads off.
// KESTD_TUN_RING=0: runs the daemon with its packet reader on read and poll.
// KESTD_BENCH_TUN_MTU=N: another MTU on the TUN link.

#include "socks5/Socks5Message.h"
#include "tests/support/DaemonHarness.h"
#include "tests/tun/e2e/TunTopology.h"
#include "tools/KestClient.h"

#include <QJsonObject>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kBulkPort = 9100;
constexpr int kConnectionPort = 9101;
constexpr int kSequentialConnections = 1000;
constexpr int kParallelConnections = 100;
constexpr int kConcurrentConnections = 1000;
constexpr int kDnsQueries = 500;
constexpr std::size_t kBlock = 1 << 20;

std::size_t transferBytes()
{
    const char *mb = std::getenv("KESTD_BENCH_MB");
    const long value = mb ? std::atol(mb) : 0;
    return std::size_t(value > 0 ? value : 500) * 1000 * 1000;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double msSince(Clock::time_point start)
{
    return secondsSince(start) * 1000;
}

sockaddr_in endpoint(const char *host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

int connectDirect(const char *host, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = endpoint(host, port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const void *data, std::size_t length)
{
    const auto *p = static_cast<const char *>(data);
    while (length) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        length -= std::size_t(n);
    }
    return true;
}

bool receiveExact(int fd, void *out, std::size_t length)
{
    auto *p = static_cast<std::uint8_t *>(out);
    for (std::size_t got = 0; got < length;) {
        const ssize_t n = ::recv(fd, p + got, length - got, 0);
        if (n <= 0)
            return false;
        got += std::size_t(n);
    }
    return true;
}

constexpr const char *kRelayHost = "127.0.0.1";
constexpr int kRelayPort = 9102;

// A blocking SOCKS5 CONNECT by address through the proxy at proxyHost:proxyPort,
// its reply read whole.
int connectViaSocksAt(const char *proxyHost, int proxyPort, const char *host, int port)
{
    const int fd = connectDirect(proxyHost, proxyPort);
    if (fd < 0)
        return -1;
    const auto destination = IpAddress::parse(host);
    const std::vector<std::uint8_t> request =
        Socks5Message::connectRequest(Endpoint{destination.value_or(IpAddress()), std::uint16_t(port)}, {});
    std::uint8_t reply[262];
    const bool ok = sendAll(fd, Socks5Message::kGreeting.data(), Socks5Message::kGreeting.size()) &&
                    receiveExact(fd, reply, Socks5Message::kMethodReplyLength) && reply[1] == 0 &&
                    sendAll(fd, request.data(), request.size()) &&
                    receiveExact(fd, reply, Socks5Message::kReplyPrefixLength) && reply[1] == 0 &&
                    Socks5Message::replyLength(reply) > Socks5Message::kReplyPrefixLength &&
                    receiveExact(fd, reply + Socks5Message::kReplyPrefixLength,
                                 Socks5Message::replyLength(reply) - Socks5Message::kReplyPrefixLength);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Through dante itself, without the tunnel: the baseline.
int connectViaSocks(const char *host, int port)
{
    return connectViaSocksAt(TunTopology::kProxyHost, TunTopology::kProxyPort, host, port);
}

// The same through a plain user-space relay in front of dante (PlainRelay):
// what one hop of any relay costs on this machine.
int connectViaRelay(const char *host, int port)
{
    return connectViaSocksAt(kRelayHost, kRelayPort, host, port);
}

using Connector = int (*)(const char *, int);

// A TCP socket listening on host:port in the calling thread's namespace
// (flags: extra socket() flags); -1 when it cannot be had.
int listenAt(const char *host, int port, int backlog, int flags)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in local = endpoint(host, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        ::listen(fd, backlog) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// The upstream peer of the bulk transfers: 'S' + 8 bytes of length sends that
// many bytes and closes; 'K' reads to the end and answers the 8-byte count.
class BulkServer {
public:
    explicit BulkServer(const std::string &ns)
    {
        std::thread([&] {
            NetnsFixture::Enter inside(ns);
            m_listen = inside.ok() ? listenAt(TunTopology::kServer, kBulkPort, 64, 0) : -1;
        }).join();
        if (m_listen >= 0)
            m_acceptor = std::thread([this] { acceptLoop(); });
    }
    ~BulkServer()
    {
        if (m_listen >= 0)
            ::shutdown(m_listen, SHUT_RDWR);
        if (m_acceptor.joinable())
            m_acceptor.join();
        ::close(m_listen);
    }
    bool ok() const { return m_listen >= 0; }

private:
    void acceptLoop()
    {
        for (;;) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            std::thread([fd] { serve(fd); }).detach();
        }
    }
    static void serve(int fd)
    {
        char command = 0;
        std::vector<char> buffer(kBlock, 'k');
        if (!receiveExact(fd, &command, 1)) {
            ::close(fd);
            return;
        }
        if (command == 'S') {
            std::uint64_t left = 0;
            if (receiveExact(fd, &left, sizeof left))
                while (left > 0 && sendAll(fd, buffer.data(), std::min<std::uint64_t>(left, kBlock)))
                    left -= std::min<std::uint64_t>(left, kBlock);
        } else if (command == 'K') {
            std::uint64_t total = 0;
            for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;)
                total += std::uint64_t(n);
            sendAll(fd, &total, sizeof total);
        }
        ::close(fd);
    }

    int m_listen = -1;
    std::thread m_acceptor;
};

// One epoll thread inside a namespace around a listening socket, with a
// record per open socket; the servers below say what an accepted connection
// and a readable socket get. A subclass's destructor calls stop() first, so
// that the thread never runs into a half-destroyed object.
template <typename Peer>
class EpollServer {
public:
    EpollServer() = default;
    EpollServer(const EpollServer &) = delete;
    EpollServer &operator=(const EpollServer &) = delete;
    virtual ~EpollServer()
    {
        stop();
        for (const auto &[fd, peer] : m_peers)
            ::close(fd);
        for (const int fd : {m_listen, m_epoll, m_stop})
            if (fd >= 0)
                ::close(fd);
    }
    bool ok() const { return m_ok; }

protected:
    void start(const std::string &ns, const char *host, int port)
    {
        std::promise<bool> started;
        std::future<bool> ready = started.get_future();
        m_loop = std::thread([this, ns, host, port, &started] {
            NetnsFixture::Enter inside(ns);
            m_listen = inside.ok() ? listenAt(host, port, 1024, SOCK_NONBLOCK) : -1;
            m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
            m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            const bool ok = m_listen >= 0 && m_epoll >= 0 && m_stop >= 0 && watch(m_listen) && watch(m_stop);
            started.set_value(ok);
            if (ok)
                loop();
        });
        m_ok = ready.get();
        if (!m_ok)
            m_loop.join();
    }

    void stop()
    {
        if (!m_loop.joinable())
            return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_stop, &one, sizeof one);
        m_loop.join();
    }

    bool watch(int fd)
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0;
    }

    void unwatch(int fd) { ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr); }

    void drop(int fd)
    {
        unwatch(fd);
        ::close(fd);
        m_peers.erase(fd);
    }

    // A new connection (its descriptor is the subclass's to keep or close).
    virtual void accepted(int fd) = 0;
    virtual void readable(int fd) = 0;

    std::unordered_map<int, Peer> m_peers;

private:
    void loop()
    {
        epoll_event events[64];
        for (;;) {
            const int n = ::epoll_wait(m_epoll, events, 64, -1);
            if (n < 0 && errno != EINTR)
                return;
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_stop)
                    return;
                if (fd == m_listen) {
                    for (int client; (client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                        const int one = 1;
                        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                        accepted(client);
                    }
                } else if (m_peers.count(fd)) {
                    readable(fd);
                }
            }
        }
    }

    int m_listen = -1;
    int m_epoll = -1;
    int m_stop = -1;
    bool m_ok = false;
    std::thread m_loop;
};

struct CommandPeer {
    std::string line; // the command, until its newline
    bool echo = false;
};

// The upstream peer of the connection figures. It speaks the topology's TCP
// service ("TEN-THEN-CLOSE" sends ten bytes and closes, "ECHO" echoes from then
// on) on one epoll thread. The topology's own service is a Python thread per
// connection reading its command a byte at a time, about half a millisecond of
// CPU per connection: on a small machine that peer, not the tunnel or the
// proxy, would set the pace of connections one after another.
class ConnectionServer : public EpollServer<CommandPeer> {
public:
    explicit ConnectionServer(const std::string &ns) { start(ns, TunTopology::kServer, kConnectionPort); }
    ~ConnectionServer() override { stop(); }

private:
    void accepted(int fd) override
    {
        if (watch(fd))
            m_peers.emplace(fd, CommandPeer{});
        else
            ::close(fd);
    }

    void readable(int fd) override
    {
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        CommandPeer &peer = m_peers[fd];
        if (n <= 0 || (peer.echo && !sendAll(fd, buffer, std::size_t(n))))
            return drop(fd);
        if (peer.echo)
            return;
        peer.line.append(buffer, std::size_t(n));
        const std::size_t end = peer.line.find('\n');
        if (end == std::string::npos) {
            if (peer.line.size() > 256)
                drop(fd);
            return;
        }
        const std::string command = peer.line.substr(0, end);
        const std::string rest = peer.line.substr(end + 1);
        if (command == "ECHO") {
            peer.echo = true;
            peer.line.clear();
            if (rest.empty() || sendAll(fd, rest.data(), rest.size()))
                return;
        } else if (command == "TEN-THEN-CLOSE") {
            sendAll(fd, "0123456789", 10);
        }
        drop(fd);
    }
};

struct RelayPeer {
    int other = -1;
    bool ended = false; // its stream has ended (passed on as a half-close)
};

// The least a relay does: one epoll thread that takes each connection on
// kRelayHost:kRelayPort, opens one to dante for it (a blocking connect, which
// on a veth costs no wake-up) and copies bytes both ways with recv and send,
// passing each end of stream on. The tunnel's connections go through two such
// steps (the TUN reader and the relay), so twice what this one adds is about
// the least the tunnel can add to a connection on the machine measured.
class PlainRelay : public EpollServer<RelayPeer> {
public:
    explicit PlainRelay(const std::string &ns) { start(ns, kRelayHost, kRelayPort); }
    ~PlainRelay() override { stop(); }

private:
    void accepted(int client) override
    {
        const int upstream = connectDirect(TunTopology::kProxyHost, TunTopology::kProxyPort);
        if (upstream < 0) {
            ::close(client);
            return;
        }
        const int one = 1;
        setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        m_peers[client] = RelayPeer{upstream};
        m_peers[upstream] = RelayPeer{client};
        watch(client);
        watch(upstream);
    }

    void readable(int fd) override
    {
        const ssize_t n = ::recv(fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        RelayPeer &peer = m_peers[fd];
        if (n > 0 && sendAll(peer.other, m_buffer.data(), std::size_t(n)))
            return;
        // End of stream, passed on; both ended, or a failure, both close.
        ::shutdown(peer.other, SHUT_WR);
        peer.ended = true;
        const int other = peer.other;
        if (n != 0 || m_peers[other].ended) {
            drop(fd);
            drop(other);
        } else {
            unwatch(fd);
        }
    }

    std::vector<char> m_buffer = std::vector<char>(65536);
};

// Megabytes per second of one bulk transfer, download or upload.
double transfer(int fd, bool download, std::size_t bytes)
{
    if (fd < 0)
        return 0;
    const auto start = Clock::now();
    std::vector<char> buffer(kBlock, 'u');
    std::uint64_t moved = 0;
    if (download) {
        const std::uint64_t length = bytes;
        sendAll(fd, "S", 1);
        sendAll(fd, &length, sizeof length);
        for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;)
            moved += std::uint64_t(n);
    } else {
        sendAll(fd, "K", 1);
        while (moved < bytes && sendAll(fd, buffer.data(), std::min<std::size_t>(kBlock, bytes - moved)))
            moved += std::min<std::size_t>(kBlock, bytes - moved);
        ::shutdown(fd, SHUT_WR);
        std::uint64_t counted = 0;
        if (!receiveExact(fd, &counted, sizeof counted) || counted != bytes)
            moved = 0; // every byte must have arrived
    }
    ::close(fd);
    return moved == bytes ? double(moved) / 1e6 / secondsSince(start) : 0;
}

struct Sequential {
    double perSecond = 0;
    double medianFirstByteMs = 0;
    int completed = 0;
};

// Short connections one after another; each one's time from connect to its
// first byte from the server (through SOCKS5: the handshake included).
Sequential sequential(Connector connector)
{
    std::vector<double> firstByte;
    const auto start = Clock::now();
    for (int i = 0; i < kSequentialConnections; ++i) {
        const auto begun = Clock::now();
        const int fd = connector(TunTopology::kServer, kConnectionPort);
        if (fd < 0)
            continue;
        char ten[16];
        std::size_t got = 0;
        if (sendAll(fd, "TEN-THEN-CLOSE\n", 15)) {
            for (ssize_t n; (n = ::recv(fd, ten, sizeof ten, 0)) > 0;) {
                if (got == 0)
                    firstByte.push_back(msSince(begun));
                got += std::size_t(n);
            }
        }
        ::close(fd);
    }
    Sequential out;
    out.completed = int(firstByte.size());
    out.perSecond = double(firstByte.size()) / secondsSince(start);
    std::sort(firstByte.begin(), firstByte.end());
    out.medianFirstByteMs = firstByte.empty() ? 0 : firstByte[firstByte.size() / 2];
    return out;
}

// kParallelConnections threads connect at once and each sends one echo; the
// milliseconds until the last echo is back (0 when one failed).
double parallelFirstEcho(Connector connector)
{
    std::atomic<bool> go{false};
    std::atomic<int> echoed{0};
    std::vector<std::thread> threads;
    std::vector<int> sockets(kParallelConnections, -1);
    for (int i = 0; i < kParallelConnections; ++i)
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            const int fd = connector(TunTopology::kServer, kConnectionPort);
            char x = 0;
            if (fd >= 0 && sendAll(fd, "ECHO\nx", 6) && ::recv(fd, &x, 1, 0) == 1)
                echoed.fetch_add(1);
            sockets[std::size_t(i)] = fd;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // every thread is waiting
    const auto start = Clock::now();
    go.store(true);
    for (auto &thread : threads)
        thread.join();
    const double ms = msSince(start);
    for (int fd : sockets)
        if (fd >= 0)
            ::close(fd);
    return echoed.load() == kParallelConnections ? ms : 0;
}

// Opens kConcurrentConnections echo connections and checks each; the count
// working, with fn called while all are open.
template <typename WhileOpen>
int openConcurrent(Connector connector, WhileOpen whileOpen)
{
    std::vector<int> open;
    for (int i = 0; i < kConcurrentConnections; ++i) {
        const int fd = connector(TunTopology::kServer, kConnectionPort);
        if (fd >= 0 && sendAll(fd, "ECHO\nx", 6))
            open.push_back(fd);
    }
    int working = 0;
    for (int fd : open) {
        char x;
        working += ::recv(fd, &x, 1, 0) == 1;
    }
    whileOpen();
    for (int fd : open)
        ::close(fd);
    return working;
}

// CPU seconds of the process's live threads, to the nanosecond (schedstat):
// fine enough for the few hundred microseconds one short connection costs.
double threadCpuSeconds(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::uint64_t ns = 0;
    std::error_code error;
    for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream in(task.path() / "schedstat");
        std::uint64_t onCpu = 0;
        if (in >> onCpu)
            ns += onCpu;
    }
    return double(ns) / 1e9;
}

// CPU seconds the whole machine spent (every CPU, /proc/stat): busy is all but
// idle, I/O wait and steal; steal is time the hypervisor gave to other guests.
struct MachineCpu {
    double busy = 0, steal = 0;
};

MachineCpu machineCpu()
{
    std::ifstream in("/proc/stat");
    std::string label;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    const double tick = double(sysconf(_SC_CLK_TCK));
    return MachineCpu{double(user + nice + system + irq + softirq) / tick, double(steal) / tick};
}

// What the machine spent on one measured stretch: CPU seconds, the share of
// all its CPUs that were busy, and the share taken by steal.
struct MachineLoad {
    double seconds = 0, busyShare = 0, stealShare = 0;
};

template <typename Work>
MachineLoad machineLoad(Work work)
{
    const MachineCpu before = machineCpu();
    const auto start = Clock::now();
    work();
    const double elapsed = msSince(start) / 1e3;
    const MachineCpu after = machineCpu();
    const double cpus = double(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    MachineLoad load;
    load.seconds = after.busy - before.busy;
    if (elapsed > 0) {
        load.busyShare = load.seconds / (elapsed * cpus);
        load.stealShare = (after.steal - before.steal) / (elapsed * cpus);
    }
    return load;
}

// Waits (up to 5 s) until the daemon spent under 1 ms of CPU in the last 100 ms.
void waitUntilIdle(pid_t daemon)
{
    for (int i = 0; i < 50; ++i) {
        const double before = threadCpuSeconds(daemon);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (threadCpuSeconds(daemon) - before < 0.001)
            return;
    }
}

long rssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

std::vector<std::uint8_t> dnsQuery(std::uint16_t id)
{
    std::vector<std::uint8_t> q = {std::uint8_t(id >> 8), std::uint8_t(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    for (const char *label : {"www", "kest", "test"}) {
        q.push_back(std::uint8_t(std::strlen(label)));
        q.insert(q.end(), label, label + std::strlen(label));
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    return q;
}

// Round-trip times in milliseconds; a new socket (a new flow) per query when fresh.
std::vector<double> dnsLatencies(bool freshFlows)
{
    std::vector<double> out;
    const sockaddr_in server = endpoint("10.6.7.2", 53);
    int fd = -1;
    for (int i = 0; i < kDnsQueries; ++i) {
        if (fd < 0 || freshFlows) {
            if (fd >= 0)
                ::close(fd);
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            timeval tv{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        const auto query = dnsQuery(std::uint16_t(i));
        const auto start = Clock::now();
        ::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr *>(&server), sizeof server);
        std::uint8_t answer[512];
        if (::recv(fd, answer, sizeof answer, 0) > 0)
            out.push_back(msSince(start));
    }
    ::close(fd);
    std::sort(out.begin(), out.end());
    return out;
}

double percentile(const std::vector<double> &sorted, double p)
{
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())))];
}

double ratio(double value, double base)
{
    return base > 0 ? value / base : 0;
}

void figure(const char *name, double value)
{
    std::printf("figure %s %.4f\n", name, value);
}

struct Figures {
    double down = 0, up = 0;           // MB/s
    double cpuDown = 0, cpuUp = 0;     // daemon CPU seconds per GB
    MachineLoad machineDown, machineUp, machineSeq; // the whole machine's, for the bound
    Sequential seq;
    Sequential relaySeq; // baseline only: through one plain relay hop (PlainRelay)
    double parallelMs = 0;
    int opened = 0;
    long rssIdle = 0, rssOpen = 0;
    std::vector<double> dnsWarm, dnsFresh;
    double openMs = 0; // time to open (and echo once on) every concurrent connection
    double cpuPerConnectionUs = 0; // daemon CPU per sequential connection, set-up to close
    double cpuOpenMs = 0;          // daemon CPU while the concurrent connections opened
};

void measureBaseline(Figures &f, std::size_t bytes)
{
    const auto viaSocks = [] { return connectViaSocks(TunTopology::kServer, kBulkPort); };
    f.machineDown = machineLoad([&] { f.down = transfer(viaSocks(), true, bytes); });
    f.machineUp = machineLoad([&] { f.up = transfer(viaSocks(), false, bytes); });
    f.machineSeq = machineLoad([&] { f.seq = sequential(connectViaSocks); });
    f.relaySeq = sequential(connectViaRelay);
    f.parallelMs = parallelFirstEcho(connectViaSocks);
}

// Bulk transfers each way through the daemon, with its CPU seconds per GB
// (its threads live through both, so their own counters are exact).
void measureBulk(Figures &f, std::size_t bytes, pid_t daemon)
{
    const double gigabytes = double(bytes) / 1e9;
    double cpu = threadCpuSeconds(daemon);
    const auto direct = [] { return connectDirect(TunTopology::kServer, kBulkPort); };
    f.machineDown = machineLoad([&] { f.down = transfer(direct(), true, bytes); });
    f.cpuDown = (threadCpuSeconds(daemon) - cpu) / gigabytes;
    cpu = threadCpuSeconds(daemon);
    f.machineUp = machineLoad([&] { f.up = transfer(direct(), false, bytes); });
    f.cpuUp = (threadCpuSeconds(daemon) - cpu) / gigabytes;
}

void measureTunnel(Figures &f, std::size_t bytes, pid_t daemon)
{
    measureBulk(f, bytes, daemon);
    const double cpu = threadCpuSeconds(daemon);
    f.machineSeq = machineLoad([&] { f.seq = sequential(connectDirect); });
    if (f.seq.completed > 0)
        f.cpuPerConnectionUs = (threadCpuSeconds(daemon) - cpu) / f.seq.completed * 1e6;
    f.parallelMs = parallelFirstEcho(connectDirect);
    const auto opening = Clock::now();
    const double cpuOpening = threadCpuSeconds(daemon);
    f.opened = openConcurrent(connectDirect, [&] {
        f.openMs = msSince(opening);
        f.cpuOpenMs = (threadCpuSeconds(daemon) - cpuOpening) * 1e3;
        f.rssOpen = rssKb(daemon);
    });
    // Closing the concurrent connections keeps the daemon, the proxy and the
    // peers busy for a while; the DNS figures are taken once that is over.
    waitUntilIdle(daemon);
    f.dnsWarm = dnsLatencies(false);
    f.dnsFresh = dnsLatencies(true);
}

// From the container (forwarded through the daemon's namespace): every
// connection is carried by the user-space TCP engine.
void measureEngine(Figures &f, std::size_t bytes, pid_t daemon)
{
    measureBulk(f, bytes, daemon);
    f.rssIdle = rssKb(daemon);
    const auto start = Clock::now();
    f.opened = openConcurrent(connectDirect, [&] {
        f.openMs = msSince(start);
        f.rssOpen = rssKb(daemon);
    });
}

void reportEngine(const Figures &socks, const Figures &engine)
{
    const auto gbit = [](double mbPerSecond) { return mbPerSecond * 8 / 1000; };
    std::printf("user-space engine (container) tcp down: %.2f Gbit/s, SOCKS5 alone %.2f Gbit/s, ratio %.2f\n",
                gbit(engine.down), gbit(socks.down), ratio(engine.down, socks.down));
    std::printf("user-space engine (container) tcp up: %.2f Gbit/s, SOCKS5 alone %.2f Gbit/s, ratio %.2f\n",
                gbit(engine.up), gbit(socks.up), ratio(engine.up, socks.up));
    std::printf("user-space engine CPU per GB: up %.2f s, down %.2f s\n", engine.cpuUp, engine.cpuDown);
    std::printf("user-space engine: %d of %d concurrent connections open in %.1f ms, daemon RSS %ld KiB before, "
                "%ld KiB with them open\n",
                engine.opened, kConcurrentConnections, engine.openMs, engine.rssIdle, engine.rssOpen);
    figure("engine_down_ratio", ratio(engine.down, socks.down));
    figure("engine_up_ratio", ratio(engine.up, socks.up));
    figure("engine_cpu_s_per_gb_up", engine.cpuUp);
    figure("engine_cpu_s_per_gb_down", engine.cpuDown);
    figure("engine_open_1000_ms", engine.openMs);
    figure("engine_rss_kib_1000_open", double(engine.rssOpen));
}

void report(const Figures &socks, const Figures &tun, std::size_t bytes)
{
    const auto gbit = [](double mbPerSecond) { return mbPerSecond * 8 / 1000; };
    std::printf("tcp down: tunnel %.2f Gbit/s, SOCKS5 alone %.2f Gbit/s, ratio %.2f\n", gbit(tun.down),
                gbit(socks.down), ratio(tun.down, socks.down));
    std::printf("tcp up: tunnel %.2f Gbit/s, SOCKS5 alone %.2f Gbit/s, ratio %.2f\n", gbit(tun.up), gbit(socks.up),
                ratio(tun.up, socks.up));
    std::printf("tunnel CPU per GB: up %.2f s, down %.2f s\n", tun.cpuUp, tun.cpuDown);
    const double gigabytes = double(bytes) / 1e9;
    for (const auto &[name, base, tunnel] : {std::tuple{"down", socks.machineDown, tun.machineDown},
                                             std::tuple{"up", socks.machineUp, tun.machineUp}})
        std::printf("machine during tcp %s: SOCKS5 alone %.2f CPU s per GB, %.0f%% of all CPUs busy, %.0f%% stolen; "
                    "tunnel %.2f CPU s per GB, %.0f%% busy, %.0f%% stolen\n",
                    name, base.seconds / gigabytes, base.busyShare * 100, base.stealShare * 100,
                    tunnel.seconds / gigabytes, tunnel.busyShare * 100, tunnel.stealShare * 100);
    std::printf("sequential connections: tunnel %.0f/s, SOCKS5 alone %.0f/s, ratio %.2f\n", tun.seq.perSecond,
                socks.seq.perSecond, ratio(tun.seq.perSecond, socks.seq.perSecond));
    std::printf("tunnel CPU per sequential connection: %.0f us\n", tun.cpuPerConnectionUs);
    const auto perConnection = [](const Figures &f) {
        return f.seq.completed > 0 ? f.machineSeq.seconds / f.seq.completed * 1e6 : 0;
    };
    std::printf("machine during sequential connections: SOCKS5 alone %.0f CPU us per connection, %.0f%% busy; "
                "tunnel %.0f us, %.0f%% busy\n",
                perConnection(socks), socks.machineSeq.busyShare * 100, perConnection(tun),
                tun.machineSeq.busyShare * 100);
    std::printf("median connect to first byte: tunnel %.3f ms, SOCKS5 alone %.3f ms (+%.3f ms)\n",
                tun.seq.medianFirstByteMs, socks.seq.medianFirstByteMs,
                tun.seq.medianFirstByteMs - socks.seq.medianFirstByteMs);
    std::printf("through one plain relay hop in front of SOCKS5 alone: sequential %.0f/s, ratio %.2f; median connect "
                "to first byte %.3f ms (+%.3f ms)\n",
                socks.relaySeq.perSecond, ratio(socks.relaySeq.perSecond, socks.seq.perSecond),
                socks.relaySeq.medianFirstByteMs, socks.relaySeq.medianFirstByteMs - socks.seq.medianFirstByteMs);
    std::printf("%d parallel connections, first echo on all: tunnel %.1f ms, SOCKS5 alone %.1f ms, ratio %.2f\n",
                kParallelConnections, tun.parallelMs, socks.parallelMs, ratio(tun.parallelMs, socks.parallelMs));
    std::printf("daemon RSS: %ld KiB idle tunnel, %ld KiB with %d of %d connections open\n", tun.rssIdle,
                tun.rssOpen, tun.opened, kConcurrentConnections);
    std::printf("%d concurrent connections opened (and echoed once) in %.1f ms, daemon CPU %.1f ms\n",
                kConcurrentConnections, tun.openMs, tun.cpuOpenMs);
    std::printf("dns via TUN IP + 1, one socket: p50 %.2f ms, p99 %.2f ms (%zu of %d answered)\n",
                percentile(tun.dnsWarm, 0.5), percentile(tun.dnsWarm, 0.99), tun.dnsWarm.size(), kDnsQueries);
    std::printf("dns via TUN IP + 1, new socket per query: p50 %.2f ms, p99 %.2f ms (%zu of %d answered)\n",
                percentile(tun.dnsFresh, 0.5), percentile(tun.dnsFresh, 0.99), tun.dnsFresh.size(), kDnsQueries);

    figure("down_ratio", ratio(tun.down, socks.down));
    figure("up_ratio", ratio(tun.up, socks.up));
    figure("down_gbit_tunnel", gbit(tun.down));
    figure("down_gbit_socks", gbit(socks.down));
    figure("up_gbit_tunnel", gbit(tun.up));
    figure("up_gbit_socks", gbit(socks.up));
    figure("cpu_s_per_gb_up", tun.cpuUp);
    figure("cpu_s_per_gb_down", tun.cpuDown);
    figure("machine_cpu_s_per_gb_down_socks", socks.machineDown.seconds / gigabytes);
    figure("machine_cpu_s_per_gb_down_tunnel", tun.machineDown.seconds / gigabytes);
    figure("machine_cpu_s_per_gb_up_socks", socks.machineUp.seconds / gigabytes);
    figure("machine_cpu_s_per_gb_up_tunnel", tun.machineUp.seconds / gigabytes);
    figure("machine_busy_down_socks", socks.machineDown.busyShare);
    figure("machine_busy_down_tunnel", tun.machineDown.busyShare);
    figure("machine_busy_up_socks", socks.machineUp.busyShare);
    figure("machine_busy_up_tunnel", tun.machineUp.busyShare);
    figure("machine_us_per_connection_socks", perConnection(socks));
    figure("machine_us_per_connection_tunnel", perConnection(tun));
    figure("machine_busy_sequential_socks", socks.machineSeq.busyShare);
    figure("machine_busy_sequential_tunnel", tun.machineSeq.busyShare);
    figure("sequential_ratio", ratio(tun.seq.perSecond, socks.seq.perSecond));
    figure("sequential_per_s_tunnel", tun.seq.perSecond);
    figure("sequential_per_s_socks", socks.seq.perSecond);
    figure("cpu_us_per_connection", tun.cpuPerConnectionUs);
    figure("connect_ms_tunnel", tun.seq.medianFirstByteMs);
    figure("connect_ms_socks", socks.seq.medianFirstByteMs);
    figure("relay_hop_sequential_ratio", ratio(socks.relaySeq.perSecond, socks.seq.perSecond));
    figure("relay_hop_connect_ms", socks.relaySeq.medianFirstByteMs);
    figure("parallel_ratio", ratio(tun.parallelMs, socks.parallelMs));
    figure("parallel_ms_tunnel", tun.parallelMs);
    figure("parallel_ms_socks", socks.parallelMs);
    figure("rss_kib_idle", double(tun.rssIdle));
    figure("rss_kib_1000_open", double(tun.rssOpen));
    figure("open_1000_ms", tun.openMs);
    figure("cpu_ms_open_1000", tun.cpuOpenMs);
    figure("dns_fresh_p50_ms", percentile(tun.dnsFresh, 0.5));
    figure("dns_fresh_p99_ms", percentile(tun.dnsFresh, 0.99));
    figure("dns_fresh_answered", double(tun.dnsFresh.size()));
}
} // namespace

int main()
{
    if (geteuid() != 0) {
        std::puts("bench_tunnel: needs root (network namespaces, TUN device)");
        return 0;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    signal(SIGPIPE, SIG_IGN);
    const std::size_t bytes = transferBytes();

    TunTopology topo;
    if (!topo.ok() || !topo.startContainer()) {
        std::printf("bench_tunnel: topology failed: %s\n", topo.error().c_str());
        return 1;
    }
    BulkServer bulk(topo.far());
    if (!bulk.ok()) {
        std::puts("bench_tunnel: the bulk transfer server did not start");
        return 1;
    }
    ConnectionServer connections(topo.far());
    if (!connections.ok()) {
        std::puts("bench_tunnel: the connection server did not start");
        return 1;
    }
    PlainRelay relay(topo.near());
    if (!relay.ok()) {
        std::puts("bench_tunnel: the plain relay did not start");
        return 1;
    }
    const std::string resolv = topo.dir() + "/resolv.conf";
    std::ofstream(resolv) << "nameserver 192.0.2.53\n";
    DaemonHarness::Options options;
    options.environment << QString::fromStdString("KESTD_RESOLV_CONF=" + resolv);
    std::string switches;
    for (const char *name : {"KESTD_TUN_OFFLOAD", "KESTD_TUN_RING"}) {
        if (const char *value = std::getenv(name)) {
            options.environment << QString::fromStdString(std::string(name) + "=" + value);
            switches += std::string(", ") + name + "=" + value;
        }
    }
    DaemonHarness daemon(options);
    {
        NetnsFixture::Enter inside(topo.near());
        if (!daemon.start())
            return 1;
    }
    const pid_t keeper = topo.net().spawn(topo.near(), std::string("exec ") + KESTCTL_BINARY + " --socket " +
                                                           daemon.socketPath().toStdString() + " watch > /dev/null");
    (void)keeper;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // Baseline first, without the tunnel: straight through dante.
    Figures socks;
    topo.net().runInside(topo.near(), [&] { measureBaseline(socks, bytes); });

    KestClient client;
    client.connectTo(daemon.socketPath());
    const auto reply = client.request(QJsonObject{{"action", "start-tun"},
                                                  {"proxy-ip", TunTopology::kProxyHost},
                                                  {"proxy-port", TunTopology::kProxyPort},
                                                  {"direct-port", TunTopology::kDirectPort},
                                                  {"dns-redirect-ip", TunTopology::kDnsServer}},
                                      15000);
    if (!reply || !reply->value("success").toBool()) {
        std::puts("bench_tunnel: start-tun failed");
        return 1;
    }
    if (const char *mtu = std::getenv("KESTD_BENCH_TUN_MTU"); mtu && *mtu) {
        topo.runNear("ip link set dev $(ip -o link show | grep -o 'kest[0-9a-f]*' | head -1) mtu " + std::string(mtu));
        std::printf("TUN link MTU set to %s for this run\n", mtu);
    }
    Figures tun;
    tun.rssIdle = rssKb(daemon.pid());
    topo.net().runInside(topo.near(), [&] { measureTunnel(tun, bytes, daemon.pid()); });
    std::printf("bulk transfers of %zu MB each way%s\n", bytes / 1000000, switches.c_str());
    report(socks, tun, bytes);
    Figures engine;
    topo.net().runInside(topo.container(), [&] { measureEngine(engine, bytes, daemon.pid()); });
    reportEngine(socks, engine);
    client.close();
    daemon.stop();
    return 0;
}
