#pragma once
// Asks polkit whether a client may change the machine's network set-up (the
// action org.kest.daemon.manage-network), on the system bus, never with user
// interaction. The subject is the client's process as its socket's peer
// credentials name it (pid with its start time, and uid). Where no polkit
// authority answers on the system bus, nobody is authorized through it; root
// clients are authorized without asking (the caller's rule).

#include <QObject>

#include <functional>
#include <optional>

class PolkitAuthority : public QObject
{
    Q_OBJECT
public:
    static constexpr const char *kActionId = "org.kest.daemon.manage-network";
    static constexpr const char *kService = "org.freedesktop.PolicyKit1";
    static constexpr const char *kPath = "/org/freedesktop/PolicyKit1/Authority";
    static constexpr const char *kInterface = "org.freedesktop.PolicyKit1.Authority";
    static constexpr const char *kConnectionName = "kestd-polkit";
    // Bounds the wait for an answer, well below the clients' heartbeat time-out.
    static constexpr int kCallTimeoutMs = 5000;

    struct Subject
    {
        qint64 pid = -1;
        qint64 uid = -1;
    };
    using Answer = std::function<void(bool authorized)>;

    explicit PolkitAuthority(QObject *parent = nullptr);

    // The answer when it is known at once (no system bus, the process is
    // gone); otherwise empty, and answer is called later on the event loop
    // (never after this object is destroyed).
    std::optional<bool> checkAuthorization(const Subject &subject, Answer answer);

    // The start time of a process in clock ticks since boot, as polkit
    // identifies a process together with its pid.
    static std::optional<quint64> processStartTime(qint64 pid);
};
