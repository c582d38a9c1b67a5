#pragma once
// Which process owns a connection the tunnel intercepted, for per-process
// routing: the kernel's socket table (inet_diag, filtered by port) gives the
// socket's inode, and the process holding that inode gives the image path.
// Finding the holder means reading /proc/PID/fd links; a cache of inode ->
// (pid, fd), verified with one readlink before use, and the recent owners
// (first the descriptor each last had a match at and the few after it, and
// those freed by their connections that ended, then all of theirs) keep most
// lookups far from a scan of every process; a scan starts with the processes
// of the cgroup the socket was made in.
// Thread-safe; called from worker threads and the adapter reader thread.

#include "net/SockDiag.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class ConnectionOwnerLookup {
public:
    // The owner reported for a socket that the kernel lists but no visible
    // process holds (a kernel socket, or one held in another PID namespace).
    static constexpr std::uint32_t kSystemPid = 0xFFFFFFFF;
    static constexpr const char *kSystemPath = ":System";
    static constexpr std::size_t kMaxCachedInodes = 65536;
    static constexpr std::size_t kRecentOwners = 32;
    // Descriptors past a recent owner's last match that are tried one by one,
    // and those freed by ended connections (per owner), for this many of the
    // most recent owners.
    static constexpr int kDescriptorsAhead = 3;
    static constexpr std::size_t kFreedDescriptors = 8;
    static constexpr std::size_t kProbedOwners = 4;

    struct Stats {
        std::uint64_t cacheHits = 0;
        std::uint64_t recentOwnerHits = 0; // found at a recent owner, by descriptor or by its scan
        std::uint64_t fullScans = 0;
        std::uint64_t descriptorHits = 0; // of those, found without reading a directory
        std::uint64_t cgroupHits = 0;     // of the full scans, found in the socket's cgroup
    };

    // The owner's image path, or empty when no matching socket exists. TCP
    // matches local port, remote IPv4 address and remote port (host order);
    // UDP the local port only, or, given the local address, the socket that
    // receives from the remote endpoint (found by hash, much faster).
    std::string tcpOwnerPath(std::uint16_t localPort, std::uint32_t remoteIp, std::uint16_t remotePort,
                             std::uint32_t localIp = 0);
    std::string udpOwnerPath(std::uint16_t localPort, std::uint32_t localIp = 0, std::uint32_t remoteIp = 0,
                             std::uint16_t remotePort = 0);

    // The owner's pid, 0 when not found, kSystemPid when held by no process.
    // A caller that knows the connection's local address (the tunnel's NAT
    // path does: the session's client address) passes it as localIp: the
    // kernel then finds the socket by hash, about 30 times faster than the
    // filtered walk of the whole TCP table that the port triple needs.
    std::uint32_t tcpOwnerPid(std::uint16_t localPort, std::uint32_t remoteIp, std::uint16_t remotePort,
                              std::uint32_t localIp = 0);
    std::uint32_t udpOwnerPid(std::uint16_t localPort, std::uint32_t localIp = 0, std::uint32_t remoteIp = 0,
                              std::uint16_t remotePort = 0);

    // A connection found by tcpOwnerPid with its local address has ended: its
    // owner has most likely closed the socket, and the next socket it makes
    // takes the lowest free descriptor, often that one.
    void tcpConnectionEnded(std::uint16_t localPort, std::uint32_t remoteIp, std::uint16_t remotePort,
                            std::uint32_t localIp);

    // ":System" for kSystemPid, the executable's path, or "[PID:" id "]" when
    // it cannot be read (the process is gone or has no executable).
    static std::string processImagePath(std::uint32_t pid);
    // The uid a process runs under (the owner of its /proc entry); empty when
    // it is gone or for kSystemPid.
    static std::optional<std::uint32_t> processUid(std::uint32_t pid);

    Stats stats() const;
    // Forget cached holders (benchmarks measure the cold path with it).
    void clearCache();

private:
    struct Holder {
        std::uint32_t pid = 0;
        int fd = -1;
    };

    // The cgroup v2 root's id: every process is below it, so it narrows nothing.
    static constexpr std::uint64_t kRootCgroupId = 1;

    // The holder of the socket; pid kSystemPid (fd -1) when no process holds it.
    Holder ownerOfSocket(const SockDiag::Row &row);
    bool cachedOwner(std::uint32_t inode, Holder *holder);
    struct RecentOwner {
        std::uint32_t pid = 0;
        std::uint32_t uid = 0; // of the socket it was found for
        int fd = -1;           // the descriptor that socket was found at
        std::array<int, kFreedDescriptors> freed{}; // ascending
        std::size_t freedCount = 0;

        bool isFreed(int descriptor) const;
        // Kept when among the lowest kFreedDescriptors: those are reused first.
        void addFreed(int descriptor);
        void dropFreed(int descriptor);
    };
    struct Tuple {
        std::uint32_t localIp = 0;
        std::uint32_t remoteIp = 0;
        std::uint16_t localPort = 0;
        std::uint16_t remotePort = 0;
        bool operator==(const Tuple &) const = default;
    };
    struct TupleHash {
        std::size_t operator()(const Tuple &t) const
        {
            return std::hash<std::uint64_t>{}((std::uint64_t(t.localIp) << 32 | t.remoteIp) ^
                                              (std::uint64_t(t.localPort) << 16 | t.remotePort) * 0x9E3779B97F4A7C15ull);
        }
    };

    // A freed descriptor found taken by another file is no longer tried.
    void forgetFreed(std::uint32_t pid, std::uint32_t uid, int fd);
    // The recent owner entry of pid for sockets of uid; end() when none. Under m_mutex.
    std::vector<RecentOwner>::iterator recentOwner(std::uint32_t pid, std::uint32_t uid);
    // Caches every holder seen during a scan; pid, when found (its socket at
    // descriptor fd), becomes the most recent owner of sockets of uid.
    void remember(std::uint32_t pid, std::uint32_t uid, const std::vector<std::pair<std::uint32_t, Holder>> &seen,
                  int fd);

    mutable std::mutex m_mutex;
    std::unordered_map<std::uint32_t, Holder> m_holders;
    std::vector<RecentOwner> m_recentOwners; // most recent first
    std::unordered_map<Tuple, Holder, TupleHash> m_connections; // found with their local address
    std::atomic<std::uint64_t> m_cacheHits{0};
    std::atomic<std::uint64_t> m_recentOwnerHits{0};
    std::atomic<std::uint64_t> m_fullScans{0};
    std::atomic<std::uint64_t> m_descriptorHits{0};
    std::atomic<std::uint64_t> m_cgroupHits{0};
};
