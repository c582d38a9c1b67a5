#pragma once
// Who a managed process runs as: the uid of the client that started it, with
// that user's primary group (gid, used when the user database has no entry),
// and whether the client may change the machine's network set-up, which gives
// its children the network capabilities and lets its start requests use the
// TUN-core helpers.

#include <QtGlobal>

#include <array>

#include <linux/capability.h>

struct ProcessCredentials
{
    // The ambient capabilities of the children of an authorized client: a TUN
    // device of their own, ports below 1024, raw sockets and socket marks.
    static constexpr std::array<int, 3> kNetworkCapabilities = {CAP_NET_ADMIN, CAP_NET_BIND_SERVICE, CAP_NET_RAW};
    static constexpr qint64 kRootUid = 0;

    qint64 uid = kRootUid;
    qint64 gid = 0;
    bool manageNetwork = false;

    bool isRoot() const { return uid == kRootUid; }

    // The daemon's own identity (what a child gets when no client is named).
    static ProcessCredentials ofDaemon();
};
