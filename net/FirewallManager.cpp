#include "net/FirewallManager.h"

#include "net/NftablesSession.h"
#include "net/OwnSocketMark.h"
#include "net/CgroupPath.h"
#include "net/TunStateFile.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <set>
#include <unistd.h>

namespace {

constexpr const char *kPermitChain = "permit";
constexpr const char *kOutputChain = "output";
constexpr const char *kInboundChain = "inbound";
constexpr const char *kReplyChain = "reply";
constexpr const char *kInputChain = "input";
constexpr const char *kAllChains[] = {kPermitChain, kOutputChain, kInboundChain, kReplyChain, kInputChain};

std::string table()
{
    return std::string("inet ") + FirewallManager::kTableName;
}

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

// The table's chains: the groups on output, the permits they jump to, the
// marks of inbound connections before routing, the marks of their local
// replies in a route chain (a changed mark routes the packet anew), and the
// listener's accept rule on input.
std::string chainCommands()
{
    const std::string t = table();
    return "add chain " + t + " " + kPermitChain + "\n" +
           "add chain " + t + " " + kOutputChain + " { type filter hook output priority filter; policy accept; }\n" +
           "add chain " + t + " " + kInboundChain + " { type filter hook prerouting priority mangle; policy accept; }\n" +
           "add chain " + t + " " + kReplyChain + " { type route hook output priority mangle; policy accept; }\n" +
           "add chain " + t + " " + kInputChain + " { type filter hook input priority filter; policy accept; }\n";
}

std::string executablePath()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    if (n <= 0 || n >= ssize_t(sizeof path))
        return {};
    return std::string(path, std::size_t(n));
}

// At most max bytes, cut before a UTF-8 continuation byte.
std::string truncated(std::string text, std::size_t max)
{
    if (text.size() <= max)
        return text;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}

} // namespace

FirewallManager::FirewallManager() = default;

FirewallManager::~FirewallManager()
{
    removeAll();
}

std::string FirewallManager::tableRecord()
{
    return std::string(kRecordKind) + " family=inet name=" + kTableName;
}

bool FirewallManager::initialise()
{
    if (m_initialised)
        return true;
    m_session = std::make_unique<NftablesSession>();
    if (!m_session->isOpen()) {
        qCritical() << "Failed to open nftables context:" << m_session->openError();
        m_session.reset();
        return false;
    }
    removeLeftoverTable();
    createTable();
    m_initialised = true;
    qDebug() << "Firewall manager initialized";
    return true;
}

void FirewallManager::removeLeftoverTable()
{
    const NftablesSession::Result result = m_session->run("delete table " + table(), false);
    if (result.ok)
        qInfo() << "[nftables] Removed the table" << kTableName << "left by an earlier run";
    else if (result.error != ENOENT)
        qWarning() << "[nftables] Cannot remove the table" << kTableName << "left by an earlier run:" << result.error
                   << result.message.c_str();
}

bool FirewallManager::createTable()
{
    // Written down first: a kill right after the creation still finds the record.
    TunStateFile::add(tableRecord());
    NftablesSession::Result result = m_session->run("add table " + table() + " { flags owner; }\n" + chainCommands(), false);
    if (!result.ok && (result.error == EOPNOTSUPP || result.error == EINVAL)) {
        // A kernel without owned tables: the table then outlives a killed daemon
        // until the next start removes it.
        qWarning() << "[nftables] Tables owned by a process are not supported:" << result.message.c_str()
                   << "- a killed daemon leaves its rules until the next start";
        result = m_session->run("add table " + table() + "\n" + chainCommands(), false);
    }
    if (!result.ok) {
        qWarning() << "Failed to create nftables table:" << result.error << result.message.c_str();
        TunStateFile::remove(tableRecord());
    }
    return result.ok;
}

