#include "tun/KestTunManager.h"

#include "net/InterfaceConfig.h"
#include "net/CgroupPath.h"
#include "net/RouteManager.h"
#include "net/SystemResolver.h"
#include "net/TunStateFile.h"
#include "base/DaemonLog.h"
#include "tun/ReversePathFilter.h"
#include "tun/TunStartConfig.h"
#include "tun/Tunnel.h"

#include <QJsonArray>
#include <QMetaObject>

#include <algorithm>

KestTunManager::KestTunManager(QObject *parent)
    : QObject(parent), m_devicePath(QString::fromLatin1(kDevicePath))
{
}

void KestTunManager::recoverAfterCrash()
{
    const std::vector<std::string> records = TunStateFile::takeAll();
    int undone = 0;
    // Newest first: the rules before the routes they lead to.
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (!TunStateFile::isOfThisNamespace(*record)) {
            qCWarning(lcKestd) << "KestTunManager: not undoing a change of another network namespace:"
                               << record->c_str();
            continue;
        }
        const std::string kind = TunStateFile::kindOf(*record);
        bool done = false;
        if (kind == RouteManager::kRouteRecord || kind == RouteManager::kRuleRecord)
            done = RouteManager::undoRecord(*record);
        else if (kind == ReversePathFilter::kRecordKind)
            done = ReversePathFilter::undoRecord(*record);
        else if (kind == SystemResolver::kRecordKind)
            done = SystemResolver::undoRecord(*record);
        else if (kind == FirewallManager::kRecordKind)
            done = FirewallManager::undoRecord(*record);
        else
            qCWarning(lcKestd) << "KestTunManager: unknown record in the TUN state file:" << record->c_str();
        undone += done ? 1 : 0;
    }
    if (undone > 0)
        qCInfo(lcKestd) << "KestTunManager: undid" << undone << "changes left by an earlier run";
}

void KestTunManager::setPermittedCgroups(const QStringList &paths)
{
    m_managedCgroups = paths;
    updatePermittedCgroups();
}

void KestTunManager::permitClient(const QString &clientId, qint64 pid)
{
    if (pid <= 0)
        return;
    const std::string path = CgroupPath::ofProcess(pid_t(pid));
    if (!CgroupPath::isApplicationUnit(path)) {
        qCDebug(lcKestd) << "KestTunManager: client" << clientId << "runs in" << path.c_str()
                         << "- not an application unit of its own, not permitted by the firewall";
        return;
    }
    m_clientCgroups.insert(clientId, QString::fromStdString(path));
    updatePermittedCgroups();
}

void KestTunManager::forgetClient(const QString &clientId)
{
    if (m_clientCgroups.remove(clientId) > 0)
        updatePermittedCgroups();
}

FirewallManager::PermittedCgroups KestTunManager::permittedCgroups() const
{
    FirewallManager::PermittedCgroups cgroups;
    if (m_managedCgroups) {
        for (const QString &path : *m_managedCgroups)
            cgroups.managed.push_back(path.toStdString());
    } else if (const std::string own = CgroupPath::ofProcess(0); !own.empty()) {
        cgroups.managed.push_back(own);
    }
    for (const QString &path : m_clientCgroups)
        if (std::find(cgroups.clients.begin(), cgroups.clients.end(), path.toStdString()) == cgroups.clients.end())
            cgroups.clients.push_back(path.toStdString());
    return cgroups;
}

void KestTunManager::updatePermittedCgroups()
{
    if (m_tunnel)
        m_tunnel->setPermittedCgroups(permittedCgroups());
}

KestTunManager::~KestTunManager()
{
    if (m_running) {
        tearDown();
        qCDebug(lcKestd) << "KestTunManager: TUN stopped";
        emit tunStopped();
    }
    m_routeManager.reset();
    m_tunnel.reset();
}

void KestTunManager::tearDown()
{
    if (m_routeManager) {
        m_routeManager->removeAll();
        m_routeManager.reset();
    }
    if (m_tunnel) {
        m_tunnel->stop();
        m_tunnel.reset();
    }
    m_running = false;
}

