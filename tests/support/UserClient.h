#pragma once
// A client of the daemon under test that connects as another user: a helper
// process drops to that user's uid and gid (no supplementary groups), connects
// to the socket and hands the connection over. The helper stays alive until
// this object goes, since it is the client process that the daemon sees
// through the socket's peer credentials. Needs root.

#include "tools/KestClient.h"

#include <QString>

#include <sys/types.h>

class UserClient
{
public:
    static constexpr uid_t kNobody = 65534;
    static constexpr gid_t kNogroup = 65534;

    UserClient(uid_t uid = kNobody, gid_t gid = kNogroup);
    ~UserClient();
    UserClient(const UserClient &) = delete;
    UserClient &operator=(const UserClient &) = delete;

    // Connects through the helper and takes the "connected" greeting.
    bool connectTo(const QString &socketPath);
    KestClient &client() { return m_client; }
    KestClient *operator->() { return &m_client; }
    pid_t helperPid() const { return m_helper; }

private:
    void endHelper();

    uid_t m_uid;
    gid_t m_gid;
    pid_t m_helper = -1;
    int m_channel = -1; // closing it ends the helper
    KestClient m_client;
};
