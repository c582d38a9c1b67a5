#include "net/SockDiag.h"

#include <QDebug>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The INET_DIAG_CGROUP_ID attribute after the message, when present.
std::uint64_t cgroupIdOf(const nlmsghdr *h)
{
    const auto *attribute = reinterpret_cast<const rtattr *>(
        static_cast<const std::uint8_t *>(NLMSG_DATA(h)) + NLMSG_ALIGN(sizeof(inet_diag_msg)));
    int length = int(h->nlmsg_len) - int(NLMSG_LENGTH(NLMSG_ALIGN(sizeof(inet_diag_msg))));
    for (; RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == INET_DIAG_CGROUP_ID && RTA_PAYLOAD(attribute) >= sizeof(std::uint64_t)) {
            std::uint64_t id = 0;
            std::memcpy(&id, RTA_DATA(attribute), sizeof id);
            return id;
        }
    }
    return 0;
}

constexpr std::size_t kReceiveBufferSize = 32768;
// A reply the kernel never sends (its queue overflowed) must not hold a worker.
constexpr int kReceiveTimeoutMs = 1000;

// One netlink socket per thread, kept for the thread's life: lookups run on
// the tunnel's worker threads, and a socket per call would double their cost.
class DiagSocket {
public:
    DiagSocket()
    {
        m_fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (m_fd >= 0) {
            timeval tv{};
            tv.tv_sec = kReceiveTimeoutMs / 1000;
            tv.tv_usec = (kReceiveTimeoutMs % 1000) * 1000;
            setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
    }
    ~DiagSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// Bytecode program: each condition jumps to the next on a match, and past the
// end (rejecting the socket) on a mismatch.
class Filter {
public:
    void portEquals(std::uint8_t code, std::uint16_t port)
    {
        append(code, 2 * sizeof(inet_diag_bc_op));
        inet_diag_bc_op value{};
        value.no = port;
        appendBytes(&value, sizeof value);
    }

    void remoteAddressEquals(std::uint32_t addressHostOrder)
    {
        append(INET_DIAG_BC_D_COND, sizeof(inet_diag_bc_op) + sizeof(inet_diag_hostcond) + 4);
        inet_diag_hostcond cond{};
        cond.family = AF_INET;
        cond.prefix_len = 32;
        cond.port = -1;
        appendBytes(&cond, sizeof cond);
        const std::uint32_t address = htonl(addressHostOrder);
        appendBytes(&address, sizeof address);
    }

    // Fills in the reject offsets once the whole program is known.
    std::vector<std::uint8_t> finish()
    {
        for (const auto &[offset, length] : m_ops) {
            inet_diag_bc_op op;
            std::memcpy(&op, m_bytes.data() + offset, sizeof op);
            op.yes = static_cast<unsigned char>(length);
            op.no = static_cast<unsigned short>(m_bytes.size() - offset + 4);
            std::memcpy(m_bytes.data() + offset, &op, sizeof op);
        }
        return m_bytes;
    }

private:
    void append(std::uint8_t code, std::size_t length)
    {
        m_ops.emplace_back(m_bytes.size(), length);
        inet_diag_bc_op op{};
        op.code = code;
        appendBytes(&op, sizeof op);
    }
    void appendBytes(const void *p, std::size_t n)
    {
        const auto *b = static_cast<const std::uint8_t *>(p);
        m_bytes.insert(m_bytes.end(), b, b + n);
    }

    std::vector<std::uint8_t> m_bytes;
    std::vector<std::pair<std::size_t, std::size_t>> m_ops;
};

// One request: a dump filtered by bytecode, or (without bytecode) the exact
// lookup of the socket named by id. A lookup that finds nothing is an empty
// result, not a failure.
std::optional<std::vector<SockDiag::Row>> query(int family, int protocol, const inet_diag_sockid &id,
                                                const std::vector<std::uint8_t> &bytecode,
                                                const char *what, std::uint16_t expectedLocalPort = 0)
{
    const bool isDump = !bytecode.empty();
    thread_local DiagSocket socket;
    if (socket.fd() < 0) {
        qWarning() << what << "failed:" << EAFNOSUPPORT;
        return std::nullopt;
    }

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    nlattr attribute{};
    attribute.nla_type = INET_DIAG_REQ_BYTECODE;
    attribute.nla_len = static_cast<unsigned short>(NLA_HDRLEN + bytecode.size());
    message.header.nlmsg_len = static_cast<std::uint32_t>(
        sizeof message + (isDump ? NLA_ALIGN(attribute.nla_len) : 0));
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | (isDump ? NLM_F_DUMP : 0);
    static std::atomic<std::uint32_t> sequence{1};
    message.header.nlmsg_seq = sequence.fetch_add(1, std::memory_order_relaxed);
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = static_cast<std::uint8_t>(protocol);
    message.request.idiag_states = ~0u;
    message.request.id = id;

    iovec parts[3] = {{&message, sizeof message},
                      {&attribute, NLA_HDRLEN},
                      {const_cast<std::uint8_t *>(bytecode.data()), bytecode.size()}};
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    msghdr msg{};
    msg.msg_name = &kernel;
    msg.msg_namelen = sizeof kernel;
    msg.msg_iov = parts;
    msg.msg_iovlen = isDump ? 3 : 1;
    if (::sendmsg(socket.fd(), &msg, 0) < 0) {
        const int err = errno;
        qWarning() << what << "failed:" << err;
        return std::nullopt;
    }

    std::vector<SockDiag::Row> rows;
    alignas(nlmsghdr) static thread_local std::uint8_t buffer[kReceiveBufferSize];
    for (;;) {
        const ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            qWarning() << what << "failed:" << err;
            return std::nullopt;
        }
        auto *h = reinterpret_cast<nlmsghdr *>(buffer);
        int remaining = static_cast<int>(n);
        for (; NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
            if (h->nlmsg_seq != message.header.nlmsg_seq)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return rows;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
                if (!isDump && e->error == -ENOENT)
                    return rows;
                qWarning() << what << "failed:" << -e->error;
                return std::nullopt;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY
                || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            const auto *d = static_cast<const inet_diag_msg *>(NLMSG_DATA(h));
            // The exact TCP lookup falls back to a listener of the local port;
            // only the connection itself counts.
            if (!isDump && expectedLocalPort == 0 &&
                (d->id.idiag_dport != id.idiag_dport || d->id.idiag_sport != id.idiag_sport))
                return rows;
            if (!isDump && expectedLocalPort != 0 && d->id.idiag_sport != expectedLocalPort)
                return rows;
            rows.push_back({d->idiag_inode, d->idiag_uid, d->idiag_state, d->idiag_family, cgroupIdOf(h)});
            if (!isDump)
                return rows;
        }
    }
}

} // namespace

