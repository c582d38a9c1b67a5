#include "tun/TunStartConfig.h"

#include <QJsonArray>
#include <QJsonValue>

#include <cmath>

namespace {
QString stringKey(const QJsonObject &request, const char *key, const char *fallback)
{
    const QJsonValue value = request.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString::fromLatin1(fallback);
}

std::uint16_t portKey(const QJsonObject &request, const char *key, std::uint16_t fallback)
{
    const QJsonValue value = request.value(QLatin1String(key));
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    // Integral numbers only; 2^63 and beyond are not representable as qint64.
    if (!std::isfinite(number) || std::trunc(number) != number || std::fabs(number) >= 9.2e18)
        return fallback;
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(number)) & 0xFFFF);
}

QStringList arrayKey(const QJsonObject &request, const char *key)
{
    QStringList out;
    const QJsonValue value = request.value(QLatin1String(key));
    if (!value.isArray())
        return out;
    for (const QJsonValue &element : value.toArray())
        out << (element.isString() ? element.toString() : QString());
    return out;
}
} // namespace

TunStartConfig TunStartConfig::fromJson(const QJsonObject &request)
{
    TunStartConfig config;
    config.proxyIp = stringKey(request, "proxy-ip", kDefaultProxyIp);
    config.proxyPort = portKey(request, "proxy-port", kDefaultProxyPort);
    config.directPort = portKey(request, "direct-port", kDefaultDirectPort);
    config.tunnelIp = stringKey(request, "tunnel-ip", kDefaultTunnelIp);
    config.adapterName = stringKey(request, "adapter-name", kDefaultAdapterName);
    config.dnsRedirectIp = stringKey(request, "dns-redirect-ip", kDefaultDnsRedirectIp);
    config.bypassIps = arrayKey(request, "bypass-ips");
    config.proxyProcesses = arrayKey(request, "proxy-processes");
    config.directProcesses = arrayKey(request, "direct-processes");
    config.excludedApps = arrayKey(request, "excluded-apps");
    return config;
}

QString TunStartConfig::validationError() const
{
    if (adapterName.toUtf8().size() > kMaxAdapterNameBytes)
        return QStringLiteral("Invalid adapter-name: longer than %1 bytes").arg(kMaxAdapterNameBytes);
    if (parseDottedIpv4(tunnelIp) == 0)
        return QStringLiteral("Invalid tunnel-ip: ") + tunnelIp;
    return QString();
}

std::uint32_t TunStartConfig::parseDottedIpv4(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return 0;
    std::uint32_t address = 0;
    for (const QString &part : parts) {
        // Decimal digits only: no sign, blanks or hexadecimal.
        if (part.isEmpty() || part.size() > 3)
            return 0;
        for (QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return 0;
        const uint value = part.toUInt();
        if (value > 255)
            return 0;
        address = (address << 8) | value;
    }
    return address;
}
