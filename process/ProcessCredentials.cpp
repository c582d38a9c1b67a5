#include "process/ProcessCredentials.h"

#include <unistd.h>

ProcessCredentials ProcessCredentials::ofDaemon()
{
    const bool root = ::geteuid() == 0;
    return ProcessCredentials{qint64(::geteuid()), qint64(::getegid()), root};
}
