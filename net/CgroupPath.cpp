#include "net/CgroupPath.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> components(const std::string &path)
{
    std::vector<std::string> parts;
    std::stringstream stream(path);
    std::string part;
    while (std::getline(stream, part, '/'))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

struct Cgroup2Mount {
    std::string root;       // the hierarchy's path mounted there ("/" normally)
    std::string mountPoint; // e.g. /sys/fs/cgroup or /sys/fs/cgroup/unified
};

// The cgroup v2 mount at or below kSysfsRoot, from this process's mount table.
std::optional<Cgroup2Mount> cgroup2Mount()
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    const std::string base = CgroupPath::kSysfsRoot;
    while (std::getline(in, line)) {
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos || !startsWith(line.substr(separator + 3), "cgroup2 "))
            continue;
        std::istringstream fields(line.substr(0, separator));
        std::string id, parent, device, root, mountPoint;
        if (!(fields >> id >> parent >> device >> root >> mountPoint))
            continue;
        if (mountPoint == base || startsWith(mountPoint, base + "/"))
            return Cgroup2Mount{root, mountPoint};
    }
    return std::nullopt;
}

} // namespace

std::string CgroupPath::ofProcess(pid_t pid)
{
    std::ifstream in(pid == 0 ? std::string("/proc/self/cgroup") : "/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        // The unified hierarchy's line is "0::<path>".
        if (!startsWith(line, "0::"))
            continue;
        const std::string path = line.substr(3);
        return isValid(path) ? path : std::string();
    }
    return {};
}

std::vector<pid_t> CgroupPath::processesOf(std::uint64_t cgroupId)
{
    // The cgroup file system's handles are its 64-bit node ids (type
    // FILEID_KERNFS), which are also the cgroup ids.
    constexpr int kKernfsHandleType = 0xfe;
    const auto mount = cgroup2Mount();
    if (!mount || cgroupId == 0)
        return {};
    const int root = ::open(mount->mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return {};
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + sizeof cgroupId];
    auto *handle = reinterpret_cast<file_handle *>(storage);
    handle->handle_bytes = sizeof cgroupId;
    handle->handle_type = kKernfsHandleType;
    std::memcpy(handle->f_handle, &cgroupId, sizeof cgroupId);
    const int directory = ::open_by_handle_at(root, handle, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(root);
    if (directory < 0)
        return {};
    const int procs = ::openat(directory, "cgroup.procs", O_RDONLY | O_CLOEXEC);
    ::close(directory);
    FILE *file = procs < 0 ? nullptr : ::fdopen(procs, "r");
    if (!file) {
        if (procs >= 0)
            ::close(procs);
        return {};
    }
    std::vector<pid_t> pids;
    for (int pid = 0; std::fscanf(file, "%d", &pid) == 1;)
        pids.push_back(pid);
    std::fclose(file);
    return pids;
}

bool CgroupPath::isValid(const std::string &path)
{
    if (path.empty() || path.front() != '/' || path.size() > 4096)
        return false;
    for (const unsigned char c : path)
        if (c < ' ' || c == 0x7f || c == '"' || c == '\\')
            return false;
    const std::vector<std::string> parts = components(path);
    for (const std::string &part : parts)
        if (part == "." || part == "..")
            return false;
    return path.find("//") == std::string::npos;
}

int CgroupPath::level(const std::string &path)
{
    return int(components(path).size());
}

std::string CgroupPath::nftPath(const std::string &path)
{
    if (!isValid(path))
        return {};
    const auto mount = cgroup2Mount();
    if (!mount)
        return {};
    // A mount of a subtree (a cgroup namespace) shows paths below its root.
    std::string below = path;
    if (mount->root != "/") {
        if (!startsWith(path, mount->root + "/"))
            return {};
        below = path.substr(mount->root.size());
    }
    std::string prefix = mount->mountPoint.substr(std::string(kSysfsRoot).size());
    if (!prefix.empty())
        prefix = prefix.substr(1) + "/";
    return prefix + below.substr(1);
}

bool CgroupPath::isShared(const std::string &path)
{
    const std::vector<std::string> parts = components(path);
    if (parts.empty())
        return true;
    const std::string &leaf = parts.back();
    return endsWith(leaf, ".slice") || (startsWith(leaf, "session-") && endsWith(leaf, ".scope")) ||
           (startsWith(leaf, "user@") && endsWith(leaf, ".service")) || leaf == "init.scope";
}

bool CgroupPath::isApplicationUnit(const std::string &path)
{
    const std::vector<std::string> parts = components(path);
    if (parts.empty())
        return false;
    const std::string &leaf = parts.back();
    return startsWith(leaf, "app-") && (endsWith(leaf, ".scope") || endsWith(leaf, ".service")) && !isShared(path);
}
