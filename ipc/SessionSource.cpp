#include "ipc/SessionSource.h"

#include "base/DaemonLog.h"

#include <QFile>

#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

namespace {
std::atomic<SessionSource *> g_override{nullptr};

// An audit session id of (uint32)-1 means "never set" (no PAM login).
constexpr quint32 kUnsetAuditSession = 0xFFFFFFFFu;

std::optional<quint32> numericSession(const char *text)
{
    if (!text || !*text)
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno || *end || v == 0 || v > 0xFFFFFFFFul)
        return std::nullopt;
    return quint32(v);
}

QByteArray userName(uid_t uid)
{
    passwd pw {};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &pw, buffer, sizeof(buffer), &found) != 0 || !found || !found->pw_name)
        return {};
    return QByteArray(found->pw_name);
}

std::optional<QList<quint32>> logindSessions()
{
    char **ids = nullptr;
    const int n = sd_get_sessions(&ids);
    if (n < 0) {
        errno = -n;
        return std::nullopt;
    }
    QList<quint32> result;
    for (int i = 0; i < n; ++i) {
        const char *id = ids[i];
        char *cls = nullptr, *state = nullptr;
        uid_t uid = 0;
        const bool isUser = sd_session_get_class(id, &cls) >= 0 && cls && std::strcmp(cls, "user") == 0;
        const bool live = sd_session_get_state(id, &state) >= 0 && state
                          && (std::strcmp(state, "active") == 0 || std::strcmp(state, "online") == 0);
        const bool named = sd_session_get_uid(id, &uid) >= 0 && !userName(uid).isEmpty();
        const auto numeric = numericSession(id);
        if (isUser && live && named && numeric)
            result.append(*numeric);
        std::free(cls);
        std::free(state);
        std::free(ids[i]);
    }
    std::free(ids);
    return result;
}
} // namespace

bool SessionSource::logindRunning()
{
    return ::access("/run/systemd/seats/", F_OK) == 0;
}

std::optional<QList<quint32>> SessionSource::parseSessionList(const QByteArray &text)
{
    QList<quint32> result;
    for (const QByteArray &part : text.split(',')) {
        const QByteArray item = part.trimmed();
        if (item.isEmpty())
            continue;
        const auto id = numericSession(item.constData());
        if (!id)
            return std::nullopt;
        if (!result.contains(*id))
            result.append(*id);
    }
    return result;
}

std::optional<QList<quint32>> SessionSource::activeSessions() const
{
    // An explicit list wins, so a service manager or a test can pin the
    // sessions even where logind runs.
    const QByteArray env = qgetenv("KESTD_SESSIONS");
    if (!env.isNull()) {
        auto parsed = parseSessionList(env);
        if (!parsed) {
            qCWarning(lcKestd) << "KESTD_SESSIONS is not a list of session numbers:" << env;
            errno = EINVAL;
        }
        return parsed;
    }
    if (logindRunning())
        return logindSessions();
    return QList<quint32>{};
}

std::optional<quint32> SessionSource::sessionOfProcess(qint64 pid) const
{
    if (logindRunning() && qgetenv("KESTD_SESSIONS").isNull()) {
        char *session = nullptr;
        if (sd_pid_get_session(pid_t(pid), &session) < 0)
            return std::nullopt;
        const auto id = numericSession(session);
        std::free(session);
        return id;
    }
    QFile file(QStringLiteral("/proc/%1/sessionid").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const quint64 v = file.readAll().trimmed().toULongLong(&ok);
    if (!ok || v == kUnsetAuditSession || v > 0xFFFFFFFFull)
        return std::nullopt;
    return quint32(v);
}

bool SessionSource::tellsProcessSessions() const
{
    // logind's directories can outlive it (an image built with systemd that
    // now runs without it): it runs only on a machine that systemd booted.
    return logindRunning() && sd_booted() > 0;
}

SessionSource *SessionSource::instance()
{
    static SessionSource system;
    SessionSource *o = g_override.load();
    return o ? o : &system;
}

void SessionSource::setInstance(SessionSource *source)
{
    g_override.store(source);
}
