#include "tests/support/PrivatePolkit.h"

#include "tests/support/QtTestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr const char *kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

// The system's polkit directories that polkitd reads, and what the test puts there.
constexpr const char *kActionsDirectory = "/usr/share/polkit-1/actions";
constexpr const char *kRulesDirectory = "/etc/polkit-1/rules.d";
constexpr const char *kVendorRulesDirectory = "/usr/share/polkit-1/rules.d";

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Output of a child goes to a log file of the fixture (read on failure).
void redirectOutput(const QByteArray &logPath)
{
    const int log = ::open(logPath.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
}

std::vector<char *> pointers(std::vector<QByteArray> &items)
{
    std::vector<char *> out;
    for (QByteArray &item : items)
        out.push_back(item.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

PrivatePolkit::PrivatePolkit(const QString &rules)
{
    char pattern[] = "/tmp/kestd-polkit-XXXXXX";
    if (::mkdtemp(pattern))
        m_root = QString::fromLocal8Bit(pattern);
    if (m_root.isEmpty() || !writeFiles(rules))
        m_error = "cannot write the fixture's files";
}

PrivatePolkit::~PrivatePolkit()
{
    end(m_polkitd);
    end(m_bus);
    if (m_root.startsWith("/tmp/kestd-polkit-"))
        QDir(m_root).removeRecursively();
}

QString PrivatePolkit::busAddress() const
{
    return "unix:path=" + m_root + "/bus.sock";
}

bool PrivatePolkit::writeFiles(const QString &rules)
{
    QDir root(m_root);
    // polkitd reads them as its own unprivileged user.
    ::chmod(QFile::encodeName(m_root).constData(), 0755);
    if (!root.mkpath("actions") || !root.mkpath("rules") || !root.mkpath("no-rules"))
        return false;
    QFile action(QStringLiteral(KESTD_SOURCE_DIR "/service/org.kest.daemon.policy"));
    if (!action.open(QIODevice::ReadOnly))
        return false;
    return writeFile(m_root + "/actions/org.kest.daemon.policy", action.readAll())
           && writeFile(m_root + "/rules/50-test.rules", rules.toUtf8())
           && writeFile(m_root + "/bus.conf", QString::fromLatin1(kBusConfig).arg(m_root).toUtf8());
}

bool PrivatePolkit::start(int timeoutMs)
{
    if (!m_error.isEmpty())
        return false;
    if (::geteuid() != 0)
        return (m_error = "needs root"), false;
    const QString busProgram = QStandardPaths::findExecutable("dbus-daemon");
    if (busProgram.isEmpty())
        return (m_error = "dbus-daemon is not installed"), false;
    if (!QFileInfo(kPolkitd).isExecutable())
        return (m_error = QStringLiteral("%1 is not installed").arg(kPolkitd)), false;
    for (const char *directory : {kActionsDirectory, kRulesDirectory, kVendorRulesDirectory})
        if (!QFileInfo(directory).isDir())
            return (m_error = QStringLiteral("%1 is missing").arg(directory)), false;
    m_bus = spawnBus(busProgram);
    QElapsedTimer clock;
    clock.start();
    while (m_bus > 0 && !QFileInfo::exists(m_root + "/bus.sock") && clock.elapsed() < timeoutMs)
        QThread::msleep(20);
    m_polkitd = m_bus > 0 ? spawnPolkitd() : -1;
    if (m_polkitd <= 0 || !waitServing(int(timeoutMs - clock.elapsed()))) {
        QFile log(m_root + "/log");
        log.open(QIODevice::ReadOnly);
        m_error = "polkitd did not come up on the private bus: " + QString::fromUtf8(log.readAll());
        return false;
    }
    return true;
}

pid_t PrivatePolkit::spawnBus(const QString &program)
{
    std::vector<QByteArray> argv{QFile::encodeName(program), "--config-file=" + QFile::encodeName(m_root) + "/bus.conf",
                                 "--nofork", "--nopidfile"};
    std::vector<QByteArray> env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    auto argp = pointers(argv);
    auto envp = pointers(env);
    const QByteArray log = QFile::encodeName(m_root + "/log");
    const pid_t pid = ::fork();
    if (pid == 0) {
        redirectOutput(log);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

pid_t PrivatePolkit::spawnPolkitd()
{
    std::vector<QByteArray> argv{kPolkitd, "--no-debug"};
    std::vector<QByteArray> env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress().toUtf8()};
    auto argp = pointers(argv);
    auto envp = pointers(env);
    const QByteArray root = QFile::encodeName(m_root);
    const QByteArray actions = root + "/actions";
    const QByteArray rules = root + "/rules";
    const QByteArray noRules = root + "/no-rules";
    const QByteArray log = root + "/log";
    const pid_t pid = ::fork();
    if (pid == 0) {
        redirectOutput(log);
        // The bind mounts live in this process's own mount namespace only.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount(actions.constData(), kActionsDirectory, nullptr, MS_BIND, nullptr) != 0
            || ::mount(rules.constData(), kRulesDirectory, nullptr, MS_BIND, nullptr) != 0
            || ::mount(noRules.constData(), kVendorRulesDirectory, nullptr, MS_BIND, nullptr) != 0)
            ::_exit(126);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

bool PrivatePolkit::waitServing(int timeoutMs)
{
    QtTestSupport::application();
    const QString name = "kestd-test-polkit-" + m_root.section('/', -1);
    bool serving = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(busAddress(), name);
        QElapsedTimer clock;
        clock.start();
        while (!serving && bus.isConnected() && clock.elapsed() < timeoutMs) {
            serving = bus.interface()->isServiceRegistered(kPolkitService).value();
            if (!serving)
                QThread::msleep(50);
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return serving;
}

void PrivatePolkit::end(pid_t &pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        QThread::msleep(20);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}
