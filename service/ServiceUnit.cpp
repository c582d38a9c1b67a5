#include "service/ServiceUnit.h"

QString ServiceUnit::unitFileName(const QString &serviceName)
{
    return serviceName + ".service";
}

QString ServiceUnit::polkitRuleFileName(const QString &serviceName)
{
    return "50-" + serviceName.toLower() + ".rules";
}

QString ServiceUnit::unitText(const QString &displayName, const QString &executable)
{
    // Delegate=yes hands the daemon its own cgroup subtree for its children.
    // RuntimeDirectoryPreserve=yes keeps the TUN mode's record of its changes
    // past a killed daemon, so that the next start can undo them.
    // [Install] lets `systemctl enable` start it at boot; registering alone
    // does not enable it.
    return QStringLiteral("[Unit]\n"
                          "Description=%1\n"
                          "\n"
                          "[Service]\n"
                          "Type=notify\n"
                          "NotifyAccess=main\n"
                          "ExecStart=\"%2\"\n"
                          "RuntimeDirectory=kestd\n"
                          "RuntimeDirectoryPreserve=yes\n"
                          "Delegate=yes\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=%3\n")
        .arg(displayName, executable, QString::fromLatin1(kWantedBy));
}

QString ServiceUnit::polkitRuleText(const QString &unitFileName)
{
    return QStringLiteral(
               "// Lets local active users start and stop %1 and send it its custom\n"
               "// control (SIGUSR1 through systemctl kill), as the desktop client and its\n"
               "// installer need without elevation.\n"
               "polkit.addRule(function(action, subject) {\n"
               "    if (action.id == \"org.freedesktop.systemd1.manage-units\" &&\n"
               "        action.lookup(\"unit\") == \"%1\" &&\n"
               "        subject.local && subject.active) {\n"
               "        var verb = action.lookup(\"verb\");\n"
               "        if (verb == \"start\" || verb == \"stop\" || verb == \"restart\" || verb == \"kill\")\n"
               "            return polkit.Result.YES;\n"
               "    }\n"
               "});\n")
        .arg(unitFileName);
}
