#include "explorer/IconThemeLookup.h"

#include "explorer/ExplorerLog.h"
#include "explorer/UserFileAccess.h"

#include <QDir>
#include <QFile>

#include <dirent.h>
#include <limits>

namespace {

constexpr const char *kExtensions[] = {".png", ".svg", ".xpm"};

QString stripImageExtension(const QString &name)
{
    for (const char *ext : kExtensions) {
        if (name.endsWith(QLatin1String(ext)))
            return name.left(name.size() - qsizetype(qstrlen(ext)));
    }
    return name;
}

constexpr qint64 kMaxIndexBytes = 4 * 1024 * 1024;

// Minimal reader of index.theme: groups of key=value lines.
QHash<QString, QHash<QString, QString>> parseIniGroups(const QByteArray &bytes)
{
    QHash<QString, QHash<QString, QString>> groups;
    QString group;
    for (const QByteArray &raw : bytes.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            group = QString::fromUtf8(line.mid(1, line.size() - 2));
            continue;
        }
        const int eq = line.indexOf('=');
        if (eq > 0)
            groups[group].insert(QString::fromUtf8(line.left(eq).trimmed()), QString::fromUtf8(line.mid(eq + 1).trimmed()));
    }
    return groups;
}

} // namespace

IconThemeLookup::IconThemeLookup(QStringList iconBaseDirs, QStringList pixmapDirs, std::optional<quint32> owner)
    : m_baseDirs(std::move(iconBaseDirs)), m_pixmapDirs(std::move(pixmapDirs)), m_owner(owner)
{
}

void IconThemeLookup::build()
{
    {
        // A user's themes are read with that user's rights (no log line
        // inside: the log file is opened with the thread's identity).
        const UserFileAccess access(m_owner);
        if (access.ok())
            indexThemes();
        else
            m_themes.clear();
    }
    m_built = true;
    qCDebug(lcProcessExplorer) << "Icon themes indexed:" << m_themes.size() << "from" << m_baseDirs;
}

void IconThemeLookup::indexThemes()
{
    m_themes.clear();
    // Theme names in the order found, each with the directories of the first
    // readable index.theme; hicolor, where applications install their icons,
    // is searched first.
    QStringList names;
    QHash<QString, QList<ThemeDirectory>> directories;
    for (const QString &base : m_baseDirs) {
        for (const QString &name : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            if (names.contains(name))
                continue;
            const auto index = UserFileAccess::readFile(base + QLatin1Char('/') + name + QStringLiteral("/index.theme"),
                                                        kMaxIndexBytes, m_owner);
            if (!index)
                continue;
            names.append(name);
            directories.insert(name, themeDirectories(*index));
        }
    }
    const QString fallback = QString::fromLatin1(kFallbackTheme);
    if (names.removeAll(fallback) > 0)
        names.prepend(fallback);

    for (const QString &name : names) {
        Theme theme;
        theme.name = name;
        const QList<ThemeDirectory> dirs = directories.value(name);
        for (const QString &base : m_baseDirs) {
            for (const ThemeDirectory &dir : dirs)
                indexDirectory(theme, base + QLatin1Char('/') + name + QLatin1Char('/') + dir.path, dir);
        }
        if (!theme.icons.isEmpty())
            m_themes.append(std::move(theme));
    }
}

QList<IconThemeLookup::ThemeDirectory> IconThemeLookup::themeDirectories(const QByteArray &indexTheme)
{
    const auto groups = parseIniGroups(indexTheme);
    const auto main = groups.value(QStringLiteral("Icon Theme"));
    QList<ThemeDirectory> dirs;
    const QStringList names = main.value(QStringLiteral("Directories")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : names) {
        const QString name = raw.trimmed();
        const auto meta = groups.value(name);
        bool ok = false;
        const int size = meta.value(QStringLiteral("Size")).toInt(&ok);
        if (!ok || size <= 0 || name.contains(QLatin1String("..")))
            continue;
        const int scale = qMax(1, meta.value(QStringLiteral("Scale"), QStringLiteral("1")).toInt());
        ThemeDirectory dir;
        dir.path = name;
        dir.scalable = meta.value(QStringLiteral("Type")) == QLatin1String("Scalable");
        // The pixel size of what the directory holds.
        dir.size = (dir.scalable ? qMax(size, meta.value(QStringLiteral("MaxSize")).toInt()) : size) * scale;
        dirs.append(dir);
    }
    return dirs;
}

void IconThemeLookup::indexDirectory(Theme &theme, const QString &dir, const ThemeDirectory &meta)
{
    DIR *d = ::opendir(QFile::encodeName(dir).constData());
    if (!d)
        return;
    while (const dirent *e = ::readdir(d)) {
        const QString file = QFile::decodeName(e->d_name);
        for (const char *ext : kExtensions) {
            if (!file.endsWith(QLatin1String(ext)) || file.size() <= qsizetype(qstrlen(ext)))
                continue;
            Candidate c;
            c.file = dir + QLatin1Char('/') + file;
            c.size = meta.size;
            c.scalable = meta.scalable || file.endsWith(QLatin1String(".svg"));
            theme.icons[stripImageExtension(file)].append(c);
            break;
        }
    }
    ::closedir(d);
}

bool IconThemeLookup::usable(const QString &file) const
{
    return UserFileAccess::isUsableFile(file, m_owner);
}

QString IconThemeLookup::pickBest(const QList<Candidate> &candidates, int size) const
{
    // Lower is better: an exact raster, then scalable, then the smallest
    // larger raster, then the largest smaller one.
    const Candidate *best = nullptr;
    qint64 bestScore = std::numeric_limits<qint64>::max();
    for (const Candidate &c : candidates) {
        qint64 score;
        if (c.scalable && c.file.endsWith(QLatin1String(".svg")))
            score = 1;
        else if (c.size == size)
            score = 0;
        else if (c.size > size)
            score = 2 + (c.size - size);
        else
            score = 1000000 + (size - c.size);
        if (score < bestScore && usable(c.file)) {
            best = &c;
            bestScore = score;
        }
    }
    return best ? best->file : QString();
}

QString IconThemeLookup::find(const QString &iconName, int size)
{
    if (iconName.isEmpty() || iconName.contains(QLatin1Char('/')) || iconName.startsWith(QLatin1Char('.')))
        return {};
    if (!m_built)
        build();
    const UserFileAccess access(m_owner); // the candidates are looked at as the user
    if (!access.ok())
        return {};
    const QString name = stripImageExtension(iconName);
    for (const Theme &theme : std::as_const(m_themes)) {
        const auto it = theme.icons.constFind(name);
        if (it == theme.icons.cend())
            continue;
        const QString file = pickBest(*it, size);
        if (!file.isEmpty())
            return file;
    }
    for (const QString &dir : m_pixmapDirs) {
        const QString exact = dir + QLatin1Char('/') + iconName;
        if (name != iconName && usable(exact))
            return exact;
        for (const char *ext : kExtensions) {
            const QString file = dir + QLatin1Char('/') + name + QLatin1String(ext);
            if (usable(file))
                return file;
        }
    }
    return {};
}
