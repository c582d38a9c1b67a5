#include "explorer/IconCache.h"

#include "explorer/ExplorerLog.h"

#include <QDateTime>
#include <QList>

#include <algorithm>
#include <filesystem>

namespace {

// Paths read from /proc are already normal: no empty, "." or ".." segment.
bool alreadyNormal(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    qsizetype start = 1;
    while (start < path.size()) {
        qsizetype end = path.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = path.size();
        const QStringView segment = QStringView(path).sliced(start, end - start);
        // An empty segment inside means "//"; a trailing "/" is kept by the normal form.
        if ((segment.isEmpty() && end < path.size()) || segment == u"." || segment == u"..")
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace

QString IconCache::keyFor(const QString &path)
{
    if (path.isEmpty())
        return {};
    if (alreadyNormal(path))
        return path;
    // POSIX normal form: repeated separators collapse, "." segments go,
    // "segment/.." pairs cancel, ".." directly under the root goes, an empty
    // result is ".". Linux paths are case-sensitive, so case is kept.
    const std::filesystem::path normal = std::filesystem::path(path.toStdString()).lexically_normal();
    return QString::fromStdString(normal.native());
}

std::optional<QString> IconCache::lookup(const QString &key)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return std::nullopt;
    it->lastAccess = QDateTime::currentMSecsSinceEpoch();
    it->useOrder = ++m_uses;
    return it->icon;
}

void IconCache::insert(const QString &key, const QString &icon)
{
    if (m_entries.size() >= kCapacity && !m_entries.contains(key))
        prune(kPruneTarget);
    m_entries.insert(key, IconCacheEntry{icon, QDateTime::currentMSecsSinceEpoch(), ++m_uses});
}

void IconCache::prune(int target)
{
    const int before = size();
    if (before <= target)
        return;
    struct Use
    {
        qint64 lastAccess;
        quint64 order;
        QString key;
    };
    QList<Use> byAge;
    byAge.reserve(before);
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        byAge.append({it->lastAccess, it->useOrder, it.key()});
    std::sort(byAge.begin(), byAge.end(), [](const Use &a, const Use &b) {
        return a.lastAccess != b.lastAccess ? a.lastAccess < b.lastAccess : a.order < b.order;
    });
    for (int i = 0; i < before - target; ++i)
        m_entries.remove(byAge.at(i).key);
    qCDebug(lcProcessExplorer) << "Pruned icon cache from" << before << "to" << size();
}
