#pragma once
// The daemon log: one process-wide Qt message handler that writes every line to
// standard error and appends it to the log file, with a one-step rotation to ".old".

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcKestd)

// The installed Qt message handler.
void daemonMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// The override when set, else the default path under the generic data location
// (its directory is created).
QString daemonLogPath();

// Stores the override; later lines go to that file.
void setDaemonLogPath(const QString &path);
// The same, with the file's directory already opened (O_DIRECTORY) by the
// caller, who checked it; the log takes ownership of the descriptor. With an
// owner (a client's uid, not root), only files that user or the daemon owns,
// with a single name, are appended to, rotated or deleted.
void setDaemonLogPath(const QString &path, int directoryFd, qint64 ownerUid);

// Empties the current log file where it is (its owner and mode stay) and
// deletes its ".old" file; true when nothing failed.
bool clearDaemonLogs();
// Whether a client of that uid may clear the current log: the daemon's own,
// or one that a client of the same uid named.
bool mayClearDaemonLogs(qint64 clientUid);

namespace DaemonLog {
constexpr qint64 kRotateSize = 1048576;
constexpr int kRotateCheckEvery = 100;
constexpr const char *kFilterRules = "kestd.debug=false";

// True when the path is a regular file (not followed if a link) or absent.
bool isRegularOrMissing(const QByteArray &path);

// Formats one line exactly as the handler writes it.
QString formatLine(QtMsgType type, const QString &message);

// Test support: forget the override and the message counter.
void resetForTests();
} // namespace DaemonLog
