#include "net/Netlink.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/fib_rules.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kBufferSize = 32768;

struct Callback {
    void (*onReply)(const void *, void *);
    void *context;
};

int dataCallback(const nlmsghdr *message, void *data)
{
    auto *callback = static_cast<Callback *>(data);
    if (callback->onReply)
        callback->onReply(message, callback->context);
    return MNL_CB_OK;
}

// Calls visit for every attribute after the fixed header of a message.
template <typename Visit>
void forEachAttribute(const nlmsghdr *message, std::size_t headerSize, Visit visit)
{
    const auto *tail = static_cast<const char *>(mnl_nlmsg_get_payload_tail(message));
    for (auto *attribute = static_cast<const nlattr *>(mnl_nlmsg_get_payload_offset(message, headerSize));
         mnl_attr_ok(attribute, int(tail - reinterpret_cast<const char *>(attribute)));
         attribute = mnl_attr_next(attribute)) {
        if (!visit(attribute))
            return;
    }
}

std::uint32_t hostOrder(const nlattr *attribute)
{
    return ntohl(mnl_attr_get_u32(attribute));
}

struct RouteDump {
    std::uint32_t table;
    std::vector<Netlink::Route> *routes;
};

void parseRoute(const void *raw, void *context)
{
    auto *dump = static_cast<RouteDump *>(context);
    const auto *message = static_cast<const nlmsghdr *>(raw);
    if (message->nlmsg_type != RTM_NEWROUTE)
        return;
    const auto *header = static_cast<const rtmsg *>(mnl_nlmsg_get_payload(message));
    if (header->rtm_family != AF_INET)
        return;
    Netlink::Route route;
    route.prefixLength = header->rtm_dst_len;
    route.table = header->rtm_table;
    route.protocol = header->rtm_protocol;
    route.scope = header->rtm_scope;
    route.type = header->rtm_type;
    forEachAttribute(message, sizeof(rtmsg), [&](const nlattr *attribute) {
        switch (mnl_attr_get_type(attribute)) {
        case RTA_DST:
            route.destination = hostOrder(attribute);
            break;
        case RTA_GATEWAY:
            route.gateway = hostOrder(attribute);
            break;
        case RTA_OIF:
            route.interfaceIndex = mnl_attr_get_u32(attribute);
            break;
        case RTA_PRIORITY:
            route.priority = mnl_attr_get_u32(attribute);
            break;
        case RTA_TABLE:
            route.table = mnl_attr_get_u32(attribute);
            break;
        case RTA_MULTIPATH: {
            // Of a multipath route the first next hop stands for the route.
            const auto *hop = static_cast<const rtnexthop *>(mnl_attr_get_payload(attribute));
            if (mnl_attr_get_payload_len(attribute) < sizeof(rtnexthop) || route.interfaceIndex != 0)
                break;
            route.interfaceIndex = std::uint32_t(hop->rtnh_ifindex);
            const auto *inner = reinterpret_cast<const char *>(hop) + RTNH_ALIGN(sizeof(rtnexthop));
            const auto *end = reinterpret_cast<const char *>(hop) + hop->rtnh_len;
            while (inner + sizeof(nlattr) <= end) {
                const auto *nested = reinterpret_cast<const nlattr *>(inner);
                if (nested->nla_len < sizeof(nlattr))
                    break;
                if (mnl_attr_get_type(nested) == RTA_GATEWAY)
                    route.gateway = hostOrder(nested);
                inner += MNL_ALIGN(nested->nla_len);
            }
            break;
        }
        default:
            break;
        }
        return true;
    });
    if (route.table == dump->table)
        dump->routes->push_back(route);
}

struct LinkQuery {
    std::optional<Netlink::Link> link;
};

void parseLink(const void *raw, void *context)
{
    auto *query = static_cast<LinkQuery *>(context);
    const auto *message = static_cast<const nlmsghdr *>(raw);
    if (message->nlmsg_type != RTM_NEWLINK)
        return;
    const auto *header = static_cast<const ifinfomsg *>(mnl_nlmsg_get_payload(message));
    Netlink::Link link;
    link.index = std::uint32_t(header->ifi_index);
    link.flags = header->ifi_flags;
    forEachAttribute(message, sizeof(ifinfomsg), [&](const nlattr *attribute) {
        switch (mnl_attr_get_type(attribute)) {
        case IFLA_IFNAME:
            link.name = mnl_attr_get_str(attribute);
            break;
        case IFLA_IFALIAS:
            link.alias = mnl_attr_get_str(attribute);
            break;
        case IFLA_MTU:
            link.mtu = mnl_attr_get_u32(attribute);
            break;
        case IFLA_TXQLEN:
            link.txQueueLength = mnl_attr_get_u32(attribute);
            break;
        default:
            break;
        }
        return true;
    });
    query->link = link;
}

