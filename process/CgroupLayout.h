#pragma once
// Where the cgroups of managed processes live, named in this one place. Each
// launch of a managed process runs in a cgroup v2 of its own, a leaf under one
// common parent:
//  - under systemd with a delegated subtree (the unit has Delegate=yes), the
//    parent is "<unit's cgroup>/managed" and the daemon itself moves to
//    "<unit's cgroup>/daemon";
//  - elsewhere, with a writable cgroup2 mount, the parent is
//    "kestd/<daemon pid>" at that mount.
// Where neither exists there is no parent, and processes are ended through
// their process groups instead.

#include <QString>

class CgroupLayout
{
public:
    static constexpr const char *kTopGroup = "kestd";
    static constexpr const char *kDaemonGroup = "daemon";
    static constexpr const char *kManagedGroup = "managed";
    // systemd marks the cgroups it delegates with this attribute set to "1".
    static constexpr const char *kDelegateAttribute = "trusted.delegate";

    // Finds the hierarchy and makes the common parent, once per process; the
    // outcome is logged once. True when managed processes get cgroups.
    static bool prepare();
    static bool available();

    // The cgroup2 mount point, e.g. "/sys/fs/cgroup/unified"; empty when none.
    static QString mountPoint();
    // The common parent of the cgroups of all managed processes, relative to
    // the cgroup2 mount and without a leading slash, e.g. "kestd/4242" or
    // "system.slice/KestService.service/managed"; empty when there is none.
    static QString managedParentPath();
    // The absolute directory for the cgroup of a new launch, unique within
    // the daemon; empty when there is no parent.
    static QString newLeafDirectory();

    // Removes the leaves that are empty and, when nothing is left, the parent
    // (at the daemon's stop and at exit).
    static void removeEmpty();
};
