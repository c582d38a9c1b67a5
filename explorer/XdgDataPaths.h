#pragma once
// Where freedesktop data lives: the data home and data directories of the
// XDG base-directory rules (XDG_DATA_HOME, XDG_DATA_DIRS and their defaults),
// the system flatpak exports, and the data home of another user.

#include <QString>
#include <QStringList>

class XdgDataPaths
{
public:
    static constexpr const char *kDefaultDataDirs = "/usr/local/share:/usr/share";
    static constexpr const char *kFlatpakExports = "/var/lib/flatpak/exports/share";
    static constexpr const char *kPixmaps = "/usr/share/pixmaps";

    // This process's data home: $XDG_DATA_HOME when absolute, else $HOME/.local/share.
    static QString dataHome();
    // $XDG_DATA_DIRS (absolute entries) or its default, then the flatpak exports.
    static QStringList dataDirs();
    // The data homes of a user of the machine (from the password database):
    // ~/.local/share and its flatpak exports; empty when the user has no home.
    static QStringList userDataHomes(quint32 uid);
};