struct AddressDump {
    std::uint32_t index;
    std::vector<std::uint32_t> *addresses;
};

void parseAddress(const void *raw, void *context)
{
    auto *dump = static_cast<AddressDump *>(context);
    const auto *message = static_cast<const nlmsghdr *>(raw);
    if (message->nlmsg_type != RTM_NEWADDR)
        return;
    const auto *header = static_cast<const ifaddrmsg *>(mnl_nlmsg_get_payload(message));
    if (header->ifa_family != AF_INET || header->ifa_index != dump->index)
        return;
    std::optional<std::uint32_t> local, address;
    forEachAttribute(message, sizeof(ifaddrmsg), [&](const nlattr *attribute) {
        if (mnl_attr_get_type(attribute) == IFA_LOCAL)
            local = hostOrder(attribute);
        else if (mnl_attr_get_type(attribute) == IFA_ADDRESS)
            address = hostOrder(attribute);
        return true;
    });
    // Without IFA_LOCAL the address attribute is the local one.
    if (local || address)
        dump->addresses->push_back(local ? *local : *address);
}

nlmsghdr *startRouteMessage(char *buffer, std::uint16_t type, std::uint16_t flags, const Netlink::Route &route)
{
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = type;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | flags;
    auto *header = static_cast<rtmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    header->rtm_family = AF_INET;
    header->rtm_dst_len = route.prefixLength;
    header->rtm_table = route.table < 256 ? std::uint8_t(route.table) : std::uint8_t(RT_TABLE_UNSPEC);
    header->rtm_protocol = route.protocol;
    header->rtm_scope = route.scope;
    header->rtm_type = route.type;
    mnl_attr_put_u32(message, RTA_TABLE, route.table);
    if (route.prefixLength > 0)
        mnl_attr_put_u32(message, RTA_DST, htonl(route.destination));
    if (route.gateway != 0)
        mnl_attr_put_u32(message, RTA_GATEWAY, htonl(route.gateway));
    if (route.interfaceIndex != 0)
        mnl_attr_put_u32(message, RTA_OIF, route.interfaceIndex);
    mnl_attr_put_u32(message, RTA_PRIORITY, route.priority);
    return message;
}

nlmsghdr *startRuleMessage(char *buffer, std::uint16_t type, std::uint16_t flags, const Netlink::Rule &rule)
{
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = type;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | flags;
    auto *header = static_cast<fib_rule_hdr *>(mnl_nlmsg_put_extra_header(message, sizeof(fib_rule_hdr)));
    header->family = AF_INET;
    header->table = rule.table < 256 ? std::uint8_t(rule.table) : std::uint8_t(RT_TABLE_UNSPEC);
    header->action = FR_ACT_TO_TBL;
    mnl_attr_put_u32(message, FRA_PRIORITY, rule.priority);
    mnl_attr_put_u32(message, FRA_TABLE, rule.table);
    if (rule.fwmark != 0 || rule.fwmask != 0) {
        mnl_attr_put_u32(message, FRA_FWMARK, rule.fwmark);
        mnl_attr_put_u32(message, FRA_FWMASK, rule.fwmask);
    }
    if (rule.suppressPrefixLength >= 0)
        mnl_attr_put_u32(message, FRA_SUPPRESS_PREFIXLEN, std::uint32_t(rule.suppressPrefixLength));
    return message;
}

