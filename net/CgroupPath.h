#pragma once
// Where processes sit in the cgroup v2 hierarchy, for the firewall's permits by
// cgroup: a process's cgroup, the cgroup's level, the path by which nftables
// finds it (relative to /sys/fs/cgroup, so "unified/..." on a hybrid system),
// and whether a cgroup belongs to one program or to many.
//
// Paths are relative to the root of the hierarchy and start with '/'
// ("/system.slice/kestd.service"); "/" is the root itself.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class CgroupPath {
public:
    static constexpr const char *kSysfsRoot = "/sys/fs/cgroup";

    // The cgroup v2 path of a process (0: this one); empty when unknown.
    static std::string ofProcess(pid_t pid);
    // The processes in the cgroup v2 with this id (the id a socket's diagnostics
    // carry), opened by its file handle; empty when it is gone or unknown.
    static std::vector<pid_t> processesOf(std::uint64_t cgroupId);
    // The cgroup's level: 0 for the root, 1 for "/a", 2 for "/a/b".
    static int level(const std::string &path);
    // The path as nftables resolves it, relative to kSysfsRoot; empty when the
    // hierarchy is not mounted there or the path is malformed.
    static std::string nftPath(const std::string &path);
    // A cgroup that unrelated programs share: the root, a slice, a login
    // session's scope, or a user's whole service manager.
    static bool isShared(const std::string &path);
    // A unit a desktop starts for one launch of one application:
    // "app-<...>.scope" or "app-<...>.service".
    static bool isApplicationUnit(const std::string &path);
    // Well formed: absolute, no empty, "." or ".." component, no control bytes.
    static bool isValid(const std::string &path);
};
