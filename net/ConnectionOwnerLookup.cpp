#include "net/ConnectionOwnerLookup.h"

#include "net/CgroupPath.h"
#include "net/SockDiag.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr std::string_view kSocketLinkPrefix = "socket:[";
constexpr std::string_view kDeletedSuffix = " (deleted)";

bool isPidName(const char *name)
{
    if (*name == '\0')
        return false;
    for (const char *p = name; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

// The inode of a "socket:[N]" link text, 0 when it is not one.
std::uint32_t socketInode(const char *link, std::size_t length)
{
    const std::string_view text(link, length);
    if (text.size() <= kSocketLinkPrefix.size() + 1 || !text.starts_with(kSocketLinkPrefix)
        || text.back() != ']')
        return 0;
    std::uint64_t inode = 0;
    for (std::size_t i = kSocketLinkPrefix.size(); i + 1 < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        inode = inode * 10 + std::uint64_t(text[i] - '0');
    }
    return inode > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(inode);
}

// Calls visit(inode, fd) for every socket the process holds, until visit
// returns true; returns whether it did.
template <typename Visit>
bool forEachSocket(std::uint32_t pid, Visit &&visit)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/fd", pid);
    const int dirFd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    DIR *dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return false;
    }
    bool stopped = false;
    char link[64];
    while (!stopped) {
        const dirent *entry = ::readdir(dir);
        if (!entry)
            break;
        if (!isPidName(entry->d_name))
            continue;
        const ssize_t n = ::readlinkat(dirFd, entry->d_name, link, sizeof link);
        if (n <= 0 || std::size_t(n) >= sizeof link)
            continue;
        const std::uint32_t inode = socketInode(link, std::size_t(n));
        if (inode != 0)
            stopped = visit(inode, std::atoi(entry->d_name));
    }
    ::closedir(dir);
    return stopped;
}

enum class Link { Free, Holds, Other };

// What descriptor fd of the process is: the socket, something else, or free
// (or the process is gone).
Link linkAt(std::uint32_t pid, int fd, std::uint32_t inode)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/fd/%d", pid, fd);
    char link[64];
    const ssize_t n = ::readlink(path, link, sizeof link);
    if (n < 0)
        return Link::Free;
    return std::size_t(n) < sizeof link && socketInode(link, std::size_t(n)) == inode ? Link::Holds : Link::Other;
}

bool holds(std::uint32_t pid, int fd, std::uint32_t inode)
{
    return linkAt(pid, fd, inode) == Link::Holds;
}

// Every visible process, those running as uid first: a socket is nearly
// always held by a process of the user that created it.
std::vector<std::uint32_t> processesByUid(std::uint32_t uid)
{
    std::vector<std::uint32_t> same;
    std::vector<std::uint32_t> others;
    DIR *dir = ::opendir("/proc");
    if (!dir)
        return same;
    const int procFd = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (!isPidName(entry->d_name))
            continue;
        const auto pid = static_cast<std::uint32_t>(std::strtoul(entry->d_name, nullptr, 10));
        struct stat st;
        if (::fstatat(procFd, entry->d_name, &st, 0) == 0 && st.st_uid == uid)
            same.push_back(pid);
        else
            others.push_back(pid);
    }
    ::closedir(dir);
    same.insert(same.end(), others.begin(), others.end());
    return same;
}

// The first row that a file holds; rows of inode 0 (TIME_WAIT, request
// sockets) have no owner.
const SockDiag::Row *firstHeldRow(const std::optional<std::vector<SockDiag::Row>> &rows)
{
    if (!rows)
        return nullptr;
    for (const auto &row : *rows)
        if (row.inode != 0)
            return &row;
    return nullptr;
}

} // namespace

std::string ConnectionOwnerLookup::tcpOwnerPath(std::uint16_t localPort, std::uint32_t remoteIp,
                                                std::uint16_t remotePort, std::uint32_t localIp)
{
    const std::uint32_t pid = tcpOwnerPid(localPort, remoteIp, remotePort, localIp);
    return pid == 0 ? std::string() : processImagePath(pid);
}

