#include "daemon/PolkitAuthority.h"

#include "base/DaemonLog.h"
#include "base/LogLimiter.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QMap>
#include <QVariantMap>

#include <mutex>

namespace {

// polkit's subject: (kind, details) with details a{sv}.
struct PolkitSubject
{
    QString kind;
    QVariantMap details;
};

using PolkitDetails = QMap<QString, QString>;

// Field 22 of /proc/PID/stat, counted from the pid.
constexpr int kStartTimeField = 22;
// Fields that follow the command name's closing parenthesis start at field 3.
constexpr int kFirstFieldAfterName = 3;

LogLimiter s_failureLog(20, 100);

} // namespace

Q_DECLARE_METATYPE(PolkitSubject)

QDBusArgument &operator<<(QDBusArgument &argument, const PolkitSubject &subject)
{
    argument.beginStructure();
    argument << subject.kind << subject.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PolkitSubject &subject)
{
    argument.beginStructure();
    argument >> subject.kind >> subject.details;
    argument.endStructure();
    return argument;
}

namespace {

void registerTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<PolkitSubject>();
        qDBusRegisterMetaType<PolkitDetails>();
    });
}

QDBusConnection systemBus()
{
    return QDBusConnection::connectToBus(QDBusConnection::SystemBus, QString::fromLatin1(PolkitAuthority::kConnectionName));
}

// The (is_authorized, is_challenge, details) result; false when it cannot be read.
bool readAuthorized(const QDBusMessage &reply)
{
    if (reply.arguments().isEmpty())
        return false;
    const QDBusArgument result = reply.arguments().first().value<QDBusArgument>();
    bool authorized = false;
    bool challenge = false;
    PolkitDetails details;
    result.beginStructure();
    result >> authorized >> challenge >> details;
    result.endStructure();
    return authorized;
}

} // namespace

PolkitAuthority::PolkitAuthority(QObject *parent)
    : QObject(parent)
{
    registerTypes();
}

std::optional<quint64> PolkitAuthority::processStartTime(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = stat.readAll();
    const qsizetype nameEnd = text.lastIndexOf(')');
    if (nameEnd < 0)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(nameEnd + 2).split(' ');
    const int index = kStartTimeField - kFirstFieldAfterName;
    if (fields.size() <= index)
        return std::nullopt;
    bool ok = false;
    const quint64 startTime = fields.at(index).toULongLong(&ok);
    return ok ? std::optional(startTime) : std::nullopt;
}

std::optional<bool> PolkitAuthority::checkAuthorization(const Subject &subject, Answer answer)
{
    const auto startTime = processStartTime(subject.pid);
    if (!startTime || subject.uid < 0)
        return false;
    QDBusConnection bus = systemBus();
    if (!bus.isConnected()) {
        // Forgotten, so that a system bus that comes up later is found.
        QDBusConnection::disconnectFromBus(QString::fromLatin1(kConnectionName));
        qCDebug(lcKestd) << "No system bus: only root clients are authorized";
        return false;
    }
    PolkitSubject polkitSubject{QStringLiteral("unix-process"),
                                QVariantMap{{"pid", QVariant::fromValue(quint32(subject.pid))},
                                            {"start-time", QVariant::fromValue(quint64(*startTime))},
                                            {"uid", QVariant::fromValue(qint32(subject.uid))}}};
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                       QString::fromLatin1(kInterface),
                                                       QStringLiteral("CheckAuthorization"));
    constexpr quint32 kNoInteraction = 0;
    call << QVariant::fromValue(polkitSubject) << QString::fromLatin1(kActionId)
         << QVariant::fromValue(PolkitDetails()) << kNoInteraction << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [answer = std::move(answer)](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            if (s_failureLog.admit())
                qCWarning(lcKestd) << "polkit authorization check failed:" << reply.errorName()
                                   << reply.errorMessage();
            answer(false);
            return;
        }
        answer(readAuthorized(reply));
    });
    return std::nullopt;
}
