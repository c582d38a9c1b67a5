#pragma once
// Ends leftover proxy-core processes of one user session: every process whose
// image name is one of the stale names, compared without letter case and
// ignoring one trailing ".exe" on both sides, whose session (as the session
// source tells) is the given one, and, when a uid is given, that runs as that
// uid (real and effective), is killed. A candidate is first held by a
// handle, then its name and session are read again and it is checked to be
// still alive, and only then signalled through the handle: a pid that was
// reused after the snapshot is never hit. The process table is /proc unless a
// test gives its own.

#include <QList>
#include <QString>

#include <array>
#include <optional>

class StaleProcessKiller
{
public:
    static constexpr std::array<const char *, 2> kStaleProcessNames = {"xray.exe", "zoduzazidu.exe"};

    struct ProcessEntry
    {
        qint64 pid = 0;
        QString imageName;
    };

    // The processes of the machine and the means to end one of them.
    class ProcessTable
    {
    public:
        virtual ~ProcessTable() = default;
        // Every process with its image name (basename of its executable, its
        // command name when that is unreadable); empty with *error on failure.
        virtual std::optional<QList<ProcessEntry>> snapshot(int *error) const;
        // A handle that keeps naming this process even if its pid is reused; -1 with *error.
        virtual int open(qint64 pid, int *error) const;
        // The image name of whatever process has the pid now (as in snapshot);
        // empty when there is none.
        virtual QString imageName(qint64 pid) const;
        // The uid a process runs as when its real and effective uid agree;
        // empty otherwise or when it cannot be read.
        virtual std::optional<qint64> ownerUid(qint64 pid) const;
        // Whether the process named by the handle has not exited yet.
        virtual bool isAlive(int handle) const;
        virtual bool terminate(int handle, int *error) const;
        virtual void close(int handle) const;
    };

    // With no table the system's /proc is used; the table is borrowed.
    explicit StaleProcessKiller(const ProcessTable *table = nullptr);

    // Kills the stale processes of the session (of uid's only, when given);
    // returns how many were killed.
    int killStaleProcesses(quint32 sessionId, std::optional<qint64> uid = std::nullopt) const;

    // Whether an image name is the stale name (whole name, any case, one
    // trailing ".exe" ignored on either side).
    static bool imageNameMatches(const QString &imageName, const QString &staleName);

private:
    const ProcessTable *m_table;
};