void parseRule(const void *raw, void *context)
{
    auto *rules = static_cast<std::vector<Netlink::Rule> *>(context);
    const auto *message = static_cast<const nlmsghdr *>(raw);
    if (message->nlmsg_type != RTM_NEWRULE)
        return;
    const auto *header = static_cast<const fib_rule_hdr *>(mnl_nlmsg_get_payload(message));
    if (header->family != AF_INET)
        return;
    Netlink::Rule rule;
    rule.table = header->table;
    forEachAttribute(message, sizeof(fib_rule_hdr), [&](const nlattr *attribute) {
        switch (mnl_attr_get_type(attribute)) {
        case FRA_PRIORITY:
            rule.priority = mnl_attr_get_u32(attribute);
            break;
        case FRA_FWMARK:
            rule.fwmark = mnl_attr_get_u32(attribute);
            break;
        case FRA_FWMASK:
            rule.fwmask = mnl_attr_get_u32(attribute);
            break;
        case FRA_TABLE:
            rule.table = mnl_attr_get_u32(attribute);
            break;
        case FRA_SUPPRESS_PREFIXLEN:
            rule.suppressPrefixLength = int(mnl_attr_get_u32(attribute));
            break;
        default:
            break;
        }
        return true;
    });
    rules->push_back(rule);
}

} // namespace

Netlink::Netlink()
{
    m_socket = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (!m_socket) {
        m_openError = errno;
        return;
    }
    if (mnl_socket_bind(m_socket, 0, MNL_SOCKET_AUTOPID) < 0) {
        m_openError = errno;
        mnl_socket_close(m_socket);
        m_socket = nullptr;
        return;
    }
    m_portId = mnl_socket_get_portid(m_socket);
    m_sequence = std::uint32_t(time(nullptr));
}

Netlink::~Netlink()
{
    if (m_socket)
        mnl_socket_close(m_socket);
}

int Netlink::transact(void *raw, void (*onReply)(const void *, void *), void *context)
{
    if (!m_socket)
        return m_openError ? m_openError : ENOTCONN;
    auto *message = static_cast<nlmsghdr *>(raw);
    std::lock_guard lock(m_mutex);
    const std::uint32_t sequence = ++m_sequence;
    message->nlmsg_seq = sequence;
    if (mnl_socket_sendto(m_socket, message, message->nlmsg_len) < 0)
        return errno;
    char buffer[kBufferSize];
    Callback callback{onReply, context};
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(m_socket, buffer, sizeof(buffer));
        if (n < 0)
            return errno == 0 ? EIO : errno;
        const int result = mnl_cb_run(buffer, std::size_t(n), sequence, m_portId, dataCallback, &callback);
        if (result == MNL_CB_ERROR)
            return errno == 0 ? EIO : errno;
        if (result == MNL_CB_STOP)
            return 0;
    }
}

int Netlink::addAddress(std::uint32_t interfaceIndex, std::uint32_t address, std::uint8_t prefixLength)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_NEWADDR;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    auto *header = static_cast<ifaddrmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(ifaddrmsg)));
    header->ifa_family = AF_INET;
    header->ifa_prefixlen = prefixLength;
    header->ifa_flags = IFA_F_PERMANENT;
    header->ifa_scope = RT_SCOPE_UNIVERSE;
    header->ifa_index = interfaceIndex;
    mnl_attr_put_u32(message, IFA_LOCAL, htonl(address));
    mnl_attr_put_u32(message, IFA_ADDRESS, htonl(address));
    return transact(message, nullptr, nullptr);
}

int Netlink::addRoute(const Route &route)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    // Append rather than exclusive create: a route of another link with the same
    // destination and priority stays in front and is never replaced; an identical
    // route answers EEXIST.
    nlmsghdr *message = startRouteMessage(buffer, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_APPEND, route);
    return transact(message, nullptr, nullptr);
}

int Netlink::deleteRoute(const Route &route)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    Route match = route;
    match.scope = RT_SCOPE_NOWHERE; // any scope
    nlmsghdr *message = startRouteMessage(buffer, RTM_DELROUTE, 0, match);
    return transact(message, nullptr, nullptr);
}

std::optional<std::vector<Netlink::Route>> Netlink::routes(std::uint32_t table)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_GETROUTE;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    auto *header = static_cast<rtmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    header->rtm_family = AF_INET;
    std::vector<Route> result;
    RouteDump dump{table, &result};
    if (transact(message, parseRoute, &dump) != 0)
        return std::nullopt;
    return result;
}

int Netlink::addRule(const Rule &rule)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    return transact(startRuleMessage(buffer, RTM_NEWRULE, NLM_F_CREATE | NLM_F_EXCL, rule), nullptr, nullptr);
}

