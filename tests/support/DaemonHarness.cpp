#include "tests/support/DaemonHarness.h"

#include "tests/support/NetnsFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <vector>

extern char **environ;

DaemonHarness::DaemonHarness()
    : DaemonHarness(Options{})
{
}

DaemonHarness::DaemonHarness(Options options)
    : m_options(std::move(options))
{
    char tmpl[] = "/tmp/kestd-test-XXXXXX";
    m_root = QString::fromLocal8Bit(::mkdtemp(tmpl));
    QDir().mkpath(homeDir());
    QDir().mkpath(runtimeDir());
    if (m_options.notifySocket) {
        m_notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(m_root + "/notify.sock");
        std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
        ::bind(m_notifyFd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    }
}

DaemonHarness::~DaemonHarness()
{
    if (m_pid > 0 && !m_exitCode)
        stop(5000);
    if (m_notifyFd >= 0)
        ::close(m_notifyFd);
    if (!m_root.isEmpty() && m_root.startsWith("/tmp/kestd-test-"))
        QDir(m_root).removeRecursively();
}

QString DaemonHarness::socketPath(quint32 session) const
{
    return QStringLiteral("%1/kestd-%2").arg(runtimeDir()).arg(session);
}

QString DaemonHarness::defaultLogPath() const
{
    return homeDir() + "/.local/share/Kest/logs/kestd.log";
}

bool DaemonHarness::start(bool waitReady, int timeoutMs)
{
    QStringList env;
    for (char **e = environ; *e; ++e) {
        const QString entry = QString::fromLocal8Bit(*e);
        const QString name = entry.section('=', 0, 0);
        if (name == "NOTIFY_SOCKET" || name == "RUNTIME_DIRECTORY" || name == "HOME" || name == "KESTD_SESSIONS"
            || name == "XDG_DATA_HOME")
            continue;
        env << entry;
    }
    env << "RUNTIME_DIRECTORY=" + runtimeDir() << "HOME=" + homeDir();
    if (m_options.notifySocket)
        env << "NOTIFY_SOCKET=" + m_root + "/notify.sock";
    if (!m_options.sessions.isNull())
        env << "KESTD_SESSIONS=" + m_options.sessions;
    // Explicit entries replace the harness's own.
    for (const QString &entry : std::as_const(m_options.environment)) {
        const QString prefix = entry.section('=', 0, 0) + '=';
        env.erase(std::remove_if(env.begin(), env.end(), [&](const QString &e) { return e.startsWith(prefix); }),
                  env.end());
        env << entry;
    }

    std::vector<QByteArray> envBytes, argBytes;
    for (const QString &e : env)
        envBytes.push_back(e.toLocal8Bit());
    argBytes.push_back(QFile::encodeName(m_options.binary));
    for (const QString &a : m_options.arguments)
        argBytes.push_back(a.toLocal8Bit());
    std::vector<char *> envp, argv;
    for (auto &b : envBytes)
        envp.push_back(b.data());
    envp.push_back(nullptr);
    for (auto &b : argBytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    const QByteArray out = QFile::encodeName(m_root + "/stdout.log");
    const QByteArray err = QFile::encodeName(m_root + "/stderr.log");

    if (m_options.openToEveryUser) {
        ::chmod(QFile::encodeName(m_root).constData(), 0755);
        ::chmod(QFile::encodeName(runtimeDir()).constData(), 0755);
    }
    m_exitCode.reset();
    // The daemon inherits the namespace of the thread that forks it.
    std::optional<NetnsFixture::Enter> inside;
    if (!m_options.networkNamespace.empty() && !inside.emplace(m_options.networkNamespace).ok())
        return false;
    m_pid = ::fork();
    if (m_pid < 0)
        return false;
    if (m_pid == 0) {
        const int o = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int n = ::open("/dev/null", O_RDONLY);
        ::dup2(n, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    inside.reset();
    if (!waitReady)
        return true;
    return waitNotify("READY=1", timeoutMs);
}

void DaemonHarness::drainNotifications(int timeoutMs)
{
    if (m_notifyFd < 0)
        return;
    pollfd p {m_notifyFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(m_notifyFd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        m_notifications << QString::fromUtf8(buffer, int(n));
    }
}

QStringList DaemonHarness::notifications()
{
    drainNotifications(0);
    return m_notifications;
}

bool DaemonHarness::waitNotify(const QString &text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        for (const QString &n : std::as_const(m_notifications))
            if (n.contains(text))
                return true;
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        if (m_pid > 0 && !m_exitCode) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        drainNotifications(int(std::min<qint64>(left, 50)));
        if (m_exitCode) {
            drainNotifications(0);
            for (const QString &n : std::as_const(m_notifications))
                if (n.contains(text))
                    return true;
            return false;
        }
    }
}

std::optional<int> DaemonHarness::waitExit(int timeoutMs)
{
    if (m_exitCode || m_pid <= 0)
        return m_exitCode;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            drainNotifications(0);
            return m_exitCode;
        }
        if (r < 0 || timer.elapsed() >= timeoutMs)
            return std::nullopt;
        drainNotifications(10);
    }
}

bool DaemonHarness::signal(int signo)
{
    return m_pid > 0 && !m_exitCode && ::kill(m_pid, signo) == 0;
}

std::optional<int> DaemonHarness::stop(int timeoutMs)
{
    if (m_pid <= 0)
        return std::nullopt;
    if (m_exitCode)
        return m_exitCode;
    ::kill(m_pid, SIGTERM);
    if (auto code = waitExit(timeoutMs))
        return code;
    ::kill(m_pid, SIGKILL);
    return waitExit(5000);
}

namespace {
long statusKiB(pid_t pid, const QByteArray &field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLong();
    return -1;
}
} // namespace

long DaemonHarness::residentKiB() const
{
    return statusKiB(m_pid, "VmRSS:");
}

long DaemonHarness::peakResidentKiB() const
{
    return statusKiB(m_pid, "VmHWM:");
}

QString DaemonHarness::stderrText() const
{
    QFile f(m_root + "/stderr.log");
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QString DaemonHarness::stdoutText() const
{
    QFile f(m_root + "/stdout.log");
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool DaemonHarness::waitForLog(const QString &text, int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    while (!stderrText().contains(text)) {
        if (timer.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}
