#include "process/CgroupLayout.h"

#include "base/DaemonLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

struct Layout
{
    std::once_flag once;
    QString mount;
    QString parent; // relative to the mount
    std::atomic<quint64> nextLeaf{1};
};

Layout &layout()
{
    static Layout *instance = new Layout; // outlives static destruction for atexit
    return *instance;
}

// The first cgroup2 mount of this process's mount namespace.
QString findMount()
{
    QFile mountInfo("/proc/self/mountinfo");
    if (!mountInfo.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : mountInfo.readAll().split('\n')) {
        const qsizetype separator = line.indexOf(" - ");
        if (separator < 0)
            continue;
        const QList<QByteArray> after = line.mid(separator + 3).split(' ');
        const QList<QByteArray> before = line.left(separator).split(' ');
        if (!after.isEmpty() && after.first() == "cgroup2" && before.size() > 4)
            return QFile::decodeName(before.at(4));
    }
    return {};
}

// This process's cgroup in the unified hierarchy ("/" at the root).
QString ownCgroup()
{
    QFile cgroup("/proc/self/cgroup");
    if (!cgroup.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : cgroup.readAll().split('\n'))
        if (line.startsWith("0::"))
            return QFile::decodeName(line.mid(3));
    return {};
}

bool writeText(const QString &file, const QByteArray &text)
{
    QFile f(file);
    return f.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && f.write(text) == text.size();
}

bool makeGroup(const QString &directory)
{
    return QDir().mkdir(directory) || QFileInfo(directory).isDir();
}

bool isDelegated(const QString &directory)
{
    char value[8] = {};
    const ssize_t n = getxattr(QFile::encodeName(directory).constData(), CgroupLayout::kDelegateAttribute, value,
                               sizeof(value) - 1);
    return n > 0 && value[0] == '1';
}

// Leaves and parents left by daemons that are gone, where they are empty.
void removeLeftovers(const QString &top)
{
    const QStringList instances = QDir(top).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : instances) {
        bool numeric = false;
        const qint64 pid = name.toLongLong(&numeric);
        if (!numeric || pid <= 0 || ::kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        QDir instance(top + '/' + name);
        for (const QString &leaf : instance.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            instance.rmdir(leaf);
        QDir(top).rmdir(name);
    }
}

// Under a delegated subtree: the daemon moves into a leaf of its own, so that
// its unit's cgroup holds no process and its children can be placed beside it.
QString prepareDelegated(const QString &mount, const QString &own)
{
    const QString base = mount + own;
    if (!makeGroup(base + '/' + CgroupLayout::kDaemonGroup)
        || !writeText(base + '/' + CgroupLayout::kDaemonGroup + "/cgroup.procs", "0")
        || !makeGroup(base + '/' + CgroupLayout::kManagedGroup)) {
        qCWarning(lcKestd) << "[ProcessManager] Cannot use the delegated cgroup" << base << "- error:" << errno;
        return {};
    }
    return own.mid(1) + '/' + CgroupLayout::kManagedGroup;
}

QString prepareAtMount(const QString &mount)
{
    const QString top = mount + '/' + CgroupLayout::kTopGroup;
    if (!makeGroup(top))
        return {};
    removeLeftovers(top);
    const QString relative = QStringLiteral("%1/%2").arg(QLatin1String(CgroupLayout::kTopGroup)).arg(::getpid());
    if (!makeGroup(mount + '/' + relative))
        return {};
    if (!QFileInfo::exists(mount + '/' + relative + "/cgroup.kill")) {
        // Without cgroup.kill (kernels before 5.14) a cgroup cannot be ended at once.
        QDir(mount).rmdir(relative);
        return {};
    }
    return relative;
}

void prepareOnce()
{
    Layout &l = layout();
    l.mount = findMount();
    if (!l.mount.isEmpty()) {
        const QString own = ownCgroup();
        const bool underSystemd = !qEnvironmentVariableIsEmpty("INVOCATION_ID");
        if (underSystemd && own.startsWith('/') && own != "/" && isDelegated(l.mount + own))
            l.parent = prepareDelegated(l.mount, own);
        else
            l.parent = prepareAtMount(l.mount);
    }
    if (l.parent.isEmpty()) {
        qCWarning(lcKestd) << "[ProcessManager] No writable cgroup v2 hierarchy: managed processes are ended"
                           << "through their process groups, which a child can leave";
        return;
    }
    qCInfo(lcKestd) << "[ProcessManager] Managed processes run in cgroups under" << l.mount + '/' + l.parent;
    std::atexit(&CgroupLayout::removeEmpty);
}

} // namespace

bool CgroupLayout::prepare()
{
    Layout &l = layout();
    std::call_once(l.once, prepareOnce);
    return !l.parent.isEmpty();
}

bool CgroupLayout::available()
{
    return prepare();
}

QString CgroupLayout::mountPoint()
{
    prepare();
    return layout().mount;
}

QString CgroupLayout::managedParentPath()
{
    prepare();
    return layout().parent;
}

QString CgroupLayout::newLeafDirectory()
{
    if (!prepare())
        return {};
    Layout &l = layout();
    return QStringLiteral("%1/%2/%3").arg(l.mount, l.parent).arg(l.nextLeaf.fetch_add(1));
}

void CgroupLayout::removeEmpty()
{
    Layout &l = layout();
    if (l.parent.isEmpty())
        return;
    QDir parent(l.mount + '/' + l.parent);
    for (const QString &leaf : parent.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        parent.rmdir(leaf);
    // The delegated parent belongs to the unit and stays; the daemon's own one goes.
    if (l.parent.startsWith(QLatin1String(kTopGroup) + '/'))
        QDir(l.mount).rmdir(l.parent);
}
