#include "explorer/XdgDataPaths.h"

#include <QDir>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace {

QString cleanDir(const QString &dir)
{
    return QDir::cleanPath(dir);
}

} // namespace

QString XdgDataPaths::dataHome()
{
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (QDir::isAbsolutePath(xdg))
        return cleanDir(xdg);
    const QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty())
        return {};
    return cleanDir(home + QStringLiteral("/.local/share"));
}

QStringList XdgDataPaths::dataDirs()
{
    QString list = qEnvironmentVariable("XDG_DATA_DIRS");
    if (list.isEmpty())
        list = QString::fromLatin1(kDefaultDataDirs);
    QStringList dirs;
    for (const QString &dir : list.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        // Relative entries are invalid by the base-directory rules.
        if (QDir::isAbsolutePath(dir) && !dirs.contains(cleanDir(dir)))
            dirs.append(cleanDir(dir));
    }
    // Flatpak adds its exports to the data dirs of login sessions only; a
    // system service has to look there itself.
    const QString flatpak = QString::fromLatin1(kFlatpakExports);
    if (!dirs.contains(flatpak))
        dirs.append(flatpak);
    return dirs;
}

QStringList XdgDataPaths::userDataHomes(quint32 uid)
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? size_t(size) : 16384);
    passwd pw{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid_t(uid), &pw, buf.data(), buf.size(), &found) != 0 || !found || !pw.pw_dir)
        return {};
    const QString home = cleanDir(QString::fromLocal8Bit(pw.pw_dir));
    if (!QDir::isAbsolutePath(home) || home == QStringLiteral("/"))
        return {};
    const QString share = home + QStringLiteral("/.local/share");
    return {share, share + QStringLiteral("/flatpak/exports/share")};
}