int Netlink::deleteRule(const Rule &rule)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    return transact(startRuleMessage(buffer, RTM_DELRULE, 0, rule), nullptr, nullptr);
}

std::optional<std::vector<Netlink::Rule>> Netlink::rules()
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_GETRULE;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    auto *header = static_cast<fib_rule_hdr *>(mnl_nlmsg_put_extra_header(message, sizeof(fib_rule_hdr)));
    header->family = AF_INET;
    std::vector<Rule> result;
    if (transact(message, parseRule, &result) != 0)
        return std::nullopt;
    return result;
}

int Netlink::changeLink(std::uint32_t interfaceIndex, unsigned flags, unsigned change, int attribute,
                        const void *value, std::size_t length)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_NEWLINK;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    auto *header = static_cast<ifinfomsg *>(mnl_nlmsg_put_extra_header(message, sizeof(ifinfomsg)));
    header->ifi_family = AF_UNSPEC;
    header->ifi_index = int(interfaceIndex);
    header->ifi_flags = flags;
    header->ifi_change = change;
    // The value is caller data: it must fit the request buffer, never write past it.
    if (attribute >= 0 && !mnl_attr_put_check(message, sizeof(buffer), std::uint16_t(attribute), length, value))
        return EMSGSIZE;
    return transact(message, nullptr, nullptr);
}

int Netlink::setLinkUp(std::uint32_t interfaceIndex, bool up)
{
    return changeLink(interfaceIndex, up ? IFF_UP : 0, IFF_UP, -1, nullptr, 0);
}

int Netlink::setLinkMtu(std::uint32_t interfaceIndex, std::uint32_t mtu)
{
    return changeLink(interfaceIndex, 0, 0, IFLA_MTU, &mtu, sizeof(mtu));
}

int Netlink::setLinkAlias(std::uint32_t interfaceIndex, const std::string &alias)
{
    if (alias.size() >= kMaxAliasBytes)
        return EINVAL;
    // Sent without a terminator: the kernel counts one against the alias's room.
    return changeLink(interfaceIndex, 0, 0, IFLA_IFALIAS, alias.data(), alias.size());
}

int Netlink::setLinkTxQueueLength(std::uint32_t interfaceIndex, std::uint32_t length)
{
    return changeLink(interfaceIndex, 0, 0, IFLA_TXQLEN, &length, sizeof(length));
}

int Netlink::deleteLink(const std::string &name)
{
    if (name.empty() || name.size() >= IFNAMSIZ)
        return EINVAL;
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_DELLINK;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    auto *header = static_cast<ifinfomsg *>(mnl_nlmsg_put_extra_header(message, sizeof(ifinfomsg)));
    header->ifi_family = AF_UNSPEC;
    mnl_attr_put_strz(message, IFLA_IFNAME, name.c_str());
    return transact(message, nullptr, nullptr);
}

std::optional<Netlink::Link> Netlink::queryLink(std::uint32_t interfaceIndex, const std::string &name)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_GETLINK;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    auto *header = static_cast<ifinfomsg *>(mnl_nlmsg_put_extra_header(message, sizeof(ifinfomsg)));
    header->ifi_family = AF_UNSPEC;
    header->ifi_index = int(interfaceIndex);
    if (!name.empty()) {
        if (name.size() >= IFNAMSIZ)
            return std::nullopt;
        mnl_attr_put_strz(message, IFLA_IFNAME, name.c_str());
    }
    LinkQuery query;
    if (transact(message, parseLink, &query) != 0)
        return std::nullopt;
    return query.link;
}

std::optional<Netlink::Link> Netlink::link(std::uint32_t interfaceIndex)
{
    if (interfaceIndex == 0)
        return std::nullopt;
    return queryLink(interfaceIndex, {});
}

std::optional<Netlink::Link> Netlink::link(const std::string &name)
{
    if (name.empty())
        return std::nullopt;
    return queryLink(0, name);
}

std::optional<std::vector<std::uint32_t>> Netlink::addresses(std::uint32_t interfaceIndex)
{
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = RTM_GETADDR;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    auto *header = static_cast<ifaddrmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(ifaddrmsg)));
    header->ifa_family = AF_INET;
    std::vector<std::uint32_t> result;
    AddressDump dump{interfaceIndex, &result};
    if (transact(message, parseAddress, &dump) != 0)
        return std::nullopt;
    return result;
}
