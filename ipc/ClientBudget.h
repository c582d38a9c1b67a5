#pragma once
// What the clients of one user may hold in the daemon at once: connections,
// bytes of frames not yet complete, and bytes sent to them and not yet taken.
// One user's clients can then exhaust only their own share, never the memory
// or the service of other users. Event-loop thread only.

#include "ipc/MessageFraming.h"

#include <QHash>
#include <QtGlobal>

class ClientBudget
{
public:
    static constexpr int kMaxConnectionsPerUser = 64;
    // Two frames of the largest size may be on their way at once.
    static constexpr qint64 kMaxPartialBytesPerUser = 2 * (qint64(MessageFraming::kMaxFrameLength) + 4);
    // Two clients at the per-connection limit of unsent bytes.
    static constexpr qint64 kMaxUnsentBytesPerUser = 128ll * 1024 * 1024;

    // Counts a new connection of the user; false, counting nothing, when the
    // user has kMaxConnectionsPerUser already.
    bool addConnection(qint64 uid);
    void removeConnection(qint64 uid);

    // Moves the user's partial-frame bytes by delta; false, changing nothing,
    // when that would take them beyond kMaxPartialBytesPerUser.
    bool changePartial(qint64 uid, qint64 delta);
    // Moves the user's unsent bytes by delta (they may exceed the limit; the
    // caller decides whom to disconnect).
    void changeUnsent(qint64 uid, qint64 delta);

    int connections(qint64 uid) const { return m_users.value(uid).connections; }
    qint64 partialBytes(qint64 uid) const { return m_users.value(uid).partial; }
    qint64 unsentBytes(qint64 uid) const { return m_users.value(uid).unsent; }
    bool unsentOverLimit(qint64 uid) const { return unsentBytes(uid) > kMaxUnsentBytesPerUser; }

private:
    struct Usage {
        int connections = 0;
        qint64 partial = 0;
        qint64 unsent = 0;
    };
    void forgetIfUnused(qint64 uid);

    QHash<qint64, Usage> m_users;
};