std::string ConnectionOwnerLookup::udpOwnerPath(std::uint16_t localPort, std::uint32_t localIp,
                                                std::uint32_t remoteIp, std::uint16_t remotePort)
{
    const std::uint32_t pid = udpOwnerPid(localPort, localIp, remoteIp, remotePort);
    return pid == 0 ? std::string() : processImagePath(pid);
}

std::uint32_t ConnectionOwnerLookup::tcpOwnerPid(std::uint16_t localPort, std::uint32_t remoteIp,
                                                 std::uint16_t remotePort, std::uint32_t localIp)
{
    auto find = [&](int family) {
        return localIp != 0 ? SockDiag::findTcpExact(family, localIp, localPort, remoteIp, remotePort)
                            : SockDiag::findTcp(family, localPort, remoteIp, remotePort);
    };
    // Dual-stack programs reach IPv4 peers through IPv6 sockets with
    // v4-mapped addresses; they are listed in the IPv6 table.
    auto rows = find(AF_INET);
    const SockDiag::Row *row = firstHeldRow(rows);
    std::optional<std::vector<SockDiag::Row>> mapped;
    if (!row) {
        mapped = find(AF_INET6);
        row = firstHeldRow(mapped);
    }
    if (!row)
        return 0;
    const Holder owner = ownerOfSocket(*row);
    if (localIp != 0 && owner.fd >= 0) {
        std::lock_guard lock(m_mutex);
        if (m_connections.size() >= kMaxCachedInodes)
            m_connections.clear();
        m_connections[Tuple{localIp, remoteIp, localPort, remotePort}] = owner;
    }
    return owner.pid;
}

void ConnectionOwnerLookup::tcpConnectionEnded(std::uint16_t localPort, std::uint32_t remoteIp,
                                               std::uint16_t remotePort, std::uint32_t localIp)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_connections.find(Tuple{localIp, remoteIp, localPort, remotePort});
    if (found == m_connections.end())
        return;
    const Holder holder = found->second;
    m_connections.erase(found);
    const auto owner = std::find_if(m_recentOwners.begin(), m_recentOwners.end(),
                                    [&](const RecentOwner &r) { return r.pid == holder.pid; });
    if (owner != m_recentOwners.end())
        owner->addFreed(holder.fd);
}

bool ConnectionOwnerLookup::RecentOwner::isFreed(int descriptor) const
{
    const auto end = freed.begin() + std::ptrdiff_t(freedCount);
    return std::binary_search(freed.begin(), end, descriptor);
}

void ConnectionOwnerLookup::RecentOwner::addFreed(int descriptor)
{
    auto end = freed.begin() + std::ptrdiff_t(freedCount);
    const auto at = std::lower_bound(freed.begin(), end, descriptor);
    if (at != end && *at == descriptor)
        return;
    if (freedCount == kFreedDescriptors) {
        if (at == end)
            return; // higher than every kept one
        --end;      // the highest goes
    } else {
        ++freedCount;
    }
    std::move_backward(at, end, end + 1);
    *at = descriptor;
}

void ConnectionOwnerLookup::RecentOwner::dropFreed(int descriptor)
{
    const auto kept = std::remove(freed.begin(), freed.begin() + std::ptrdiff_t(freedCount), descriptor);
    freedCount = std::size_t(kept - freed.begin());
}

std::uint32_t ConnectionOwnerLookup::udpOwnerPid(std::uint16_t localPort, std::uint32_t localIp,
                                                 std::uint32_t remoteIp, std::uint16_t remotePort)
{
    if (localIp != 0) {
        // Dual-stack sockets are found by the IPv4 lookup too.
        const auto rows = SockDiag::findUdpExact(localIp, localPort, remoteIp, remotePort);
        const SockDiag::Row *row = firstHeldRow(rows);
        return row ? ownerOfSocket(*row).pid : 0;
    }
    auto rows = SockDiag::findUdp(AF_INET, localPort);
    const SockDiag::Row *row = firstHeldRow(rows);
    std::optional<std::vector<SockDiag::Row>> mapped;
    if (!row) {
        mapped = SockDiag::findUdp(AF_INET6, localPort);
        row = firstHeldRow(mapped);
    }
    return row ? ownerOfSocket(*row).pid : 0;
}