FirewallManager::Added FirewallManager::addRule(const char *chain, const std::string &body, const std::string &comment)
{
    Added added;
    const NftablesSession::Result result =
        m_session->run("add rule " + table() + " " + chain + " " + body + " comment " +
                       NftablesSession::quoted(truncated(comment, kMaxCommentBytes)));
    const std::vector<std::uint64_t> handles = NftablesSession::ruleHandles(result.output);
    if (!result.ok || handles.size() != 1) {
        added.error = result.ok ? EIO : result.error;
        added.message = result.ok ? "no rule handle in the answer" : result.message;
        return added;
    }
    added.ok = true;
    added.handle = handles.front();
    return added;
}

bool FirewallManager::applyStrictRoute(std::uint32_t tunInterfaceIndex, std::uint32_t dnsAddress, bool blockIpv6)
{
    (void)dnsAddress; // DNS to it leaves through the TUN link, which group 3 permits
    if (!m_initialised) {
        qCritical() << "Firewall manager not initialized";
        return false;
    }
    qDebug() << "Applying strict route - interface:" << tunInterfaceIndex;
    m_tunIndex = tunInterfaceIndex;
    bool result = true;
    // Replies of connections that came in are no outgoing connections.
    const Added replies = addRule(kOutputChain, "ct direction reply accept", "inbound replies");
    if (replies.ok)
        m_filterIds.push_back(replies.handle);
    const Added jump = addRule(kOutputChain, std::string("jump ") + kPermitChain, "protect");
    if (jump.ok)
        m_filterIds.push_back(jump.handle);
    if (!jump.ok || !addProcessPermits()) {
        qWarning() << "Failed to add process permit filters";
        result = false;
    }
    if (blockIpv6 && !addIpv6Block()) {
        qWarning() << "Failed to add IPv6 block filter";
        result = false;
    } else if (blockIpv6) {
        qDebug() << "Added IPv6 block filter (weight 12)";
    }
    if (!addInterfacePermits(tunInterfaceIndex)) {
        qWarning() << "Failed to add interface permit filters";
        result = false;
    }
    const bool dnsBlocked = addDnsBlock();
    if (!dnsBlocked) {
        qWarning() << "Failed to add DNS block filters";
        result = false;
    }
    addInboundMarks(tunInterfaceIndex);
    if (dnsBlocked && result) {
        qDebug() << "Strict route firewall rules applied successfully";
        qInfo() << "[nftables] Created" << filterIds().size() << "filters";
        verifyFilters();
    }
    m_applied = result;
    return result;
}

// Group 1: the daemon by its socket mark (which decides the group), then the
// cgroups, best effort.
bool FirewallManager::addProcessPermits()
{
    const Added mark = addRule(kPermitChain,
                               "meta mark & " + hex(OwnSocketMark::kValue) + " == " + hex(OwnSocketMark::kValue) + " accept",
                               "protect ipv4");
    if (!mark.ok) {
        qWarning() << "Failed to add protect ipv4 filter for kestd:" << mark.error << mark.message.c_str();
        return false;
    }
    m_filterIds.push_back(mark.handle);
    const CgroupPermits permits = updateCgroupPermits();
    qDebug() << "Added process permit filters for kestd (weight 13)";
    if (!m_cgroups.managed.empty() && permits.managed)
        qDebug() << "Added process permit filters for xray (weight 13)";
    else if (!m_cgroups.managed.empty())
        qWarning() << "Failed to add filters for xray - proxy DNS may not work";
    if (!m_cgroups.clients.empty() && permits.clients)
        qDebug() << "Added process permit filters for Kest (weight 13)";
    else if (!m_cgroups.clients.empty())
        qWarning() << "Failed to add filters for Kest - GUI DNS may not work";
    m_permitsInPlace = true;
    return true;
}

