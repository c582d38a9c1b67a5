#include "ipc/ClientBudget.h"

bool ClientBudget::addConnection(qint64 uid)
{
    Usage &usage = m_users[uid];
    if (usage.connections >= kMaxConnectionsPerUser) {
        forgetIfUnused(uid);
        return false;
    }
    ++usage.connections;
    return true;
}

void ClientBudget::removeConnection(qint64 uid)
{
    auto it = m_users.find(uid);
    if (it == m_users.end() || it->connections == 0)
        return;
    --it->connections;
    forgetIfUnused(uid);
}

bool ClientBudget::changePartial(qint64 uid, qint64 delta)
{
    Usage &usage = m_users[uid];
    if (delta > 0 && usage.partial + delta > kMaxPartialBytesPerUser) {
        forgetIfUnused(uid);
        return false;
    }
    usage.partial = qMax<qint64>(0, usage.partial + delta);
    forgetIfUnused(uid);
    return true;
}

void ClientBudget::changeUnsent(qint64 uid, qint64 delta)
{
    Usage &usage = m_users[uid];
    usage.unsent = qMax<qint64>(0, usage.unsent + delta);
    forgetIfUnused(uid);
}

void ClientBudget::forgetIfUnused(qint64 uid)
{
    const auto it = m_users.constFind(uid);
    if (it != m_users.cend() && it->connections == 0 && it->partial == 0 && it->unsent == 0)
        m_users.erase(it);
}
