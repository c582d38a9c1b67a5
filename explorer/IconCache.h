#pragma once
// Icons already extracted, by the lexical normal form of the executable's
// path, with their last use. Failures are kept like icons (empty text), so a
// path is looked at once while its entry lives. Bounded: at capacity the
// least recently used entries are dropped down to the prune target.

#include <QHash>
#include <QString>

#include <optional>

class IconCache
{
public:
    static constexpr int kCapacity = 500;
    static constexpr int kPruneTarget = 400;

    struct IconCacheEntry
    {
        QString icon;
        qint64 lastAccess = 0; // ms since the epoch
        quint64 useOrder = 0;  // breaks ties between uses in the same millisecond
    };

    // The key of a path: its lexical normal form (case kept); empty for an empty path.
    static QString keyFor(const QString &path);

    // The cached icon (possibly empty), marking it used now; nothing on a miss.
    std::optional<QString> lookup(const QString &key);
    // Stores an icon; when the cache already holds kCapacity entries it is
    // first pruned to kPruneTarget, so it then holds kPruneTarget + 1.
    void insert(const QString &key, const QString &icon);
    // Drops the least recently used entries until at most target remain.
    void prune(int target);
    void clear() { m_entries.clear(); }
    int size() const { return int(m_entries.size()); }
    bool contains(const QString &key) const { return m_entries.contains(key); }

private:
    QHash<QString, IconCacheEntry> m_entries;
    quint64 m_uses = 0;
};
