#include "process/ChildProcess.h"

#include "process/ChildReaper.h"
#include "process/ProcessCredentials.h"
#include "base/DaemonLog.h"

#include <QFile>

#include <vector>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Marks every descriptor from the first one on close-on-exec (close_range(2)).
constexpr unsigned kCloseRangeCloexec = 1u << 2;
// The stack of a starting child, which runs on it until it executes.
constexpr size_t kChildStackBytes = 64 * 1024;
// The search path of a child whose environment has no PATH.
constexpr const char *kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

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

// The steps of the child between fork and exec, as its failure report names them.
enum class ChildStep : int {
    Signals = 1,
    ProcessGroup,
    Cgroup,
    Streams,
    Groups,
    GroupId,
    UserId,
    Capabilities,
    WorkingDirectory,
    Execute
};

const char *stepText(ChildStep step)
{
    switch (step) {
    case ChildStep::Signals: return "resetting signals";
    case ChildStep::ProcessGroup: return "making its process group";
    case ChildStep::Cgroup: return "entering its cgroup";
    case ChildStep::Streams: return "attaching its standard streams";
    case ChildStep::Groups: return "taking the user's groups";
    case ChildStep::GroupId: return "taking the user's group";
    case ChildStep::UserId: return "taking the user's uid";
    case ChildStep::Capabilities: return "taking the network capabilities";
    case ChildStep::WorkingDirectory: return "changing to the working directory";
    case ChildStep::Execute: return "executing the program";
    }
    return "starting";
}

struct ChildFailure
{
    int step = 0;
    int error = 0;
};

// Everything the child uses, made before it starts. The child shares the
// daemon's memory until it executes (vfork semantics, so that starting a child
// costs no copy of the daemon's pages): it makes only async-signal-safe calls,
// writes nothing but its failure report, and runs on a stack of its own.
struct ChildPlan
{
    std::vector<QByteArray> argvStorage;
    std::vector<QByteArray> environmentStorage;
    std::vector<QByteArray> candidateStorage;
    std::vector<char *> argv;
    std::vector<char *> environment;
    std::vector<const char *> candidates; // program paths tried in order
    QByteArray workingDir;
    bool changeIdentity = false;
    ChildProcess::Identity identity;
    int cgroupProcs = -1;
    int streams[3] = {-1, -1, -1};
    ChildFailure failure; // written by a child that could not execute
};

[[noreturn]] void failChild(ChildPlan &plan, ChildStep step, int error)
{
    plan.failure = ChildFailure{int(step), error};
    ::_exit(127);
}

bool raiseNetworkCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int capability : ProcessCredentials::kNetworkCapabilities) {
        data[CAP_TO_INDEX(capability)].permitted |= CAP_TO_MASK(capability);
        data[CAP_TO_INDEX(capability)].effective |= CAP_TO_MASK(capability);
        data[CAP_TO_INDEX(capability)].inheritable |= CAP_TO_MASK(capability);
    }
    if (::syscall(SYS_capset, &header, data) != 0)
        return false;
    for (int capability : ProcessCredentials::kNetworkCapabilities)
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0) != 0)
            return false;
    return true;
}

// Raw system calls: they change this task alone, without the library's
// machinery that applies them to every thread of the daemon.
void takeIdentity(ChildPlan &plan)
{
    const ChildProcess::Identity &id = plan.identity;
    if (id.networkCapabilities && ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0)
        failChild(plan, ChildStep::Capabilities, errno);
    if (::syscall(SYS_setgroups, id.groups.size(), id.groups.data()) != 0)
        failChild(plan, ChildStep::Groups, errno);
    if (::syscall(SYS_setresgid, id.gid, id.gid, id.gid) != 0)
        failChild(plan, ChildStep::GroupId, errno);
    if (::syscall(SYS_setresuid, id.uid, id.uid, id.uid) != 0)
        failChild(plan, ChildStep::UserId, errno);
    if (id.networkCapabilities && !raiseNetworkCapabilities())
        failChild(plan, ChildStep::Capabilities, errno);
}

// The daemon's handlers are not the child's: every signal gets its default
// action, then the mask (all blocked while the child starts) is cleared.
void resetSignals(ChildPlan &plan)
{
    struct sigaction defaults{};
    defaults.sa_handler = SIG_DFL;
    for (int signo = 1; signo < NSIG; ++signo)
        ::sigaction(signo, &defaults, nullptr); // fails only for SIGKILL, SIGSTOP and reserved ones
    sigset_t none;
    sigemptyset(&none);
    if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0)
        failChild(plan, ChildStep::Signals, errno);
}

