#include "process/ChildProcess.h"

#include "process/ChildReaper.h"
#include "base/DaemonLog.h"

#include <QFile>

#include <vector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Standard streams of the child; the parent's pipe ends are kept above them so
// that the dup2 of one never clobbers another.
constexpr int kFirstFreeFd = 3;

void closeFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = ChildProcess::kNoHandle;
}

// Moves fd to a number >= 3 (keeping close-on-exec).
bool liftAboveStandardStreams(int &fd)
{
    if (fd >= kFirstFreeFd)
        return true;
    const int lifted = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeFd);
    if (lifted < 0)
        return false;
    close(fd);
    fd = lifted;
    return true;
}

bool makePipe(int &readEnd, int &writeEnd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readEnd = fds[0];
    writeEnd = fds[1];
    if (!liftAboveStandardStreams(readEnd) || !liftAboveStandardStreams(writeEnd)) {
        const int saved = errno;
        closeFd(readEnd);
        closeFd(writeEnd);
        errno = saved;
        return false;
    }
    return true;
}

void setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void closeChildEnds(ChildProcess::Pipes &p)
{
    closeFd(p.stdinRead);
    closeFd(p.stdoutWrite);
    closeFd(p.stderrWrite);
}

void closeParentEnds(ChildProcess::Pipes &p)
{
    closeFd(p.stdinWrite);
    closeFd(p.stdoutRead);
    closeFd(p.stderrRead);
}

// argv text for the child; empty when the text cannot be passed (an embedded
// NUL would silently cut it).
std::optional<QByteArray> encodeArgument(const QString &text)
{
    const QByteArray encoded = QFile::encodeName(text);
    if (encoded.contains('\0'))
        return std::nullopt;
    return encoded;
}

int pidfdOpen(pid_t pid)
{
    return int(syscall(SYS_pidfd_open, pid, 0));
}

int exitCodeOf(const siginfo_t &info)
{
    if (info.si_code == CLD_EXITED)
        return info.si_status;
    return ChildProcess::kSignalExitBase + info.si_status;
}

// Spawn attributes: own process group, nothing blocked, default dispositions
// (the daemon blocks and takes its control signals on a thread of its own).
struct SpawnAttributes
{
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;

    SpawnAttributes()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnAttributes()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }

    int prepare(const ChildProcess::Pipes &pipes, const QByteArray &workingDir)
    {
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        int rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK
                                                     | POSIX_SPAWN_SETSIGDEF);
        if (rc == 0)
            rc = posix_spawnattr_setpgroup(&attr, 0);
        if (rc == 0)
            rc = posix_spawnattr_setsigmask(&attr, &none);
        if (rc == 0)
            rc = posix_spawnattr_setsigdefault(&attr, &all);
        if (rc == 0)
            rc = posix_spawn_file_actions_adddup2(&actions, pipes.stdinRead, STDIN_FILENO);
        if (rc == 0)
            rc = posix_spawn_file_actions_adddup2(&actions, pipes.stdoutWrite, STDOUT_FILENO);
        if (rc == 0)
            rc = posix_spawn_file_actions_adddup2(&actions, pipes.stderrWrite, STDERR_FILENO);
        if (rc == 0 && !workingDir.isEmpty())
            rc = posix_spawn_file_actions_addchdir_np(&actions, workingDir.constData());
        return rc;
    }
};

} // namespace

bool ChildProcess::createPipes(Pipes &pipes)
{
    if (!makePipe(pipes.stdinRead, pipes.stdinWrite)) {
        qCCritical(lcKestd) << "[ProcessManager] Failed to create stdin pipe:" << errno;
        return false;
    }
    if (!makePipe(pipes.stdoutRead, pipes.stdoutWrite)) {
        qCCritical(lcKestd) << "[ProcessManager] Failed to create stdout pipe:" << errno;
        closeFd(pipes.stdinRead);
        closeFd(pipes.stdinWrite);
        return false;
    }
    if (!makePipe(pipes.stderrRead, pipes.stderrWrite)) {
        qCCritical(lcKestd) << "[ProcessManager] Failed to create stderr pipe:" << errno;
        closeFd(pipes.stdinRead);
        closeFd(pipes.stdinWrite);
        closeFd(pipes.stdoutRead);
        closeFd(pipes.stdoutWrite);
        return false;
    }
    setNonBlocking(pipes.stdinWrite);
    setNonBlocking(pipes.stdoutRead);
    setNonBlocking(pipes.stderrRead);
    return true;
}

