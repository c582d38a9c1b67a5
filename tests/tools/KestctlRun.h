#pragma once
// Runs the built kestctl and collects what it printed and its exit code.

#include <QProcess>
#include <QStringList>

struct KestctlRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline KestctlRun runKestctl(const QStringList &args, const QStringList &environment = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("COLUMNS");
    for (const QString &entry : environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    p.setProcessEnvironment(env);
    p.start(KESTCTL_BINARY, args);
    p.waitForFinished(20000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}
