#pragma once
// DNS-leak protection and strict routing while the TUN mode runs, as one
// nftables table of the daemon's own (family inet, name kTableName). Its
// output chain holds four groups, in the order in which they decide:
//   1. permit the daemon (its socket mark, its cgroup), the managed processes'
//      cgroups and connected clients' own application cgroups (chain "permit");
//   2. when asked, reject outgoing IPv6 except on loopback;
//   3. permit everything that leaves through the TUN link;
//   4. reject every other connection to port 53, TCP and UDP, at once.
// Replies of inbound connections pass before the groups. The table also marks
// connections that arrive by any link but the TUN link and lets their
// replies carry that mark (kInboundReplyMark), which the route manager's
// routing rule sends out by the original default route; and it holds the
// accept rule for the NAT listener (the host firewall rule).
//
// The table carries the flag "owner": it lives exactly as long as this
// object's nftables context, so a killed daemon leaves no rule. Rule handles
// are the filter ids. One thread at a time (the tunnel's start, stop, reset).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class NftablesSession;

class FirewallManager {
public:
    static constexpr const char *kTableName = "kestd";
    static constexpr const char *kRecordKind = "nft-table";
    static constexpr std::uint32_t kInboundReplyMark = 0x20000000;
    static constexpr std::uint16_t kDnsPort = 53;
    static constexpr std::size_t kMaxCommentBytes = 128;
    static constexpr const char *kListenerRuleDescription = "Allow KEST TUN TCP NAT listener";

    // Cgroup v2 paths ("/a/b") whose sockets may go anywhere.
    struct PermittedCgroups {
        std::vector<std::string> managed; // the managed processes (the proxy core's place)
        std::vector<std::string> clients; // connected clients' own application units
    };

    FirewallManager();
    ~FirewallManager(); // removeAll
    FirewallManager(const FirewallManager &) = delete;
    FirewallManager &operator=(const FirewallManager &) = delete;

    // Opens the nftables context and creates the table and its chains,
    // removing a table that an earlier run left.
    bool initialise();
    // Adds the four groups and the inbound marks; dnsAddress is not used by the rules.
    bool applyStrictRoute(std::uint32_t tunInterfaceIndex, std::uint32_t dnsAddress, bool blockIpv6);
    // Logs and reports whether every filter added is still in place.
    bool verifyFilters();
    // The same check without a log line.
    bool filtersIntact();
    // Removes the listener rule and the table and closes the context.
    void removeAll();

    // Accepts inbound TCP on the TUN link to the listener's port; its comment
    // is the rule name "KEST TUN (<executable path>)".
    bool addListenerRule(std::uint16_t listenPort);
    void removeListenerRule();

    // Replaces the permitted cgroups; rules already applied follow at once.
    bool setPermittedCgroups(PermittedCgroups cgroups);

    bool isInitialised() const { return m_initialised; }
    bool isApplied() const { return m_applied; }
    std::vector<std::uint64_t> filterIds() const;
    const std::string &listenerRuleName() const { return m_listenerRuleName; }

    // Start-up recovery of a killed run's record: removes the table it names.
    static bool undoRecord(const std::string &record);
    static std::string tableRecord();

private:
    struct Added {
        bool ok = false;
        std::uint64_t handle = 0;
        int error = 0;
        std::string message;
    };
    struct CgroupPermits {
        bool managed = true; // every managed cgroup is permitted
        bool clients = true;
    };

    bool createTable();
    void removeLeftoverTable();
    Added addRule(const char *chain, const std::string &body, const std::string &comment);
    bool addProcessPermits();
    CgroupPermits updateCgroupPermits();
    std::optional<std::uint64_t> permitCgroup(const std::string &path, const char *label);
    bool addIpv6Block();
    bool addFamilyPair(const std::string &rest, const char *ipv4Label, const char *ipv6Label);
    bool addInterfacePermits(std::uint32_t tunInterfaceIndex);
    bool addDnsBlock();
    void addInboundMarks(std::uint32_t tunInterfaceIndex);
    std::optional<std::vector<std::uint64_t>> listedHandles(int *error);
    void deleteRule(std::uint64_t handle, const char *chain);

    std::unique_ptr<NftablesSession> m_session;
    bool m_initialised = false;
    bool m_applied = false;
    bool m_permitsInPlace = false; // the permit chain is in use
    std::uint32_t m_tunIndex = 0;
    PermittedCgroups m_cgroups;
    std::vector<std::uint64_t> m_filterIds;  // the output, inbound and reply chains' rules
    std::map<std::string, std::uint64_t> m_permits; // the permit chain's cgroup rules by path
    std::optional<std::uint64_t> m_listenerRuleId;
    std::string m_listenerRuleName;
};