QJsonObject KestTunManager::start(const QJsonObject &request)
{
    if (m_running && m_tunnel && m_tunnel->isRunning())
        return QJsonObject{{"success", false}, {"error", "TUN already running"}};
    if (m_running)
        tearDown(); // a stale state: the tunnel stopped underneath

    const TunStartConfig config = TunStartConfig::fromJson(request);
    if (const QString error = config.validationError(); !error.isEmpty())
        return QJsonObject{{"success", false}, {"error", error}};
    m_adapterName = config.adapterName;
    const std::uint32_t tunnelIp = TunStartConfig::parseDottedIpv4(config.tunnelIp);
    const std::uint32_t proxyIp = TunStartConfig::parseDottedIpv4(config.proxyIp);

    m_tunnel = std::make_unique<Tunnel>(config.proxyIp.toStdString(), config.proxyPort);
    m_tunnel->setHealthCheckFailedCallback([this] {
        // Called on the tunnel's timer thread; the signal belongs to this thread.
        QMetaObject::invokeMethod(this, [this] { emit proxyHealthCheckFailed(); }, Qt::QueuedConnection);
    });
    configureTunnel(config, proxyIp);
    m_tunnel->setPermittedCgroups(permittedCgroups());

    const auto started = m_tunnel->start(config.adapterName.toStdString(), tunnelIp, kPrefixLength,
                                         m_devicePath.toStdString());
    if (!started) {
        m_tunnel.reset();
        const QString error = QString::fromStdString(started.error());
        qCCritical(lcKestd) << error;
        emit tunError(error);
        return QJsonObject{{"success", false}, {"error", error}};
    }

    setUpRoutes(tunnelIp, proxyIp);
    m_running = true;
    qCDebug(lcKestd) << "KestTunManager: TUN started with adapter" << m_adapterName;
    emit tunStarted();
    return QJsonObject{{"success", true}, {"adapter-name", m_adapterName}, {"tunnel-ip", config.tunnelIp}};
}

void KestTunManager::configureTunnel(const TunStartConfig &config, std::uint32_t proxyIp)
{
    if (proxyIp != 0)
        m_tunnel->setProxyIp(proxyIp);
    if (const std::uint32_t dns = TunStartConfig::parseDottedIpv4(config.dnsRedirectIp); dns != 0)
        m_tunnel->setDnsRedirectIp(dns);
    m_tunnel->setPorts(config.proxyPort, config.directPort);
    for (const QString &text : config.bypassIps)
        if (const std::uint32_t address = TunStartConfig::parseDottedIpv4(text); address != 0)
            m_tunnel->addBypassIp(address);
    for (const QString &name : config.proxyProcesses)
        m_tunnel->addProxyProcess(name.toStdString());
    for (const QString &name : config.directProcesses)
        m_tunnel->addDirectProcess(name.toStdString());
    for (QString app : config.excludedApps) {
        if (app.isEmpty())
            continue;
        // Paths use the native separator '/'; a client's '\' reads as one too.
        app.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (app.contains(QLatin1Char('/'))) {
            app = app.toLower();
            m_tunnel->addDirectProcessPath(app.toStdString());
            qCDebug(lcKestd) << "KestTunManager: Added excluded app for direct routing (by path):" << app;
        } else {
            app = app.toLower();
            m_tunnel->addDirectProcess(app.toStdString());
            qCDebug(lcKestd) << "KestTunManager: Added excluded app for direct routing (by name):" << app;
        }
    }
    for (const char *name : kAlwaysDirectProcesses)
        m_tunnel->addDirectProcess(name);
}

