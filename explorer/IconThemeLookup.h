#pragma once
// Finds the file of a named icon the way freedesktop icon themes lay them
// out: the theme directories under each "icons" base directory (hicolor
// first, then the other installed themes), then the pixmap directories. The
// themes' files are indexed once and re-read after invalidate().

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class IconThemeLookup
{
public:
    static constexpr const char *kFallbackTheme = "hicolor";

    // Base directories in priority order (one theme may be spread over several).
    // With an owner, the directories are read with that user's rights and only
    // files that the user owns or everyone may read are used. find() gives a
    // path; reading it, UserFileAccess::readFile checks the file again.
    IconThemeLookup(QStringList iconBaseDirs, QStringList pixmapDirs, std::optional<quint32> owner = std::nullopt);

    // Drops the index; the next lookup rebuilds it.
    void invalidate() { m_built = false; }

    // The file that shows iconName best at size pixels: the smallest at or
    // above the size (an exact raster first, then a scalable one), else the
    // largest below it; the first theme that has the icon decides. Empty when
    // no theme and no pixmap directory has it.
    QString find(const QString &iconName, int size);

    int themeCount() const { return int(m_themes.size()); }

private:
    struct Candidate
    {
        QString file;
        int size = 0;
        bool scalable = false;
    };
    struct ThemeDirectory
    {
        QString path;
        int size = 0;
        bool scalable = false;
    };
    struct Theme
    {
        QString name;
        QHash<QString, QList<Candidate>> icons;
    };

    void build();
    void indexThemes();
    static QList<ThemeDirectory> themeDirectories(const QByteArray &indexTheme);
    void indexDirectory(Theme &theme, const QString &dir, const ThemeDirectory &meta);
    QString pickBest(const QList<Candidate> &candidates, int size) const;
    bool usable(const QString &file) const;

    QStringList m_baseDirs;
    QStringList m_pixmapDirs;
    std::optional<quint32> m_owner;
    bool m_built = false;
    QList<Theme> m_themes;
};
