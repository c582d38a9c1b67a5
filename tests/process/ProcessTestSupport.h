#pragma once
// Shared helpers of the process tests: an application object for the event
// loop, a recorder of process events, and counts of what a test could leak
// (open fds, threads, zombie children).

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

#include <unistd.h>

namespace ProcessTest {

inline QString testChild()
{
    return QString::fromLatin1(KEST_TESTCHILD_BINARY);
}

inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "process-test";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    if (!qEnvironmentVariableIsSet("KEST_TEST_DEBUG"))
        QLoggingCategory::setFilterRules("kestd.debug=false");
}

// Runs the event loop until cond holds or timeoutMs passed; the final value of cond.
inline bool spinUntil(const std::function<bool()> &cond, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!cond()) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        usleep(1000);
    }
    return true;
}

inline void spinFor(int ms)
{
    spinUntil([] { return false; }, ms);
}

struct RecordedEvent
{
    QJsonObject event;
    qint64 atMs;
    QString name() const { return event.value("event").toString(); }
    QString id() const { return event.value("process-id").toString(); }
    QString data() const { return event.value("data").toString(); }
};

// Collects the events of one emitter, with the time since the recorder was made.
class EventRecorder
{
public:
    template<typename Emitter, typename Signal>
    EventRecorder(Emitter *emitter, Signal signal)
    {
        m_clock.start();
        m_connection = QObject::connect(emitter, signal, [this](const QJsonObject &event) {
            m_events.push_back({event, m_clock.elapsed()});
        });
    }
    ~EventRecorder() { QObject::disconnect(m_connection); }

    const std::vector<RecordedEvent> &events() const { return m_events; }
    std::vector<RecordedEvent> named(const QString &name, const QString &id = QString()) const
    {
        std::vector<RecordedEvent> out;
        for (const RecordedEvent &e : m_events)
            if (e.name() == name && (id.isEmpty() || e.id() == id))
                out.push_back(e);
        return out;
    }
    int count(const QString &name, const QString &id = QString()) const { return int(named(name, id).size()); }
    bool waitFor(const QString &name, const QString &id, int timeoutMs, int count = 1)
    {
        return spinUntil([&] { return this->count(name, id) >= count; }, timeoutMs);
    }
    // All "stdout" (or "stderr") data of an id, joined in arrival order.
    QString joined(const QString &name, const QString &id) const
    {
        QString text;
        for (const RecordedEvent &e : named(name, id))
            text += e.data();
        return text;
    }
    QStringList sequence(const QString &id) const
    {
        QStringList names;
        for (const RecordedEvent &e : m_events)
            if (e.id() == id)
                names << e.name();
        return names;
    }
    qint64 elapsed() const { return m_clock.elapsed(); }

private:
    QMetaObject::Connection m_connection;
    std::vector<RecordedEvent> m_events;
    QElapsedTimer m_clock;
};

inline int openFdCount()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

inline int threadCount()
{
    return int(QDir("/proc/self/task").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// Children of this process that have exited and were not reaped.
inline int zombieChildCount()
{
    int zombies = 0;
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1].toLongLong() == getpid())
            ++zombies;
    }
    return zombies;
}

inline bool processExists(qint64 pid)
{
    return pid > 0 && QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

} // namespace ProcessTest
