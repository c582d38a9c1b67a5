#pragma once
// The system's DNS resolver as the tunnel sees it: systemd-resolved over D-Bus when it
// runs (per-link servers, routing domain "~." so that every name goes to the link,
// cache flush), otherwise /etc/resolv.conf rewritten with the tunnel's servers while
// the original is kept beside it. The kept original is put back at stop, and at the
// next start when a killed daemon left it behind (the rewrite is written into the
// TUN state file, whose record names the file).
//
// Environment overrides (tests): KESTD_RESOLV_CONF names the resolv.conf to manage;
// KESTD_RESOLVED_BUS is the D-Bus address on which systemd-resolved is looked for.

#include <cstdint>
#include <string>
#include <vector>

class SystemResolver {
public:
    static constexpr const char *kDefaultResolvConf = "/etc/resolv.conf";
    static constexpr const char *kKeptSuffix = ".kestd-orig";
    static constexpr const char *kService = "org.freedesktop.resolve1";
    static constexpr const char *kPath = "/org/freedesktop/resolve1";
    static constexpr const char *kManager = "org.freedesktop.resolve1.Manager";
    static constexpr const char *kRoutingDomain = "."; // "~." : routing-only root domain

    // systemd-resolved is registered on the bus.
    static bool resolvedRunning();
    // Per-link DNS servers (dotted IPv4 or IPv6 text) and the routing domain "~.";
    // an empty list reverts the link. 0 or -1 with the D-Bus error text in *error.
    static int setLinkDns(std::uint32_t interfaceIndex, const std::vector<std::string> &servers,
                          std::string *error);
    static int revertLink(std::uint32_t interfaceIndex, std::string *error);
    static int flushCaches(std::string *error);

    static std::string resolvConfPath();
    static std::string keptOriginalPath();
    // Keeps the original (once) and writes the servers as the only name servers.
    // 0 or an errno.
    static int rewriteResolvConf(const std::vector<std::string> &servers);
    // Puts the kept original back; 0 also when nothing was kept. Only restores what
    // this process rewrote unless force is set (start-up recovery).
    static int restoreResolvConf(bool force = false);
    // Start-up step: a kept original left by a killed run is restored. True when one
    // was found and restored; logs what it did.
    static bool restoreAfterCrash(const std::string &path = resolvConfPath());
    static constexpr const char *kRecordKind = "resolv-conf";
    // The same for the file a TUN state record names.
    static bool undoRecord(const std::string &record);
};
