#pragma once
// The daemon's one handle on the system-wide TUN mode: turns a "start-tun"
// request into a configured Tunnel, adds the full-tunnel routes once it runs,
// and answers "start-tun", "stop-tun" and "tun-status"; also flushes the DNS
// cache and resets connections. Lives on the daemon's event-loop thread.

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include "net/FirewallManager.h"

#include <cstdint>
#include <memory>
#include <optional>

class RouteManager;
class Tunnel;
struct TunStartConfig;

class KestTunManager : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kDevicePath = "/dev/net/tun";
    static constexpr std::uint8_t kPrefixLength = 30;
    static constexpr const char *kAlwaysDirectProcesses[] = {"xray.exe", "sing-box.exe", "zoduzazidu.exe"};

    explicit KestTunManager(QObject *parent = nullptr);
    ~KestTunManager() override;

    QJsonObject start(const QJsonObject &config);
    QJsonObject stop();
    static constexpr std::size_t kMaxListedConnections = 10000;

    // "running", "adapter-name", and "dns-protection": the firewall's rules
    // hold; while running, the tunnel's totals as well.
    QJsonObject status() const;
    // "tun-connections": the live flows, only those whose owner runs under
    // onlyUid when it is given.
    QJsonObject connections(std::optional<std::uint32_t> onlyUid) const;
    void flushDnsCache();
    void resetConnections();
    bool isRunning() const { return m_running; }

    // The cgroups of the managed processes (paths from the cgroup v2 root),
    // whose sockets the TUN mode's firewall lets go anywhere. Until set: the
    // daemon's own cgroup, which its children share.
    void setPermittedCgroups(const QStringList &paths);
    // A connected client's own application unit ("app-*.scope" or
    // "app-*.service", never a whole login session) is permitted as well
    // while it stays connected.
    void permitClient(const QString &clientId, qint64 pid);
    void forgetClient(const QString &clientId);

    // Undoes what a killed run of the TUN mode left on the machine (routes,
    // routing rules, rp_filter, resolver file, firewall table), as the TUN
    // state file records it. Only while holding the single-instance lock.
    static void recoverAfterCrash();

    // The running engine, for diagnostics and tests; null while stopped.
    Tunnel *tunnel() const { return m_tunnel.get(); }
    std::uint32_t originalInterfaceIndex() const { return m_originalInterfaceIndex; }

signals:
    void tunStarted();
    void tunStopped();
    void tunError(const QString &error);
    void proxyHealthCheckFailed();

private:
    void tearDown();
    void configureTunnel(const TunStartConfig &config, std::uint32_t proxyIp);
    void setUpRoutes(std::uint32_t tunnelIp, std::uint32_t proxyIp);
    FirewallManager::PermittedCgroups permittedCgroups() const;
    void updatePermittedCgroups();

    bool m_running = false;
    std::unique_ptr<Tunnel> m_tunnel;
    std::unique_ptr<RouteManager> m_routeManager;
    QString m_devicePath;
    QString m_adapterName;
    std::uint32_t m_originalInterfaceIndex = 0;
    std::optional<QStringList> m_managedCgroups;
    QHash<QString, QString> m_clientCgroups; // client id -> its application unit
};
