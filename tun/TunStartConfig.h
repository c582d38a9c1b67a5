#pragma once
// The "start-tun" request: the proxy's address and ports, the tunnel address
// and adapter name, the DNS redirect and the routing rules, read from the top
// level of the client's message by fixed rules. Reading never fails: a key of
// the wrong type takes its default, so every request yields a configuration.

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>

struct TunStartConfig {
    static constexpr const char *kDefaultProxyIp = "127.0.0.1";
    static constexpr std::uint16_t kDefaultProxyPort = 10808;
    static constexpr std::uint16_t kDefaultDirectPort = 20808;
    static constexpr const char *kDefaultTunnelIp = "10.6.7.1";
    static constexpr const char *kDefaultAdapterName = "kest-default-tun";
    static constexpr const char *kDefaultDnsRedirectIp = "8.8.8.8";
    // The adapter name becomes the link's alias, which holds at most 255 bytes.
    static constexpr qsizetype kMaxAdapterNameBytes = 255;

    QString proxyIp = QString::fromLatin1(kDefaultProxyIp);
    std::uint16_t proxyPort = kDefaultProxyPort;
    std::uint16_t directPort = kDefaultDirectPort;
    QString tunnelIp = QString::fromLatin1(kDefaultTunnelIp);
    QString adapterName = QString::fromLatin1(kDefaultAdapterName);
    QString dnsRedirectIp = QString::fromLatin1(kDefaultDnsRedirectIp);
    QStringList bypassIps;
    QStringList proxyProcesses;
    QStringList directProcesses;
    QStringList excludedApps;

    // Missing or mistyped keys take their defaults; a port keeps the low 16 bits
    // of an integral number; non-string array elements read as "".
    static TunStartConfig fromJson(const QJsonObject &request);

    // Why a start with this configuration is refused before anything on the
    // system changes (the error text of the reply); empty when it may start.
    QString validationError() const;

    // Exactly four '.'-separated decimal parts of 0..255, first part most
    // significant (host order). Anything else, and 0.0.0.0, gives 0: "no address".
    static std::uint32_t parseDottedIpv4(const QString &text);
};
