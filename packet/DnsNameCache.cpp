#include "packet/DnsNameCache.h"

#include <chrono>

namespace {

template <typename Map>
void dropExpired(Map &map, std::chrono::steady_clock::time_point now)
{
    for (auto it = map.begin(); it != map.end();) {
        if (it->second.expiry <= now)
            it = map.erase(it);
        else
            ++it;
    }
}

// Live entries keep the first name seen; an expired one is replaced, since its
// address may have been handed to another host since.
template <typename Map>
void insertAbsent(Map &target, const Map &source)
{
    const auto now = std::chrono::steady_clock::now();
    for (const auto &[address, entry] : source) {
        if (const auto it = target.find(address); it != target.end()) {
            if (it->second.expiry > now)
                continue;
            it->second = entry;
            continue;
        }
        if (target.size() >= DnsNameCache::kMaxEntries) {
            dropExpired(target, now);
            if (target.size() >= DnsNameCache::kMaxEntries)
                return;
        }
        target.emplace(address, entry);
    }
}

template <typename Map, typename Key>
std::string liveName(const Map &map, const Key &address)
{
    const auto it = map.find(address);
    if (it == map.end() || it->second.expiry <= std::chrono::steady_clock::now())
        return std::string();
    return it->second.name;
}

} // namespace

void DnsNameCache::addAnswers(const std::uint8_t *message, std::size_t length)
{
    if (length < kMinAnswerLength)
        return;
    const DnsAnswers answers = parseDnsAnswers(message, length);
    if (!answers.empty())
        insert(answers);
}

void DnsNameCache::insert(const DnsAnswers &answers)
{
    std::lock_guard lock(m_mutex);
    insertAbsent(m_ipv4, answers.ipv4);
    insertAbsent(m_ipv6, answers.ipv6);
}

std::string DnsNameCache::lookupIpv4(std::uint32_t address) const
{
    std::lock_guard lock(m_mutex);
    return liveName(m_ipv4, address);
}

std::string DnsNameCache::lookupIpv6(const std::array<std::uint8_t, 16> &address) const
{
    std::lock_guard lock(m_mutex);
    return liveName(m_ipv6, address);
}

bool DnsNameCache::findIpv4(std::uint32_t address, DnsNameEntry *entry) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_ipv4.find(address);
    if (it == m_ipv4.end())
        return false;
    if (entry)
        *entry = it->second;
    return true;
}

std::size_t DnsNameCache::ipv4Count() const
{
    std::lock_guard lock(m_mutex);
    return m_ipv4.size();
}

std::size_t DnsNameCache::ipv6Count() const
{
    std::lock_guard lock(m_mutex);
    return m_ipv6.size();
}