// Brings the permit chain to the daemon's own cgroup (where it has one to
// itself), the managed processes' and the clients', each once: what is new
// is added first, what is no longer wanted goes after, so nothing that stays
// permitted is refused in between, and a client that comes or goes costs one rule.
FirewallManager::CgroupPermits FirewallManager::updateCgroupPermits()
{
    std::vector<std::pair<std::string, const char *>> wanted;
    const std::string own = CgroupPath::ofProcess(0);
    if (!own.empty() && !CgroupPath::isShared(own))
        wanted.emplace_back(own, "protect ipv4");
    else
        qDebug() << "[nftables] The daemon's cgroup" << own.c_str() << "is shared with other programs: permitted by its socket mark only";
    for (const std::string &path : m_cgroups.managed)
        wanted.emplace_back(path, "protect ipv4 xray");
    for (const std::string &path : m_cgroups.clients)
        wanted.emplace_back(path, "protect ipv4 kest");
    std::set<std::string> kept;
    for (const auto &[path, label] : wanted) {
        if (!m_permits.count(path))
            if (const auto handle = permitCgroup(path, label))
                m_permits.emplace(path, *handle);
        kept.insert(path);
    }
    for (auto permit = m_permits.begin(); permit != m_permits.end();) {
        if (kept.count(permit->first)) {
            ++permit;
            continue;
        }
        deleteRule(permit->second, kPermitChain);
        permit = m_permits.erase(permit);
    }
    CgroupPermits permits;
    for (const std::string &path : m_cgroups.managed)
        permits.managed = m_permits.count(path) && permits.managed;
    for (const std::string &path : m_cgroups.clients)
        permits.clients = m_permits.count(path) && permits.clients;
    return permits;
}

// A socket matches when the cgroup it was made in is the path or lies below it.
std::optional<std::uint64_t> FirewallManager::permitCgroup(const std::string &path, const char *label)
{
    if (CgroupPath::isShared(path)) {
        qWarning() << "[nftables] Not permitting the cgroup" << path.c_str() << "- other programs share it";
        return std::nullopt;
    }
    const std::string nftPath = CgroupPath::nftPath(path);
    if (nftPath.empty()) {
        qWarning() << "Failed to add" << label << "filter for" << path.c_str() << ": no cgroup v2 hierarchy under"
                   << CgroupPath::kSysfsRoot;
        return std::nullopt;
    }
    const Added added = addRule(kPermitChain,
                                "socket cgroupv2 level " + std::to_string(CgroupPath::level(path)) + " " +
                                    NftablesSession::quoted(nftPath) + " accept",
                                std::string(label) + " " + path);
    if (!added.ok) {
        qWarning() << "Failed to add" << label << "filter for" << path.c_str() << ":" << added.error
                   << added.message.c_str();
        return std::nullopt;
    }
    return added.handle;
}

// Group 2: IPv6 neighbour discovery stays (the link itself needs it), every
// other IPv6 packet leaving by a link but loopback is refused.
bool FirewallManager::addIpv6Block()
{
    const Added discovery = addRule(kOutputChain,
                                    "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert, "
                                    "mld-listener-report, mld2-listener-report } accept",
                                    "ipv6 neighbour discovery");
    if (discovery.ok)
        m_filterIds.push_back(discovery.handle);
    const Added block =
        addRule(kOutputChain, "meta nfproto ipv6 oif != \"lo\" reject with icmpx admin-prohibited", "block ipv6");
    if (!block.ok) {
        qWarning() << "Failed to add block ipv6 filter:" << block.error << block.message.c_str();
        return false;
    }
    m_filterIds.push_back(block.handle);
    return true;
}

// An IPv4 rule, which decides, and its IPv6 twin, best effort.
bool FirewallManager::addFamilyPair(const std::string &rest, const char *ipv4Label, const char *ipv6Label)
{
    const Added v4 = addRule(kOutputChain, "meta nfproto ipv4 " + rest, ipv4Label);
    if (!v4.ok) {
        qWarning() << "Failed to add" << ipv4Label << "filter:" << v4.error << v4.message.c_str();
        return false;
    }
    m_filterIds.push_back(v4.handle);
    const Added v6 = addRule(kOutputChain, "meta nfproto ipv6 " + rest, ipv6Label);
    if (v6.ok)
        m_filterIds.push_back(v6.handle);
    else
        qWarning() << "Failed to add" << ipv6Label << "filter:" << v6.error << v6.message.c_str();
    return true;
}

