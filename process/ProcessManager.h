#pragma once
// Owns the child processes that clients ask the daemon to run. Serves the
// process actions (start, stop, kill, restart, status, list, stdin) with JSON
// response objects, and announces everything that later happens to a process
// (started, stdout, stderr, finished, error) through processEvent. Output is
// batched and flushed every 100 ms. Every process belongs to the uid of the
// client that started it: that uid's requests (and root's) see and act on it,
// others are told it is not there. Lives on the main thread.

#include "process/ProcessCredentials.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class ManagedProcess;

class ProcessManager : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFlushIntervalMs = 100;
    // Largest "stdout"/"stderr" data of one flush per process; the rest waits
    // for the next flush, and the child is held back meanwhile (its output
    // worker stops reading), so a flooding child cannot make the daemon
    // build and send huge messages or stop answering its clients.
    static constexpr qsizetype kMaxEventBytes = 2 * 1024 * 1024;
    // Grace given by the stop and restart actions before the child is killed.
    static constexpr int kStopTimeoutMs = 10000;
    // Extra time the stop-all loop waits beyond the grace, and its check period.
    static constexpr int kStopAllSlackMs = 1000;
    static constexpr int kStopAllCheckMs = 100;
    // The TUN core: the link it makes is removed before it starts and after it ends.
    static constexpr const char *kTunCoreProcessId = "sing-box-tun";
    static constexpr const char *kTunCoreInterface = "kest-tun";
    static constexpr int kDnsOverrideDelayMs = 100;

    explicit ProcessManager(QObject *parent = nullptr);
    ~ProcessManager() override;

    // Starts the child with the given rights. An id held by another uid's
    // entry is refused as existing unless the requester is root. Only a client
    // that may manage the network gets the TUN-core helpers (the link clean-up
    // and "tun-dns-override"); others' requests start without them (logged).
    QJsonObject startProcess(const QJsonObject &request,
                             const ProcessCredentials &credentials = ProcessCredentials::ofDaemon());
    // The requester's uid decides what it sees: root sees every entry, any
    // other uid only its own; another uid's entry answers "Process not found".
    QJsonObject stopProcess(const QString &processId, qint64 requesterUid = ProcessCredentials::kRootUid);
    QJsonObject killProcess(const QString &processId, qint64 requesterUid = ProcessCredentials::kRootUid);
    QJsonObject restartProcess(const QString &processId, qint64 requesterUid = ProcessCredentials::kRootUid);
    QJsonObject getProcessStatus(const QString &processId, qint64 requesterUid = ProcessCredentials::kRootUid);
    QJsonObject listProcesses(qint64 requesterUid = ProcessCredentials::kRootUid);
    // Whether the entry exists and the requester may see it.
    bool isVisibleTo(const QString &processId, qint64 requesterUid) const;
    // False for an unknown id, and when the child's pending stdin data would
    // grow beyond its bound; true for every other known one, also when nothing
    // could be written (the child is not running). Never waits for the child.
    bool writeToProcess(const QString &processId, const QByteArray &data);
    // Asks every child to stop, waits up to timeoutMs + 1 s in a local event
    // loop, then kills those still running, each with its whole cgroup, and
    // ends what the others left in theirs.
    void stopAllProcesses(int timeoutMs);

    // Length of the longest prefix of data that does not end inside a UTF-8
    // sequence; the rest waits for the bytes that complete it.
    static qsizetype completeUtf8Length(const QByteArray &data);

    // Asked before each timer flush of a process's output: while it answers
    // false (its receiver has not taken what it was sent), the flush is
    // skipped, so the output stays here and the output worker's bound holds
    // the child back. The final flush at a finish is always sent. Without a
    // check everything may be delivered.
    void setDeliveryCheck(std::function<bool(const QString &processId)> canDeliver)
    {
        m_canDeliver = std::move(canDeliver);
    }

signals:
    void processEvent(const QJsonObject &event);

public slots:
    void onProcessStarted(const QString &processId);
    void onProcessFinished(const QString &processId, int exitCode);
    void onProcessError(const QString &processId, const QString &error);
    void onProcessStdout(const QString &processId, const QByteArray &data);
    void onProcessStderr(const QString &processId, const QByteArray &data);
    void flushOutputBuffers();

private:
    struct OutputBuffers
    {
        QString processId;
        QByteArray stdoutData;
        QByteArray stderrData;
    };

    std::optional<QString> validateStartRequest(const QJsonObject &request) const;
    // The entry when the requester may see it, else nullptr.
    ManagedProcess *visibleProcess(const QString &processId, qint64 requesterUid) const;
    // Removes the TUN core's link (a stale one would block the next start).
    void cleanupTunInterface(const QString &name);
    // The link's index as text, empty when there is no such link.
    QString getInterfaceGuid(const QString &name) const;
    // Sets the request's DNS server for its link once that is up (a timer,
    // the event loop keeps running), for as long as the process runs.
    void configureInterfaceDns(const QString &processId, const QString &address, const QString &iface);
    void scheduleDnsOverride(const QString &processId, const QJsonObject &request);
    // False while handling a signal of a process object that is no longer the
    // table's entry for the id (replaced meanwhile): its output and finish
    // belong to a child that is gone and must not count as its successor's.
    bool isCurrentSender(const QString &processId) const;
    void removeStaleEntry(const QString &processId, ManagedProcess *process);
    void cleanupStaleEntries();
    // Emits the "stdout"/"stderr" events of one record. A timer flush sends at
    // most kMaxEventBytes per stream and keeps a trailing partial UTF-8
    // sequence for the next flush; the final flush sends everything, in
    // events of at most kMaxEventBytes.
    void flushRecord(OutputBuffers &buffers, bool final);
    void emitEvent(const QString &processId, const QString &event, const QString &data = QString());

    static QJsonObject successResponse(const QString &status, const QString &message = QString());
    static QJsonObject errorResponse(const QString &error);

    QHash<QString, ManagedProcess *> m_processes;
    QHash<QString, OutputBuffers> m_outputBuffers;
    QTimer m_flushTimer;
    std::function<bool(const QString &)> m_canDeliver;
};
