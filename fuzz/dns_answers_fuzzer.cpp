// parseDnsAnswers on arbitrary bytes: it must never read outside the message,
// and no recorded name can be longer than the message it came from.

#include "packet/DnsAnswers.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const DnsAnswers answers = parseDnsAnswers(data, size);
    for (const auto &[address, entry] : answers.ipv4)
        if (entry.name.empty() || entry.name.size() > size)
            std::abort();
    for (const auto &[address, entry] : answers.ipv6)
        if (entry.name.empty() || entry.name.size() > size)
            std::abort();
    return 0;
}
