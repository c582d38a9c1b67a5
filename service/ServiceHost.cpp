#include "service/ServiceHost.h"

#include "base/DaemonLog.h"
#include "service/ServiceUnit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {
std::unique_ptr<ServiceHost> g_instance;

sigset_t controlSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    return set;
}

void runSystemctl(const QStringList &arguments)
{
    // Only where systemd manages this machine; elsewhere there is no one to tell.
    if (sd_booted() <= 0)
        return;
    QProcess::execute(QStringLiteral("systemctl"), arguments);
}
} // namespace

ServiceHost::ServiceHost(const QString &serviceName, const QString &displayName)
    : m_serviceName(serviceName)
    , m_displayName(displayName)
{
}

ServiceHost::~ServiceHost()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

ServiceHost &ServiceHost::initialize(const QString &serviceName, const QString &displayName)
{
    if (g_instance)
        throw ServiceError("ServiceHost already initialized");
    g_instance.reset(new ServiceHost(serviceName, displayName));
    g_instance->m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (g_instance->m_wakeFd < 0) {
        g_instance.reset();
        throw ServiceError("Failed to create stop event");
    }
    return *g_instance;
}

ServiceHost &ServiceHost::instance()
{
    if (!g_instance)
        throw ServiceError("ServiceHost not initialized");
    return *g_instance;
}

QString ServiceHost::unitDirectory()
{
    const QString env = qEnvironmentVariable("KESTD_UNIT_DIR");
    return env.isEmpty() ? QString::fromLatin1(kDefaultUnitDirectory) : env;
}

QString ServiceHost::polkitDirectory()
{
    const QString env = qEnvironmentVariable("KESTD_POLKIT_DIR");
    return env.isEmpty() ? QString::fromLatin1(kDefaultPolkitDirectory) : env;
}

QString ServiceHost::polkitActionsDirectory()
{
    const QString env = qEnvironmentVariable("KESTD_POLKIT_ACTIONS_DIR");
    return env.isEmpty() ? QString::fromLatin1(kDefaultPolkitActionsDirectory) : env;
}

QString ServiceHost::polkitActionPath() const
{
    return polkitActionsDirectory() + '/' + kPolkitActionFile;
}

void ServiceHost::installPolkitFile(const QString &directory, const QString &path, const QByteArray &content)
{
    if (!QFileInfo(QFileInfo(directory).absolutePath()).isDir() || !QDir().mkpath(directory))
        return;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

QString ServiceHost::unitPath() const
{
    return unitDirectory() + '/' + ServiceUnit::unitFileName(m_serviceName);
}

QString ServiceHost::polkitRulePath() const
{
    return polkitDirectory() + '/' + ServiceUnit::polkitRuleFileName(m_serviceName);
}

void ServiceHost::registerService()
{
    if (!QFileInfo(unitDirectory()).isDir())
        throw ServiceError("Failed to open Service Control Manager");
    const QString executable = QFileInfo("/proc/self/exe").canonicalFilePath();
    if (executable.isEmpty())
        throw ServiceError("Failed to get module file name");
    QFile unit(unitPath());
    if (unit.exists())
        throw ServiceError("Service already exists");
    if (!unit.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw ServiceError("Failed to create service");
    const QString text = ServiceUnit::unitText(m_displayName, executable);
    if (unit.write(text.toUtf8()) < 0 || !unit.flush()) {
        unit.remove();
        throw ServiceError("Failed to create service");
    }
    unit.close();

    // The access grant for unprivileged users and the action the daemon asks
    // polkit about; the unit stays registered without them where polkit is
    // not installed.
    installPolkitFile(polkitDirectory(), polkitRulePath(),
                      ServiceUnit::polkitRuleText(ServiceUnit::unitFileName(m_serviceName)).toUtf8());
    QFile action(QStringLiteral(":/kestd/") + kPolkitActionFile);
    if (action.open(QIODevice::ReadOnly))
        installPolkitFile(polkitActionsDirectory(), polkitActionPath(), action.readAll());
    runSystemctl({"daemon-reload"});
}

void ServiceHost::unregisterService()
{
    if (!QFileInfo(unitDirectory()).isDir())
        throw ServiceError("Failed to open Service Control Manager");
    if (!QFileInfo::exists(unitPath()))
        throw ServiceError("Failed to open service");
    runSystemctl({"stop", "--no-block", ServiceUnit::unitFileName(m_serviceName)});
    if (!QFile::remove(unitPath()))
        throw ServiceError("Failed to delete service");
    QFile::remove(polkitRulePath());
    QFile::remove(polkitActionPath());
    runSystemctl({"daemon-reload"});
}

void ServiceHost::setCustomControlHandler(ControlHandler handler)
{
    std::lock_guard lock(m_customMutex);
    m_custom = std::move(handler);
}

int ServiceHost::run(Callback mainCallback, Callback stopCallback)
{
    m_main = std::move(mainCallback);
    m_stop = std::move(stopCallback);
    if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET")) {
        std::fputs("ERROR: kestd must be run as a system service.\n", stderr);
        std::fputs("To register the service, run: kestd --register\n", stderr);
        std::fputs("Then start it via systemctl or: systemctl start KestService\n", stderr);
        return 1;
    }

    // Controls arrive as signals; they are taken on the control thread only,
    // so block them here before any other thread exists (threads inherit this).
    const sigset_t controlSet = controlSignals();
    if (pthread_sigmask(SIG_BLOCK, &controlSet, nullptr) != 0) {
        std::fprintf(stderr, "Failed to start service dispatcher: error %d\n", errno);
        return 1;
    }
    const int signalFd = ::signalfd(-1, &controlSet, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "Failed to start service dispatcher: error %d\n", errno);
        return 1;
    }
    std::thread control(&ServiceHost::controlThread, this, signalFd);

    sd_notify(0, "STATUS=Starting");
    int result = 0;
    try {
        m_main();
    } catch (...) {
        sd_notify(0, "STATUS=Stopped after a failure\nERRNO=1");
        result = 1;
    }
    if (m_failed)
        result = 1;

    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof(one));
    control.join();
    ::close(signalFd);
    return result;
}

void ServiceHost::controlThread(int signalFd)
{
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        signalfd_siginfo info {};
        if (::read(signalFd, &info, sizeof(info)) != ssize_t(sizeof(info)))
            continue;
        switch (info.ssi_signo) {
        case SIGTERM:
        case SIGINT:
            requestStop();
            break;
        case SIGUSR1:
            handleControl(kControlShutdownClients);
            break;
        case SIGUSR2:
            handleControl(kControlUser2);
            break;
        default:
            break;
        }
    }
}

void ServiceHost::handleControl(unsigned long code)
{
    std::lock_guard lock(m_customMutex);
    if (!m_custom)
        return;
    try {
        m_custom(code);
    } catch (...) {
        // A failing handler must not end the control thread.
    }
}

void ServiceHost::requestStop()
{
    if (m_stopping.exchange(true))
        return;
    sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
    try {
        if (m_stop)
            m_stop();
    } catch (...) {
    }
}

void ServiceHost::reportRunning()
{
    sd_notify(0, "READY=1\nSTATUS=Running");
}

void ServiceHost::reportStopPending()
{
    if (!m_stopping.exchange(true))
        sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
}

void ServiceHost::reportStartFailed()
{
    m_failed = true;
    sd_notify(0, "STATUS=Failed to start daemon\nERRNO=1");
}

void ServiceHost::reportStopped()
{
    sd_notify(0, "STATUS=Stopped");
}