std::optional<std::vector<SockDiag::Row>> SockDiag::findTcp(int family, std::uint16_t localPort,
                                                            std::uint32_t remoteIp,
                                                            std::uint16_t remotePort)
{
    Filter filter;
    filter.portEquals(INET_DIAG_BC_S_EQ, localPort);
    filter.portEquals(INET_DIAG_BC_D_EQ, remotePort);
    filter.remoteAddressEquals(remoteIp);
    return query(family, IPPROTO_TCP, inet_diag_sockid{}, filter.finish(), "sock_diag TCP query");
}

std::optional<std::vector<SockDiag::Row>> SockDiag::findTcpExact(int family, std::uint32_t localIp,
                                                                 std::uint16_t localPort,
                                                                 std::uint32_t remoteIp,
                                                                 std::uint16_t remotePort)
{
    inet_diag_sockid id{};
    id.idiag_sport = htons(localPort);
    id.idiag_dport = htons(remotePort);
    if (family == AF_INET6) {
        id.idiag_src[2] = id.idiag_dst[2] = htonl(0xFFFF);
        id.idiag_src[3] = htonl(localIp);
        id.idiag_dst[3] = htonl(remoteIp);
    } else {
        id.idiag_src[0] = htonl(localIp);
        id.idiag_dst[0] = htonl(remoteIp);
    }
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return query(family, IPPROTO_TCP, id, {}, "sock_diag TCP lookup");
}

std::optional<std::vector<SockDiag::Row>> SockDiag::findUdp(int family, std::uint16_t localPort)
{
    Filter filter;
    filter.portEquals(INET_DIAG_BC_S_EQ, localPort);
    return query(family, IPPROTO_UDP, inet_diag_sockid{}, filter.finish(), "sock_diag UDP query");
}

std::optional<std::vector<SockDiag::Row>> SockDiag::findUdpExact(std::uint32_t localIp, std::uint16_t localPort,
                                                                 std::uint32_t remoteIp, std::uint16_t remotePort)
{
    // The kernel looks the socket up as for a datagram arriving from the
    // remote endpoint: source fields name the remote end, destination the local.
    inet_diag_sockid id{};
    id.idiag_src[0] = htonl(remoteIp);
    id.idiag_sport = htons(remotePort);
    id.idiag_dst[0] = htonl(localIp);
    id.idiag_dport = htons(localPort);
    id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return query(AF_INET, IPPROTO_UDP, id, {}, "sock_diag UDP lookup", htons(localPort));
}