std::string ConnectionOwnerLookup::processImagePath(std::uint32_t pid)
{
    if (pid == kSystemPid)
        return kSystemPath;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/exe", pid);
    char target[4096];
    const ssize_t n = ::readlink(path, target, sizeof target);
    if (n <= 0 || std::size_t(n) >= sizeof target)
        return "[PID:" + std::to_string(pid) + "]";
    std::string image(target, std::size_t(n));
    // A binary replaced on disk (an upgrade) still names its path for the rules.
    if (image.ends_with(kDeletedSuffix))
        image.resize(image.size() - kDeletedSuffix.size());
    return image;
}

std::optional<std::uint32_t> ConnectionOwnerLookup::processUid(std::uint32_t pid)
{
    if (pid == 0 || pid == kSystemPid)
        return std::nullopt;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u", pid);
    struct stat info {};
    if (::stat(path, &info) != 0)
        return std::nullopt;
    return std::uint32_t(info.st_uid);
}

bool ConnectionOwnerLookup::cachedOwner(std::uint32_t inode, Holder *found)
{
    Holder holder;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_holders.find(inode);
        if (it == m_holders.end())
            return false;
        holder = it->second;
    }
    if (holds(holder.pid, holder.fd, inode)) {
        *found = holder;
        return true;
    }
    std::lock_guard lock(m_mutex);
    const auto it = m_holders.find(inode);
    if (it != m_holders.end() && it->second.pid == holder.pid && it->second.fd == holder.fd)
        m_holders.erase(it);
    return false;
}

ConnectionOwnerLookup::Holder ConnectionOwnerLookup::ownerOfSocket(const SockDiag::Row &row)
{
    const std::uint32_t inode = row.inode;
    const std::uint32_t uid = row.uid;
    Holder cached;
    if (cachedOwner(inode, &cached)) {
        m_cacheHits.fetch_add(1, std::memory_order_relaxed);
        return cached;
    }

    std::vector<std::pair<std::uint32_t, Holder>> seen;
    std::uint32_t owner = 0;
    int ownerFd = -1;
    auto scan = [&](std::uint32_t candidate) {
        return forEachSocket(candidate, [&](std::uint32_t found, int fd) {
            seen.emplace_back(found, Holder{candidate, fd});
            if (found == inode) {
                owner = candidate;
                ownerFd = fd;
                return true;
            }
            return false;
        });
    };

    // Recent owners of sockets of the same user: a program opening one
    // connection after another is found without a scan of every process.
    std::vector<RecentOwner> recent;
    {
        std::lock_guard lock(m_mutex);
        for (const RecentOwner &r : m_recentOwners)
            if (r.uid == uid)
                recent.push_back(r);
    }
    // A new socket takes the lowest free descriptor: one that replaces a
    // closed connection mostly has the number of the last one found or of one
    // that ended, one opened while the others stay open one of the next few
    // numbers. A few readlinks each (for the most recent owners; the last
    // match only for the others) before any directory is read: a directory of
    // a thousand sockets costs a thousand.
    auto foundAt = [&](const RecentOwner &candidate, int fd) {
        const Link link = linkAt(candidate.pid, fd, inode);
        if (link == Link::Other && candidate.isFreed(fd))
            forgetFreed(candidate.pid, candidate.uid, fd); // taken by something else
        if (link != Link::Holds)
            return false;
        m_recentOwnerHits.fetch_add(1, std::memory_order_relaxed);
        m_descriptorHits.fetch_add(1, std::memory_order_relaxed);
        remember(candidate.pid, uid, {{inode, Holder{candidate.pid, fd}}}, fd);
        return true;
    };
    for (std::size_t n = 0; n < recent.size(); ++n) {
        const RecentOwner &candidate = recent[n];
        if (candidate.fd < 0)
            continue;
        const int last = n < kProbedOwners ? candidate.fd + kDescriptorsAhead : candidate.fd;
        for (int fd = candidate.fd; fd <= last; ++fd)
            if (foundAt(candidate, fd))
                return {candidate.pid, fd};
        for (std::size_t i = 0; n < kProbedOwners && i < candidate.freedCount; ++i) {
            const int fd = candidate.freed[i];
            if ((fd < candidate.fd || fd > last) && foundAt(candidate, fd))
                return {candidate.pid, fd};
        }
    }
    for (const RecentOwner &candidate : recent) {
        if (scan(candidate.pid)) {
            m_recentOwnerHits.fetch_add(1, std::memory_order_relaxed);
            remember(owner, uid, seen, ownerFd);
            return {owner, ownerFd};
        }
    }

    m_fullScans.fetch_add(1, std::memory_order_relaxed);
    std::unordered_set<std::uint32_t> scanned;
    for (const RecentOwner &r : recent)
        scanned.insert(r.pid);
    auto scanOnce = [&](std::uint32_t candidate) { return scanned.insert(candidate).second && scan(candidate); };
    // First the processes of the cgroup the socket was made in: a desktop
    // starts each application in a cgroup of its own, so a new program is
    // found among a few processes instead of all of its user's.
    if (row.cgroupId > kRootCgroupId) {
        for (const pid_t candidate : CgroupPath::processesOf(row.cgroupId)) {
            if (candidate > 0 && scanOnce(std::uint32_t(candidate))) {
                m_cgroupHits.fetch_add(1, std::memory_order_relaxed);
                remember(owner, uid, seen, ownerFd);
                return {owner, ownerFd};
            }
        }
    }
    for (const std::uint32_t candidate : processesByUid(uid)) {
        if (scanOnce(candidate)) {
            remember(owner, uid, seen, ownerFd);
            return {owner, ownerFd};
        }
    }
    remember(0, uid, seen, -1);
    return {kSystemPid, -1};
}

