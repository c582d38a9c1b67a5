// "start-tun" reading on arbitrary bytes taken as the request's JSON: reading
// never fails, a configuration that passes validation has an adapter name the
// link alias can hold and a tunnel address, and every address the manager
// parses is read as four decimal parts of 0..255, nothing else.

#include "tun/TunStartConfig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

// A second reading of dotted IPv4 text, written apart from the daemon's.
std::uint32_t referenceParse(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::uint32_t address = 0;
    int parts = 0;
    int digits = 0;
    std::uint32_t part = 0;
    for (qsizetype i = 0; i <= bytes.size(); ++i) {
        const char c = i < bytes.size() ? bytes[i] : '.';
        if (c >= '0' && c <= '9') {
            if (++digits > 3)
                return 0;
            part = part * 10 + std::uint32_t(c - '0');
            continue;
        }
        if (c != '.' || digits == 0 || part > 255 || ++parts > 4)
            return 0;
        address = address << 8 | part;
        digits = 0;
        part = 0;
    }
    return parts == 4 ? address : 0;
}

void checkAddress(const QString &text)
{
    if (TunStartConfig::parseDottedIpv4(text) != referenceParse(text))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const TunStartConfig config = TunStartConfig::fromJson(document.object());
    if (config.validationError().isEmpty()) {
        if (config.adapterName.toUtf8().size() > TunStartConfig::kMaxAdapterNameBytes)
            std::abort();
        if (TunStartConfig::parseDottedIpv4(config.tunnelIp) == 0)
            std::abort();
    }
    for (const QString &address : {config.proxyIp, config.tunnelIp, config.dnsRedirectIp})
        checkAddress(address);
    for (const QString &address : config.bypassIps)
        checkAddress(address);
    return 0;
}
