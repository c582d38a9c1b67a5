#pragma once
// Files that a client names are reached with the client's own file-system
// identity, so that a client can make the privileged daemon write only where
// it could write itself.

#include <QString>

class ClientFileAccess
{
public:
    // Creates the missing parent directories of path as the user uid/gid would
    // and opens the file's directory; the descriptor (O_DIRECTORY, owned by the
    // caller) when that user may create files there and path is absent or a
    // regular file of that user's with a single name, else -1. Root may name
    // any directory.
    static int openWritableDirectory(const QString &path, qint64 uid, qint64 gid);
};
