#pragma once
// The operating-system side of a managed child: creating it with its standard
// streams on pipes owned by the daemon and in a process group of its own,
// interrupting and killing that group, reading its exit, and the wake-up events
// and pipe reads of the two threads that watch it. The rest of the process code
// calls only this class. Linux implementation: fork and execve, pidfd, eventfd,
// poll.

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

#include <sys/types.h>

class ChildProcess
{
public:
    // A file descriptor on Linux (a HANDLE elsewhere); kNoHandle when absent.
    using Handle = int;
    static constexpr Handle kNoHandle = -1;

    // A child killed by signal N reports 128 + N, as shells do.
    static constexpr int kSignalExitBase = 128;
    // Upper bound of one read from a child's output pipe.
    static constexpr qint64 kMaxReadBytes = 4096;

    // The three pipes of one launch: the child's ends become its fds 0, 1, 2;
    // the parent's ends are close-on-exec and the read ends non-blocking.
    struct Pipes
    {
        Handle stdinRead = kNoHandle;
        Handle stdinWrite = kNoHandle;
        Handle stdoutRead = kNoHandle;
        Handle stdoutWrite = kNoHandle;
        Handle stderrRead = kNoHandle;
        Handle stderrWrite = kNoHandle;
    };

    // The rights a child takes before it reaches its working directory and
    // its program.
    struct Identity
    {
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups;
        // The network capabilities as ambient capabilities, kept over the
        // change of user and over the exec.
        bool networkCapabilities = false;
    };

    struct LaunchRequest
    {
        QString executable;
        QStringList arguments;
        QString workingDir;
        QByteArrayList environment; // the child's whole environment, NAME=value
        // Unset: the child keeps the daemon's own rights.
        std::optional<Identity> identity;
        // cgroup.procs of the cgroup the child enters first; kNoHandle for none.
        Handle cgroupProcs = kNoHandle;
    };

    struct Launched
    {
        qint64 pid = -1;
        Handle process = kNoHandle; // pidfd: readable once the child has exited
    };

    enum class ExitQuery { StillActive, Exited, Failed };
    enum class WaitResult { ProcessEnded, EventSignalled, Failed };
    enum class ReadResult { Data, WouldBlock, EndOfFile, Failed };

    // Creates the three pipes; on failure logs critically, closes what was
    // made and returns false.
    static bool createPipes(Pipes &pipes);

    // Starts the executable with the arguments as its argv, in a new process
    // group, with default signal handling and no descriptor of the daemon's
    // but the three pipes: the child enters its cgroup, takes the identity,
    // then changes to workingDir (when non-empty) and executes the program,
    // both with the rights it now has. An executable without a slash is looked
    // up in the PATH of the child's environment. The child ends of the pipes
    // are closed whatever the outcome; on failure the parent ends too, the
    // step that failed and its cause are logged and nothing is left running.
    static std::optional<Launched> launch(const LaunchRequest &request, Pipes &pipes);

    // The graceful stop: SIGINT to the child's process group. False (logged)
    // when it cannot be delivered.
    static bool interruptGroup(qint64 pid);
    // The forced stop without a cgroup: SIGKILL to the child's process group;
    // false with errno in *error when it fails.
    static bool killGroup(qint64 pid, int *error);
    // SIGKILL to the child itself through its process handle, which names it
    // even when its group is gone; false with errno in *error.
    static bool killProcess(Handle process, int *error);

    // Whether the child has exited, without reaping it (its pid and process
    // group stay reserved until releaseProcess). *exitCode is set for Exited,
    // *error for Failed.
    static ExitQuery queryExit(Handle process, int *exitCode, int *error);

    // Closes the process handle; reaps the child now when it has exited, else
    // hands it to the background reaper so no zombie is left behind.
    static void releaseProcess(Handle &process);

    // Closes a pipe end or an event and sets it to kNoHandle.
    static void closeHandle(Handle &handle);

    // A manual-reset wake-up event (stays signalled once set).
    static Handle createEvent();
    static void setEvent(Handle event);

    // Blocks until the process exits or the event is set.
    static WaitResult waitForExitOrEvent(Handle process, Handle event, int *error);

    // Waits up to timeoutMs (-1: no limit) until one of the pipes is readable
    // (or has hung up) or the event is set. Pipes given as kNoHandle are not
    // watched. Returns false when the wait itself failed.
    static bool waitReadable(Handle first, Handle second, Handle event, int timeoutMs,
                             bool *firstReady, bool *secondReady);

    // One non-blocking read of at most maxBytes (<= kMaxReadBytes) appended to out.
    static ReadResult readSome(Handle pipe, QByteArray &out, qint64 maxBytes);

    // Writes to a child's stdin what the pipe takes now, never waiting; a
    // closed pipe does not raise SIGPIPE. Returns the number of bytes written
    // (0 when the pipe is full); *closed is set when the reading end is gone
    // or the write failed for good.
    static qint64 writeSome(Handle pipe, const char *data, qint64 size, bool *closed);

    // The command line of the executable and its arguments as the log shows it:
    // each item enclosed in double quotes, separated by one blank.
    static QString commandLine(const QString &executable, const QStringList &arguments);
};
