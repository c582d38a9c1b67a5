#pragma once
// The DNS override of one start request ("tun-dns-override"): waits on the
// event loop (a timer, never a nested loop or a sleep) up to 10 s for the named
// link to be up, then makes the address its DNS server through the resolver
// layer: the link's own server where systemd-resolved runs, otherwise the
// resolver file, rewritten with that server. What it changed is put back when
// the object goes, which the end of its process brings about: a rewritten
// resolver file, unlike a per-link server, does not leave with the link.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <optional>

class InterfaceDnsOverride : public QObject
{
    Q_OBJECT
public:
    static constexpr int kWaitLimitMs = 10000;
    static constexpr int kPollIntervalMs = 200;

    InterfaceDnsOverride(const QString &address, const QString &iface, QObject *parent = nullptr);
    // Puts back what apply changed.
    ~InterfaceDnsOverride() override;

    // Logs the override and starts waiting for the link; an address that is
    // not an IP address is refused at once (logged).
    void start();
    bool isApplied() const { return m_applied != Applied::Nothing; }

signals:
    // The wait is over; applied tells whether the server was set.
    void finished(bool applied);

private:
    enum class Applied { Nothing, LinkServer, ResolverFile };

    void poll();
    // The link's index when it exists and is up (IFF_UP and IFF_RUNNING).
    std::optional<std::uint32_t> upLinkIndex() const;
    bool apply(std::uint32_t interfaceIndex);
    void restore();
    void finish(bool applied);

    QString m_address;
    QString m_iface;
    QTimer m_pollTimer;
    QElapsedTimer m_clock;
    Applied m_applied = Applied::Nothing;
    std::uint32_t m_interfaceIndex = 0;
};