void ConnectionOwnerLookup::forgetFreed(std::uint32_t pid, std::uint32_t uid, int fd)
{
    std::lock_guard lock(m_mutex);
    if (const auto owner = recentOwner(pid, uid); owner != m_recentOwners.end())
        owner->dropFreed(fd);
}

std::vector<ConnectionOwnerLookup::RecentOwner>::iterator ConnectionOwnerLookup::recentOwner(std::uint32_t pid,
                                                                                            std::uint32_t uid)
{
    return std::find_if(m_recentOwners.begin(), m_recentOwners.end(),
                        [&](const RecentOwner &r) { return r.pid == pid && r.uid == uid; });
}

void ConnectionOwnerLookup::remember(std::uint32_t pid, std::uint32_t uid,
                                     const std::vector<std::pair<std::uint32_t, Holder>> &seen, int fd)
{
    std::lock_guard lock(m_mutex);
    if (m_holders.size() + seen.size() > kMaxCachedInodes)
        m_holders.clear();
    for (const auto &[found, holder] : seen)
        m_holders[found] = holder;
    if (pid == 0)
        return;
    const auto it = recentOwner(pid, uid);
    RecentOwner owner{pid, uid, fd};
    if (it != m_recentOwners.end()) {
        // Its freed descriptors stay, but for the one just taken again.
        owner = *it;
        owner.fd = fd;
        owner.dropFreed(fd);
        m_recentOwners.erase(it);
    }
    m_recentOwners.insert(m_recentOwners.begin(), owner);
    if (m_recentOwners.size() > kRecentOwners)
        m_recentOwners.resize(kRecentOwners);
}

ConnectionOwnerLookup::Stats ConnectionOwnerLookup::stats() const
{
    return {m_cacheHits.load(), m_recentOwnerHits.load(), m_fullScans.load(), m_descriptorHits.load(),
            m_cgroupHits.load()};
}

void ConnectionOwnerLookup::clearCache()
{
    std::lock_guard lock(m_mutex);
    m_holders.clear();
    m_recentOwners.clear();
    m_connections.clear();
}
