#include "explorer/ProcessSnapshot.h"

#include "ipc/SessionSource.h"

#include "explorer/ExplorerLog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads a small /proc file into buf (NUL-terminated); the byte count or -1.
ssize_t readProcFile(const char *path, char *buf, size_t size)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t total = 0;
    while (size_t(total) < size - 1) {
        const ssize_t n = ::read(fd, buf + total, size - 1 - size_t(total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += n;
    }
    ::close(fd);
    buf[total] = '\0';
    return total;
}

qint64 clockMs(clockid_t clock)
{
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool parsePid(const char *name, quint32 &pid)
{
    if (*name < '1' || *name > '9')
        return false;
    char *end = nullptr;
    const unsigned long v = std::strtoul(name, &end, 10);
    if (*end || v > 0xFFFFFFFFul)
        return false;
    pid = quint32(v);
    return true;
}

} // namespace

qint64 ProcessSnapshot::bootTimeMs()
{
    // Start times count from boot (suspend included), so realtime - boottime
    // is the boot instant. It is kept while it agrees within the drift, so a
    // process's "created" does not jitter from one poll to the next.
    const qint64 now = clockMs(CLOCK_REALTIME) - clockMs(CLOCK_BOOTTIME);
    if (m_bootTimeMs == 0 || std::llabs(now - m_bootTimeMs) > kBootTimeDriftMs)
        m_bootTimeMs = now;
    return m_bootTimeMs;
}

QList<ProcessEntry> ProcessSnapshot::take()
{
    if (m_ticksPerSecond <= 0)
        m_ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (m_pageSize <= 0)
        m_pageSize = ::sysconf(_SC_PAGESIZE);
    bootTimeMs();

    QList<ProcessEntry> rows;
    const qint64 nowMs = clockMs(CLOCK_MONOTONIC);
    m_nextSessions.clear();
    DIR *dir = ::opendir("/proc");
    if (!dir) {
        qCWarning(lcProcessExplorer) << "opendir /proc failed:" << errno;
        return rows;
    }
    rows.reserve(512);
    while (const dirent *d = ::readdir(dir)) {
        quint32 pid = 0;
        if (!parsePid(d->d_name, pid))
            continue;
        ProcessEntry entry;
        entry.pid = pid;
        if (readProcess(pid, entry)) {
            entry.session = sessionOf(entry, nowMs);
            rows.append(std::move(entry));
        }
    }
    ::closedir(dir);
    // Only processes still running are remembered.
    m_sessions.swap(m_nextSessions);
    return rows;
}

bool ProcessSnapshot::readProcess(quint32 pid, ProcessEntry &entry)
{
    char path[64];
    char buf[4096];

    std::snprintf(path, sizeof path, "/proc/%u/exe", pid);
    const ssize_t len = ::readlink(path, buf, sizeof buf - 1);
    if (len <= 0)
        return false; // kernel thread, gone, or not ours to read
    buf[len] = '\0';
    QByteArray exe(buf, len);
    // A binary replaced while running (an upgrade) still names its program.
    static constexpr char kDeleted[] = " (deleted)";
    if (exe.endsWith(kDeleted))
        exe.chop(int(sizeof kDeleted - 1));
    entry.path = QString::fromLocal8Bit(exe);
    entry.name = entry.path.mid(entry.path.lastIndexOf(QLatin1Char('/')) + 1);

    // stat: "pid (comm) state ppid ..." - comm may hold spaces and ')'.
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    if (readProcFile(path, buf, sizeof buf) <= 0)
        return false;
    const char *p = std::strrchr(buf, ')');
    if (!p)
        return false;
    p += 2; // field 3, state
    unsigned long long fields[19] = {}; // fields 4 to 22
    int field = 3;
    while (*p && field <= 22) {
        while (*p == ' ')
            ++p;
        if (field >= 4)
            fields[field - 4] = std::strtoull(p, nullptr, 10);
        while (*p && *p != ' ')
            ++p;
        ++field;
    }
    entry.ppid = quint32(fields[0]);      // field 4
    entry.threads = quint32(fields[16]);  // field 20
    const unsigned long long startTicks = fields[18]; // field 22
    if (field > 22 && m_ticksPerSecond > 0)
        entry.created = m_bootTimeMs + qint64(startTicks * 1000 / quint64(m_ticksPerSecond));

    std::snprintf(path, sizeof path, "/proc/%u/statm", pid);
    if (readProcFile(path, buf, sizeof buf) > 0) {
        const char *q = std::strchr(buf, ' ');
        if (q)
            entry.memory = std::strtoull(q + 1, nullptr, 10) * quint64(m_pageSize);
    }

    std::snprintf(path, sizeof path, "/proc/%u", pid);
    struct stat st{};
    if (::stat(path, &st) == 0)
        entry.uid = st.st_uid;
    return true;
}

quint32 ProcessSnapshot::sessionOf(const ProcessEntry &entry, qint64 nowMs)
{
    // Keyed by pid and start time, so a reused pid is asked afresh.
    const auto known = m_sessions.constFind(entry.pid);
    if (known != m_sessions.cend() && known->created == entry.created && nowMs - known->checkedMs < kSessionRecheckMs) {
        m_nextSessions.insert(entry.pid, *known);
        return known->session;
    }
    const quint32 session = SessionSource::instance()->sessionOfProcess(entry.pid).value_or(0);
    m_nextSessions.insert(entry.pid, KnownSession{entry.created, session, nowMs});
    return session;
}
