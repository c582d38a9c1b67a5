#include "tun/ReversePathFilter.h"

#include "net/InterfaceConfig.h"

#include <QDebug>

#include <algorithm>
#include <fstream>
#include <net/if.h>

namespace {
std::string keyFor(const std::string &interfaceName)
{
    return "net/ipv4/conf/" + interfaceName + "/rp_filter";
}
} // namespace

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
    if (const int error = writeSysctl(keyFor(name), std::to_string(kLoose)); error != 0) {
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
    if (readValue(m_interfaceName) < 0)
        return;
    if (const int error = writeSysctl(keyFor(m_interfaceName), std::to_string(m_original)); error != 0)
        qWarning() << "[RP-FILTER] Failed to restore reverse-path filtering on" << m_interfaceName.c_str()
                   << "- Error:" << error;
    else
        qInfo() << "[RP-FILTER] Reverse-path filtering on" << m_interfaceName.c_str() << "restored to" << m_original;
}
