#pragma once
// Reading files on a user's behalf. The daemon runs as root, reads desktop
// entries, icon themes and icons from users' data directories and shows what
// it found to every client: those reads must reveal nothing the user could not
// read, and a FIFO or device put in the way must not stall the explorer.

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/types.h>

class UserFileAccess
{
public:
    // While this object lives, the calling thread's file-system identity is
    // the user's (setfsuid/setfsgid act per thread), so every path resolves
    // with that user's rights: directories the user cannot enter, and links
    // into them, fail as they would for the user. Nothing changes without an
    // owner, for root, when the thread already has that identity, or when the
    // daemon is not root (it then has no rights beyond its own user's).
    // Keep the scope to file reads: the daemon log opens its file for every
    // line, and threads started meanwhile would inherit the identity.
    explicit UserFileAccess(std::optional<quint32> owner);
    ~UserFileAccess();
    UserFileAccess(const UserFileAccess &) = delete;
    UserFileAccess &operator=(const UserFileAccess &) = delete;

    // False when the user's identity was needed but could not be taken; the
    // caller then reads nothing for that user.
    bool ok() const { return m_ok; }
    // True when paths resolve with the owner's rights (taken here or by an outer scope).
    bool asOwner() const { return m_asOwner; }

    // The bytes of a regular file of at most maxBytes, read from the one
    // descriptor that was checked: a regular file and, with an owner, owned by
    // that user or readable by everyone. Opened non-blocking, so a FIFO
    // swapped in fails at once. nullopt on any failure.
    static std::optional<QByteArray> readFile(const QString &path, qint64 maxBytes,
                                              std::optional<quint32> owner = std::nullopt);
    // The same test on a path, to choose among candidates; readFile checks
    // again on what it actually reads.
    static bool isUsableFile(const QString &path, std::optional<quint32> owner);

private:
    bool m_ok = true;
    bool m_asOwner = false;
    bool m_switched = false;
    uid_t m_oldUid = 0;
    gid_t m_oldGid = 0;
};