// Group 3.
bool FirewallManager::addInterfacePermits(std::uint32_t tunInterfaceIndex)
{
    if (!addFamilyPair("oif " + std::to_string(tunInterfaceIndex) + " accept", "allow ipv4", "allow ipv6"))
        return false;
    qDebug() << "Added interface permit filters (weight 11) - interface:" << tunInterfaceIndex;
    return true;
}

// Group 4: refused, not dropped, so that a resolver fails over at once.
bool FirewallManager::addDnsBlock()
{
    return addFamilyPair("oif != \"lo\" meta l4proto { tcp, udp } th dport " + std::to_string(kDnsPort) +
                             " reject with icmpx port-unreachable",
                         "block ipv4 dns", "block ipv6 dns");
}

// Connections that arrive by any link but the TUN link and loopback carry a
// conntrack mark; their replies carry it as packet mark, which routes them
// out by the original default route instead of into the tunnel: replies this
// host sends (route chain) and replies it forwards (before routing).
void FirewallManager::addInboundMarks(std::uint32_t tunInterfaceIndex)
{
    const std::string mark = hex(kInboundReplyMark);
    const std::string copy = "ct direction reply ct mark & " + mark + " == " + mark + " meta mark set meta mark or " + mark;
    const Added inbound = addRule(kInboundChain,
                                  "iif != { \"lo\", " + std::to_string(tunInterfaceIndex) +
                                      " } ct state new ct mark set ct mark or " + mark,
                                  "mark inbound connections");
    const Added forwarded = addRule(kInboundChain, copy, "route inbound replies");
    const Added local = addRule(kReplyChain, copy, "route inbound replies");
    for (const Added *added : {&inbound, &forwarded, &local}) {
        if (added->ok) {
            m_filterIds.push_back(added->handle);
        } else {
            qWarning() << "Failed to add inbound connection marks:" << added->error << added->message.c_str();
            return;
        }
    }
    qDebug() << "Added inbound connection marks - interface:" << tunInterfaceIndex;
}

bool FirewallManager::setPermittedCgroups(PermittedCgroups cgroups)
{
    m_cgroups = std::move(cgroups);
    if (!m_permitsInPlace || !m_session)
        return true;
    const CgroupPermits permits = updateCgroupPermits();
    return permits.managed && permits.clients;
}

void FirewallManager::deleteRule(std::uint64_t handle, const char *chain)
{
    const auto result = m_session->run("delete rule " + table() + " " + chain + " handle " + std::to_string(handle), false);
    if (!result.ok && result.error != ENOENT)
        qWarning() << "[nftables] Failed to delete rule" << handle << ":" << result.error << result.message.c_str();
}

std::vector<std::uint64_t> FirewallManager::filterIds() const
{
    std::vector<std::uint64_t> ids = m_filterIds;
    for (const auto &[path, handle] : m_permits)
        ids.push_back(handle);
    if (m_listenerRuleId)
        ids.push_back(*m_listenerRuleId);
    return ids;
}

// Every rule handle of the table, chain by chain; empty when the table is gone.
std::optional<std::vector<std::uint64_t>> FirewallManager::listedHandles(int *error)
{
    std::vector<std::uint64_t> handles;
    for (const char *chain : kAllChains) {
        const auto result = m_session->run("list chain " + table() + " " + chain);
        if (!result.ok) {
            *error = result.error;
            return std::nullopt;
        }
        const std::vector<std::uint64_t> listed = NftablesSession::ruleHandles(result.output);
        handles.insert(handles.end(), listed.begin(), listed.end());
    }
    return handles;
}

bool FirewallManager::filtersIntact()
{
    if (!m_initialised || !m_session)
        return false;
    int error = 0;
    const auto listed = listedHandles(&error);
    if (!listed)
        return false;
    const std::set<std::uint64_t> present(listed->begin(), listed->end());
    const std::vector<std::uint64_t> ids = filterIds();
    return std::all_of(ids.begin(), ids.end(), [&](std::uint64_t id) { return present.count(id) != 0; });
}