int runChild(void *argument)
{
    ChildPlan &plan = *static_cast<ChildPlan *>(argument);
    resetSignals(plan);
    if (::setpgid(0, 0) != 0)
        failChild(plan, ChildStep::ProcessGroup, errno);
    if (plan.cgroupProcs >= 0 && ::write(plan.cgroupProcs, "0", 1) != 1)
        failChild(plan, ChildStep::Cgroup, errno);
    for (int fd = 0; fd < 3; ++fd)
        if (::dup2(plan.streams[fd], fd) != fd)
            failChild(plan, ChildStep::Streams, errno);
    // No descriptor of the daemon (sockets, the TUN device) may reach a
    // program that runs with a user's rights.
    ::syscall(SYS_close_range, 3u, ~0u, kCloseRangeCloexec);
    if (plan.changeIdentity)
        takeIdentity(plan);
    if (!plan.workingDir.isEmpty() && ::chdir(plan.workingDir.constData()) != 0)
        failChild(plan, ChildStep::WorkingDirectory, errno);
    // As execvp does: a later candidate may still succeed after a denied one.
    int error = ENOENT;
    for (const char *candidate : plan.candidates) {
        ::execve(candidate, plan.argv.data(), plan.environment.data());
        if (errno == EACCES) {
            error = EACCES;
        } else if (errno != ENOENT && errno != ENOTDIR) {
            error = errno;
            break;
        }
    }
    failChild(plan, ChildStep::Execute, error);
}

// Starts the child on its own stack, sharing the daemon's memory until it
// executes or exits; the calling thread waits for that. Signals stay blocked
// meanwhile, so no handler of the daemon runs in the child.
pid_t startChild(ChildPlan &plan)
{
    std::vector<char> stack(kChildStackBytes);
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::clone(runChild, stack.data() + stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return pid;
}

QByteArray searchPath(const QByteArrayList &environment)
{
    for (const QByteArray &entry : environment)
        if (entry.startsWith("PATH="))
            return entry.mid(5);
    return QByteArray(kDefaultSearchPath);
}

// The paths to execute: the executable itself when it names a path, else
// each PATH directory joined with it (empty elements are skipped).
std::vector<QByteArray> programCandidates(const QByteArray &program, const QByteArrayList &environment)
{
    if (program.contains('/'))
        return {program};
    std::vector<QByteArray> candidates;
    for (const QByteArray &directory : searchPath(environment).split(':'))
        if (!directory.isEmpty())
            candidates.push_back(directory + '/' + program);
    return candidates;
}

// Fills the plan's argument, environment and program lists; false when an
// item cannot be passed (an embedded NUL).
bool fillPlan(ChildPlan &plan, const ChildProcess::LaunchRequest &request)
{
    const auto program = encodeArgument(request.executable);
    const auto directory = encodeArgument(request.workingDir);
    if (!program || !directory)
        return false;
    plan.workingDir = *directory;
    plan.argvStorage.push_back(*program);
    for (const QString &argument : request.arguments) {
        const auto encoded = encodeArgument(argument);
        if (!encoded)
            return false;
        plan.argvStorage.push_back(*encoded);
    }
    for (const QByteArray &entry : request.environment) {
        if (entry.contains('\0'))
            return false;
        plan.environmentStorage.push_back(entry);
    }
    plan.candidateStorage = programCandidates(*program, request.environment);
    for (QByteArray &item : plan.argvStorage)
        plan.argv.push_back(item.data());
    plan.argv.push_back(nullptr);
    for (QByteArray &item : plan.environmentStorage)
        plan.environment.push_back(item.data());
    plan.environment.push_back(nullptr);
    for (const QByteArray &item : plan.candidateStorage)
        plan.candidates.push_back(item.constData());
    return true;
}

// Whether the child must change its rights: a daemon's own identity (or a
// root client's, for a root daemon) is kept as it is.
bool needsIdentityChange(const std::optional<ChildProcess::Identity> &identity)
{
    if (!identity)
        return false;
    return identity->uid != ::geteuid() || (identity->uid != 0 && identity->gid != ::getegid());
}

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

std::optional<ChildProcess::Launched> ChildProcess::launch(const LaunchRequest &request, Pipes &pipes)
{
    auto fail = [&pipes](const char *text, int code) -> std::optional<Launched> {
        qCCritical(lcKestd) << text << code;
        closeChildEnds(pipes);
        closeParentEnds(pipes);
        return std::nullopt;
    };

    ChildPlan plan;
    if (!fillPlan(plan, request))
        return fail("[ProcessManager] Executable, argument, working directory or environment contains a NUL "
                    "character, error:",
                    EINVAL);
    plan.changeIdentity = needsIdentityChange(request.identity);
    if (request.identity)
        plan.identity = *request.identity;
    plan.cgroupProcs = request.cgroupProcs;
    plan.streams[0] = pipes.stdinRead;
    plan.streams[1] = pipes.stdoutWrite;
    plan.streams[2] = pipes.stderrWrite;

    const pid_t pid = startChild(plan);
    const int startError = errno;
    closeChildEnds(pipes);
    if (pid < 0)
        return fail("[ProcessManager] clone failed:", startError);
    if (plan.failure.step != 0) {
        ::waitpid(pid, nullptr, 0);
        qCWarning(lcKestd).nospace() << "[ProcessManager] Failed to start " << request.executable << ": "
                                     << stepText(ChildStep(plan.failure.step)) << " failed: "
                                     << std::strerror(plan.failure.error) << " (" << plan.failure.error << ")";
        closeParentEnds(pipes);
        return std::nullopt;
    }

    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        const int saved = errno;
        // Without a handle the child could never be watched: end it.
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
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

bool ChildProcess::killProcess(Handle process, int *error)
{
    if (::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0) != 0) {
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