void KestTunManager::setUpRoutes(std::uint32_t tunnelIp, std::uint32_t proxyIp)
{
    m_routeManager = std::make_unique<RouteManager>();
    const std::uint32_t tunnelIndex = std::uint32_t(m_tunnel->adapterLuid());
    std::uint32_t gateway = 0;
    if (const auto original = findDefaultGateway(tunnelIndex)) {
        gateway = original->gateway;
        m_originalInterfaceIndex = original->interfaceIndex;
    } else {
        qCWarning(lcKestd) << "Failed to get original default gateway";
        m_originalInterfaceIndex = 0;
    }
    qCDebug(lcKestd) << "Original network interface index:" << m_originalInterfaceIndex;
    m_tunnel->setOriginalInterfaceIndex(m_originalInterfaceIndex);
    m_routeManager->initialise(m_tunnel->adapterLuid());
    if (!m_routeManager->setupFullTunnel(tunnelIp, proxyIp, gateway))
        qCWarning(lcKestd) << "Failed to set up full tunnel routing";
}

QJsonObject KestTunManager::stop()
{
    if (!m_running)
        return QJsonObject{{"success", false}, {"error", "TUN not running"}};
    tearDown();
    qCDebug(lcKestd) << "KestTunManager: TUN stopped";
    emit tunStopped();
    return QJsonObject{{"success", true}};
}

QJsonObject KestTunManager::status() const
{
    QJsonObject reply{{"running", m_running},
                      {"adapter-name", m_running ? m_adapterName : QString()},
                      {"dns-protection", m_running && m_tunnel && m_tunnel->dnsProtectionActive()}};
    if (!m_running || !m_tunnel)
        return reply;
    const TunnelCounters::Totals totals = m_tunnel->counters().totals();
    const FlowCatalog::Counts open = m_tunnel->flowCatalog().counts();
    QJsonObject dropped;
    for (std::size_t i = 0; i < TunnelCounters::kDropReasons; ++i)
        dropped.insert(QLatin1String(TunnelCounters::kDropNames[i]), qint64(totals.dropped[i]));
    reply.insert("bytes-up", qint64(totals.bytesUp));
    reply.insert("bytes-down", qint64(totals.bytesDown));
    reply.insert("tcp-relays", qint64(open.tcp));
    reply.insert("udp-sessions", qint64(open.udp));
    reply.insert("dns-answered", qint64(totals.dnsAnswered));
    reply.insert("dropped", dropped);
    return reply;
}

QJsonObject KestTunManager::connections(std::optional<std::uint32_t> onlyUid) const
{
    if (!m_running || !m_tunnel)
        return QJsonObject{{"success", false}, {"error", "TUN not running"}};
    const FlowCatalog::Listing listing = m_tunnel->flowCatalog().list(onlyUid, kMaxListedConnections);
    QJsonArray flows;
    for (const FlowCatalog::Flow &flow : listing.flows)
        flows.append(QJsonObject{{"protocol", flow.tcp ? "tcp" : "udp"},
                                 {"source", QString::fromStdString(flow.source.address.toString())},
                                 {"source-port", flow.source.port},
                                 {"destination", QString::fromStdString(flow.destination.address.toString())},
                                 {"destination-port", flow.destination.port},
                                 {"host", QString::fromStdString(flow.host)},
                                 {"process", QString::fromStdString(flow.process)},
                                 {"route", flow.direct ? "direct" : "proxy"},
                                 {"bytes-up", qint64(flow.bytesUp)},
                                 {"bytes-down", qint64(flow.bytesDown)},
                                 {"age-ms", qint64(flow.ageMs)}});
    return QJsonObject{{"success", true}, {"total", qint64(listing.total)}, {"connections", flows}};
}

void KestTunManager::flushDnsCache()
{
    ::flushDnsCache();
    qCDebug(lcKestd) << "KestTunManager: DNS cache flushed";
}

void KestTunManager::resetConnections()
{
    if (m_running && m_tunnel) {
        m_tunnel->resetConnections();
        qCDebug(lcKestd) << "KestTunManager: All connections reset";
    } else {
        qCWarning(lcKestd) << "KestTunManager: Cannot reset connections - TUN not running";
    }
}