bool FirewallManager::verifyFilters()
{
    if (!m_initialised || !m_session) {
        qCritical() << "[FILTER-CHECK] ❌ Not initialized or no nftables context!";
        return false;
    }
    const std::vector<std::uint64_t> ids = filterIds();
    qInfo() << "[FILTER-CHECK] 🔍 Verifying" << ids.size() << "filters still exist...";
    int error = ENOENT;
    const auto listed = listedHandles(&error);
    const std::set<std::uint64_t> present = listed ? std::set<std::uint64_t>(listed->begin(), listed->end())
                                                   : std::set<std::uint64_t>();
    std::size_t missing = 0;
    for (const std::uint64_t id : ids) {
        if (present.count(id))
            continue;
        ++missing;
        qCritical() << "[FILTER-CHECK] ❌ Filter ID" << id << "is MISSING! Error:" << (listed ? ENOENT : error);
    }
    if (missing == 0) {
        qInfo() << "[FILTER-CHECK]" << ids.size() << "filters exist," << missing << "are MISSING";
        qInfo() << "[FILTER-CHECK] ✅ All filters verified - DNS protection active";
        return true;
    }
    qCritical() << "[FILTER-CHECK]" << ids.size() - missing << "filters exist," << missing << "are MISSING";
    qCritical() << "[FILTER-CHECK] 🔥🔥🔥 FILTERS DISAPPEARED WITHOUT CLEANUP! 🔥🔥🔥";
    return false;
}

bool FirewallManager::addListenerRule(std::uint16_t listenPort)
{
    const std::string path = executablePath();
    if (path.empty()) {
        qWarning() << "[HostFW] Failed to get process path";
        return false;
    }
    m_listenerRuleName = "KEST TUN (" + path + ")";
    if (!m_initialised || !m_session)
        return false;
    const Added added = addRule(kInputChain,
                                "iif " + std::to_string(m_tunIndex) + " tcp dport " + std::to_string(listenPort) + " accept",
                                m_listenerRuleName);
    if (!added.ok) {
        qWarning() << "[HostFW] Failed to add firewall rule:" << added.error << added.message.c_str();
        return false;
    }
    m_listenerRuleId = added.handle;
    qDebug() << "[HostFW] ✓ Added host firewall inbound allow rule for TCP";
    return true;
}

void FirewallManager::removeListenerRule()
{
    if (m_listenerRuleName.empty())
        return;
    if (m_listenerRuleId && m_session) {
        const auto result = m_session->run("delete rule " + table() + " " + kInputChain + " handle " +
                                               std::to_string(*m_listenerRuleId),
                                           false);
        if (result.ok)
            qDebug() << "[HostFW] ✓ Removed host firewall rule";
        else if (result.error == ENOENT)
            qDebug() << "[HostFW] Rule already removed";
        else
            qWarning() << "[HostFW] Failed to remove firewall rule:" << result.error << result.message.c_str();
    }
    m_listenerRuleId.reset();
    m_listenerRuleName.clear();
}

void FirewallManager::removeAll()
{
    if (!m_initialised)
        return;
    removeListenerRule();
    const auto result = m_session->run("delete table " + table(), false);
    if (!result.ok && result.error != ENOENT)
        qWarning() << "[nftables] Failed to delete the table" << kTableName << ":" << result.error
                   << result.message.c_str();
    m_filterIds.clear();
    m_permits.clear();
    // Closing the context ends its socket, and with it an owned table in any case.
    m_session.reset();
    TunStateFile::remove(tableRecord());
    m_initialised = false;
    m_applied = false;
    m_permitsInPlace = false;
}

bool FirewallManager::undoRecord(const std::string &record)
{
    if (TunStateFile::field(record, "name") != std::string(kTableName))
        return false;
    NftablesSession session;
    const auto result = session.run("delete table " + table(), false);
    if (result.ok) {
        qInfo() << "[nftables] Removed the table" << kTableName << "left by an earlier run";
        return true;
    }
    if (result.error != ENOENT)
        qWarning() << "[nftables] Cannot remove the table" << kTableName << "left by an earlier run:" << result.error
                   << result.message.c_str();
    return false;
}
