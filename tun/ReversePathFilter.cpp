#include "tun/ReversePathFilter.h"

#include "net/InterfaceConfig.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <unistd.h>

namespace {
std::string keyFor(const std::string &interfaceName)
{
    return "net/ipv4/conf/" + interfaceName + "/rp_filter";
}

// An interface name that is safe inside a /proc/sys path.
bool isInterfaceName(const std::string &name)
{
    return !name.empty() && name.size() < IF_NAMESIZE && name != "." && name != ".."
           && name.find_first_of("/ \t\n") == std::string::npos;
}

// Written to a temporary name and renamed, so a kill never leaves half a file.
int writeState(const std::string &path, const std::string &interfaceName, int original)
{
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    const std::string content = interfaceName + " " + std::to_string(original) + "\n";
    const ssize_t n = ::write(fd, content.data(), content.size());
    int result = n == ssize_t(content.size()) ? 0 : (n < 0 ? errno : EIO);
    if (result == 0 && ::fsync(fd) != 0)
        result = errno;
    ::close(fd);
    if (result == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        result = errno;
    if (result != 0)
        ::unlink(temporary.c_str());
    return result;
}
} // namespace

std::string ReversePathFilter::stateFilePath()
{
    if (const char *path = std::getenv("KESTD_RP_FILTER_STATE"); path && *path)
        return path;
    std::string runtime = kDefaultRuntimeDirectory;
    if (const char *env = std::getenv("RUNTIME_DIRECTORY"); env && *env) {
        // systemd may pass several directories separated by ':'; ours is the first.
        const std::string first = std::string(env).substr(0, std::string(env).find(':'));
        if (!first.empty())
            runtime = first;
    }
    while (runtime.size() > 1 && runtime.back() == '/')
        runtime.pop_back();
    const std::size_t slash = runtime.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string(".")
                               : slash == 0              ? std::string("/")
                                                         : runtime.substr(0, slash);
    return (parent == "/" ? parent : parent + "/") + kStateFileName;
}

bool ReversePathFilter::restoreAfterCrash()
{
    const std::string path = stateFilePath();
    std::ifstream in(path);
    if (!in)
        return false;
    std::string name;
    int original = -1;
    const bool parsed = static_cast<bool>(in >> name >> original);
    in.close();
    ::unlink(path.c_str());
    if (!parsed || !isInterfaceName(name) || original < 0 || original > kLoose) {
        qWarning() << "[RP-FILTER] Ignoring an unreadable reverse-path filter state file:" << path.c_str();
        return false;
    }
    // Gone, or no longer the loose value set here: nothing of ours to undo.
    if (readValue(name) != kLoose || original == kLoose)
        return false;
    if (const int error = writeSysctl(keyFor(name), std::to_string(original)); error != 0) {
        qWarning() << "[RP-FILTER] Failed to restore reverse-path filtering on" << name.c_str()
                   << "left by an earlier run - Error:" << error;
        return false;
    }
    qInfo() << "[RP-FILTER] Reverse-path filtering on" << name.c_str() << "restored to" << original
            << "after an earlier run";
    return true;
}

ReversePathFilter::~ReversePathFilter()
{
    restore();
}

int ReversePathFilter::readValue(const std::string &interfaceName)
{
    std::ifstream in("/proc/sys/" + keyFor(interfaceName));
    int value = -1;
    if (!(in >> value))
        return -1;
    return value;
}

int ReversePathFilter::effectiveValue(const std::string &interfaceName)
{
    return std::max(readValue("all"), readValue(interfaceName));
}

bool ReversePathFilter::loosen(std::uint32_t interfaceIndex)
{
    char name[IF_NAMESIZE] = {};
    if (interfaceIndex == 0 || !if_indextoname(interfaceIndex, name))
        return false;
    if (m_changed && m_interfaceName == name)
        return true;
    restore();
    const int own = readValue(name);
    if (effectiveValue(name) != kStrict)
        return true;
    // Recorded before the change, so a kill right after it still finds the record.
    const std::string statePath = stateFilePath();
    if (const int error = writeState(statePath, name, own); error != 0)
        qWarning() << "[RP-FILTER] Cannot record the reverse-path filter state in" << statePath.c_str()
                   << "- Error:" << error << "- a killed daemon could not restore it";
    if (const int error = writeSysctl(keyFor(name), std::to_string(kLoose)); error != 0) {
        ::unlink(statePath.c_str());
        qWarning() << "[RP-FILTER] Failed to set loose reverse-path filtering on" << name << "- Error:" << error;
        return false;
    }
    m_interfaceName = name;
    m_original = own;
    m_changed = true;
    qInfo() << "[RP-FILTER] Reverse-path filtering on" << name << "set from strict to loose for direct connections";
    return true;
}

void ReversePathFilter::restore()
{
    if (!m_changed)
        return;
    m_changed = false;
    ::unlink(stateFilePath().c_str());
    // The interface may have gone meanwhile; nothing is left to restore then.
    if (readValue(m_interfaceName) < 0)
        return;
    if (const int error = writeSysctl(keyFor(m_interfaceName), std::to_string(m_original)); error != 0)
        qWarning() << "[RP-FILTER] Failed to restore reverse-path filtering on" << m_interfaceName.c_str()
                   << "- Error:" << error;
    else
        qInfo() << "[RP-FILTER] Reverse-path filtering on" << m_interfaceName.c_str() << "restored to" << m_original;
}
