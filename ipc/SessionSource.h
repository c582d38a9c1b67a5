#pragma once
// The user sessions the daemon serves, and the session a process belongs to.
// logind (sd-login) when it runs; otherwise KESTD_SESSIONS lists the sessions to
// serve and a process's session is its audit session. Tests inject their own.

#include <QList>
#include <QtGlobal>

#include <optional>

class SessionSource
{
public:
    virtual ~SessionSource() = default;

    // Active sessions in enumeration order; empty optional (errno set) when
    // the enumeration failed.
    virtual std::optional<QList<quint32>> activeSessions() const;

    // The session of a process; empty when it cannot be told.
    virtual std::optional<quint32> sessionOfProcess(qint64 pid) const;

    // Whether every process's session can be told, so that one without the
    // session it claims is known not to belong to it: where logind runs. (The
    // audit session of the fallback is unset for processes started outside a
    // login, so there no process is held to it.)
    virtual bool tellsProcessSessions() const;

    // The process-wide source; the system one unless a test set another.
    static SessionSource *instance();
    // Replaces the process-wide source; nullptr restores the system one.
    static void setInstance(SessionSource *source);

    // Parses a list such as "1,2" (ids must be non-zero numbers).
    static std::optional<QList<quint32>> parseSessionList(const QByteArray &text);

    // Whether logind answers on this machine.
    static bool logindRunning();
};
