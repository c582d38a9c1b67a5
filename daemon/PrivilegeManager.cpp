#include "daemon/PrivilegeManager.h"

#include <unistd.h>

PrivilegeManager::PrivilegeManager(QObject *parent)
    : QObject(parent)
    , m_elevated(privilegeLevel() > 0)
{
}

unsigned PrivilegeManager::privilegeLevel()
{
    return ::geteuid() == 0 ? 1u : 0u;
}
