#pragma once
// The daemon's one handle on the system-wide TUN mode: turns a "start-tun"
// request into a configured Tunnel, adds the full-tunnel routes once it runs,
// and answers "start-tun", "stop-tun" and "tun-status"; also flushes the DNS
// cache and resets connections. Lives on the daemon's event-loop thread.

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

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
    QJsonObject status() const;
    void flushDnsCache();
    void resetConnections();
    bool isRunning() const { return m_running; }

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

    bool m_running = false;
    std::unique_ptr<Tunnel> m_tunnel;
    std::unique_ptr<RouteManager> m_routeManager;
    QString m_devicePath;
    QString m_adapterName;
    std::uint32_t m_originalInterfaceIndex = 0;
};
