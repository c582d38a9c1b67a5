#pragma once
// The files that make the daemon a systemd service: the unit and the polkit
// rule that lets local users control it. `kestd --register` writes them for
// the running executable; the package build writes the very same texts for
// the installed one.

#include <QString>

class ServiceUnit
{
public:
    // The systemd target that an enabled unit joins.
    static constexpr const char *kWantedBy = "multi-user.target";

    static QString unitFileName(const QString &serviceName);
    static QString polkitRuleFileName(const QString &serviceName);

    static QString unitText(const QString &displayName, const QString &executable);
    static QString polkitRuleText(const QString &unitFileName);
};
