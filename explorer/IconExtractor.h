#pragma once
// The icon a Linux desktop shows for a program: the desktop entry that starts
// the executable names an icon, which is looked up in the icon themes and
// pixmap directories, rendered (PNG, XPM, SVG) to a square of the requested
// edge and encoded as base64 PNG. Desktop entries and themes of the daemon's
// data directories, and of the users whose session processes are listed.

#include "explorer/DesktopEntryIndex.h"
#include "explorer/IconThemeLookup.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>

class IconExtractor
{
public:
    static constexpr qint64 kMaxImageBytes = 4 * 1024 * 1024;
    static constexpr int kMaxSourceEdge = 4096;
    static constexpr int kMaxUsers = 64;

    // The daemon's data directories: its data home, then XDG_DATA_DIRS (or
    // the default) and the flatpak exports.
    IconExtractor();
    // Explicit data directories in priority order (tests, benchmarks).
    explicit IconExtractor(const QStringList &dataDirs);
    ~IconExtractor();

    // Re-checks every desktop-entry directory (a few stat calls); an index
    // that changed is rebuilt and drops its icon-theme index with it, since
    // applications install their icons and entries together. Once per poll.
    void refresh();

    // The icon of an executable as base64 PNG of edge x edge pixels; empty
    // when no desktop entry names one or it cannot be read. owner: the user
    // whose desktop entries come first (a user with a session), if any.
    QString extract(const QString &path, int edge, std::optional<quint32> owner = std::nullopt);

    // Renders an image file to a transparent edge x edge square and encodes
    // it; empty on any failure. With an owner the file is read as that user
    // and must be owned by the user or readable by everyone.
    static QString renderIconFile(const QString &file, int edge, std::optional<quint32> owner = std::nullopt);
    // The same for image bytes already read; format "svg" or what QImageReader detects.
    static QImage renderImage(const QByteArray &bytes, int edge);

private:
    struct DataSet;
    // An icon file and the user to read it as (none: the daemon's own files).
    struct IconFile
    {
        QString path;
        std::optional<quint32> owner;
    };

    static std::unique_ptr<DataSet> makeDataSet(const QStringList &dataDirs, std::optional<quint32> owner);
    DataSet *userDataSet(quint32 uid);
    IconFile resolveIconFile(const QString &icon, DataSet *user, int edge);

    std::unique_ptr<DataSet> m_system;
    std::map<quint32, std::unique_ptr<DataSet>> m_users;
    quint32 m_ownUid;
    bool m_refreshed = false;
};