std::optional<ChildProcess::Launched> ChildProcess::launch(const QString &executable,
                                                           const QStringList &arguments,
                                                           const QString &workingDir, Pipes &pipes)
{
    auto fail = [&pipes](const char *text, int code) -> std::optional<Launched> {
        qCCritical(lcKestd) << text << code;
        closeChildEnds(pipes);
        closeParentEnds(pipes);
        return std::nullopt;
    };

    std::vector<QByteArray> argvStorage;
    const auto program = encodeArgument(executable);
    const auto directory = encodeArgument(workingDir);
    if (!program || !directory)
        return fail("[ProcessManager] Executable or working directory contains a NUL character, error:", EINVAL);
    argvStorage.push_back(*program);
    for (const QString &argument : arguments) {
        const auto encoded = encodeArgument(argument);
        if (!encoded)
            return fail("[ProcessManager] Argument contains a NUL character, error:", EINVAL);
        argvStorage.push_back(*encoded);
    }
    std::vector<char *> argv;
    argv.reserve(argvStorage.size() + 1);
    for (QByteArray &item : argvStorage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    SpawnAttributes spawn;
    if (const int rc = spawn.prepare(pipes, *directory); rc != 0)
        return fail("[ProcessManager] posix_spawn set-up failed:", rc);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &spawn.actions, &spawn.attr, argv.data(), environ);
    closeChildEnds(pipes);
    if (rc != 0)
        return fail("[ProcessManager] posix_spawn failed:", rc);

    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        const int saved = errno;
        // Without a handle the child could never be watched: end it.
        ::kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return fail("[ProcessManager] pidfd_open failed:", saved);
    }
    return Launched{qint64(pid), pidfd};
}

bool ChildProcess::interruptGroup(qint64 pid)
{
    if (pid <= 0)
        return false;
    if (::kill(-pid_t(pid), SIGINT) != 0) {
        qCWarning(lcKestd) << "[ProcessManager] SIGINT to the process group failed:" << errno;
        return false;
    }
    return true;
}

bool ChildProcess::killGroup(qint64 pid, int *error)
{
    if (pid <= 0) {
        *error = ESRCH;
        return false;
    }
    if (::kill(-pid_t(pid), SIGKILL) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

ChildProcess::ExitQuery ChildProcess::queryExit(Handle process, int *exitCode, int *error)
{
    siginfo_t info{};
    if (waitid(P_PIDFD, id_t(process), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        *error = errno;
        return ExitQuery::Failed;
    }
    if (info.si_pid == 0)
        return ExitQuery::StillActive;
    *exitCode = exitCodeOf(info);
    return ExitQuery::Exited;
}

void ChildProcess::releaseProcess(Handle &process)
{
    if (process < 0)
        return;
    ChildReaper::adopt(process);
    process = kNoHandle;
}

void ChildProcess::closeHandle(Handle &handle)
{
    closeFd(handle);
}

ChildProcess::Handle ChildProcess::createEvent()
{
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void ChildProcess::setEvent(Handle event)
{
    if (event >= 0)
        eventfd_write(event, 1);
}

ChildProcess::WaitResult ChildProcess::waitForExitOrEvent(Handle process, Handle event, int *error)
{
    pollfd fds[2] = {{process, POLLIN, 0}, {event, POLLIN, 0}};
    for (;;) {
        const int rc = poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            *error = errno;
            return WaitResult::Failed;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            return WaitResult::ProcessEnded;
        if (fds[1].revents & POLLIN)
            return WaitResult::EventSignalled;
    }
}

bool ChildProcess::waitReadable(Handle first, Handle second, Handle event, int timeoutMs,
                                bool *firstReady, bool *secondReady)
{
    pollfd fds[3] = {{first, POLLIN, 0}, {second, POLLIN, 0}, {event, POLLIN, 0}};
    *firstReady = *secondReady = false;
    int rc;
    do {
        rc = poll(fds, 3, timeoutMs); // negative fds are ignored by poll
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return false;
    constexpr short ready = POLLIN | POLLHUP | POLLERR;
    *firstReady = first >= 0 && (fds[0].revents & ready);
    *secondReady = second >= 0 && (fds[1].revents & ready);
    return true;
}

ChildProcess::ReadResult ChildProcess::readSome(Handle pipe, QByteArray &out, qint64 maxBytes)
{
    const qint64 wanted = qMin(maxBytes, kMaxReadBytes);
    const qsizetype oldSize = out.size();
    out.resize(oldSize + wanted);
    ssize_t n;
    do {
        n = read(pipe, out.data() + oldSize, size_t(wanted));
    } while (n < 0 && errno == EINTR);
    out.resize(oldSize + qMax<qsizetype>(n, 0));
    if (n > 0)
        return ReadResult::Data;
    if (n == 0)
        return ReadResult::EndOfFile;
    return errno == EAGAIN ? ReadResult::WouldBlock : ReadResult::Failed;
}

qint64 ChildProcess::writeSome(Handle pipe, const char *data, qint64 size, bool *closed)
{
    // A child that closed its stdin must not take the daemon down with SIGPIPE:
    // block it on this thread for the write and swallow one that we raised.
    sigset_t pipeSet, oldMask, pendingBefore;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);

    *closed = false;
    qint64 written = 0;
    bool broken = false;
    while (written < size) {
        const ssize_t n = write(pipe, data + written, size_t(size - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        broken = n < 0 && errno == EPIPE;
        *closed = true;
        break;
    }

    if (broken && !wasPending) {
        const timespec zero{0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    return written;
}

QString ChildProcess::commandLine(const QString &executable, const QStringList &arguments)
{
    QString line = QStringLiteral("\"%1\"").arg(executable);
    for (const QString &argument : arguments)
        line += QStringLiteral(" \"%1\"").arg(argument);
    return line;
}
