#pragma once
// An index of freedesktop desktop entries by the program they start, so a
// running process can be given the icon its application declares. Built once
// from a list of "applications" directories and rebuilt only when one of
// those directories (or one below them) changes.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

class DesktopEntryIndex
{
public:
    static constexpr qint64 kMaxEntryBytes = 256 * 1024;
    static constexpr int kMaxDepth = 4;
    // File times tick coarsely: a directory changed this shortly before a scan
    // may change again without a new mtime, so it is looked at once more.
    static constexpr qint64 kRacyWindowNs = 25'000'000;

    // applicationDirs in priority order: an entry hides entries with the same
    // desktop-file id in later directories. With an owner, the directories are
    // read with that user's rights and only files that the user owns or
    // everyone may read are indexed, so they reveal nothing the user could not read.
    explicit DesktopEntryIndex(QStringList applicationDirs, std::optional<quint32> owner = std::nullopt);

    // Rescans when the index was never built or a directory changed; true when it rescanned.
    bool refreshIfChanged();

    // The Icon of the entry whose Exec or TryExec program is this executable,
    // by full path (symbolic links of the entry resolved) or else by file
    // name; empty when no entry names it.
    QString iconFor(const QString &programPath) const;

    int entryCount() const { return m_entryCount; }
    const QStringList &directories() const { return m_dirs; }
    std::optional<quint32> owner() const { return m_owner; }

    // The arguments of an Exec value, with the desktop-entry quoting undone.
    static QStringList splitExec(const QString &exec);
    // The program an Exec value starts: through an "env" prefix, and none
    // (empty) when it is an interpreter running a script, since every other
    // process of that interpreter would take the entry's icon.
    static QString execProgram(const QString &exec);

private:
    struct Entry
    {
        QString icon;
        QString exec;
        QString tryExec;
        QString wmClass;
        bool application = false;
        bool hidden = false;
    };

    void rescan();
    void stamp(const QString &dir);
    void scanDirectory(const QString &dir, const QString &idPrefix, int depth, QHash<QString, bool> &seenIds);
    void addEntry(const QString &desktopId, const Entry &entry);
    void addProgram(const QString &program, const QString &icon);
    static std::optional<Entry> parse(const QByteArray &bytes);

    QStringList m_dirs;
    std::optional<quint32> m_owner;
    bool m_built = false;
    QHash<QString, qint64> m_stamps; // directory -> mtime in ns, -1 when absent, -2 to look again
    qint64 m_scanStartNs = 0;
    QHash<QString, QString> m_byPath;
    QHash<QString, QString> m_byName;
    QHash<QString, QString> m_byId; // desktop-file id or window class, lower case
    int m_entryCount = 0;
};
