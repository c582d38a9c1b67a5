#include "tun/ReversePathFilter.h"

#include "net/InterfaceConfig.h"
#include "net/TunStateFile.h"

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

std::string recordOf(const std::string &interfaceName, int original)
{
    return std::string(ReversePathFilter::kRecordKind) + " dev=" + TunStateFile::escape(interfaceName) +
           " value=" + std::to_string(original);
}
} // namespace

bool ReversePathFilter::undoRecord(const std::string &record)
{
    const std::string name = TunStateFile::field(record, "dev").value_or("");
    const std::string value = TunStateFile::field(record, "value").value_or("");
    const int original = value.size() == 1 && value[0] >= '0' && value[0] <= '9' ? value[0] - '0' : -1;
    if (!isInterfaceName(name) || original < 0 || original > kLoose) {
        qWarning() << "[RP-FILTER] Ignoring an unreadable reverse-path filter record:" << record.c_str();
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
    TunStateFile::add(recordOf(name, own));
    if (const int error = writeSysctl(keyFor(name), std::to_string(kLoose)); error != 0) {
        TunStateFile::remove(recordOf(name, own));
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
    // The interface may have gone meanwhile; nothing is left to restore then.
    if (readValue(m_interfaceName) >= 0) {
        if (const int error = writeSysctl(keyFor(m_interfaceName), std::to_string(m_original)); error != 0)
            qWarning() << "[RP-FILTER] Failed to restore reverse-path filtering on" << m_interfaceName.c_str()
                       << "- Error:" << error;
        else
            qInfo() << "[RP-FILTER] Reverse-path filtering on" << m_interfaceName.c_str() << "restored to" << m_original;
    }
    TunStateFile::remove(recordOf(m_interfaceName, m_original));
}
