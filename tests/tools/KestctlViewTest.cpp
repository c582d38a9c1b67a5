// kestctl's commands for people and scripts: tables with headers, --json equal
// to the daemon's reply, exit codes. status, ps and explorer run against the
// real daemon; connections against a small server speaking the same framing.

#include "tests/tools/KestctlRun.h"

#include "ipc/MessageFraming.h"
#include "tests/support/DaemonHarness.h"
#include "tools/KestClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

QJsonObject parseObject(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// Greets each connection as the daemon does and answers every request with
// what the handler returns for it.
class FakeDaemon
{
public:
    using Handler = std::function<QJsonObject(const QJsonObject &)>;

    explicit FakeDaemon(Handler handler)
        : m_handler(std::move(handler))
    {
        m_path = m_dir.filePath("kestd-1");
        m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(m_path);
        std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
        if (::bind(m_listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 && ::listen(m_listenFd, 4) == 0)
            m_thread = std::thread([this] { serve(); });
    }
    ~FakeDaemon()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listenFd);
    }
    QString socketPath() const { return m_path; }

private:
    bool waitReadable(int fd)
    {
        pollfd p {fd, POLLIN, 0};
        while (!m_stop)
            if (::poll(&p, 1, 50) > 0)
                return true;
        return false;
    }
    void serve()
    {
        while (waitReadable(m_listenFd)) {
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            send(fd, QJsonObject{{"event", "connected"}, {"daemon-version", "2.1.0"}, {"privilege-level", 1}});
            QByteArray buffer;
            char chunk[4096];
            while (waitReadable(fd)) {
                const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
                if (n <= 0)
                    break;
                buffer.append(chunk, n);
                while (buffer.size() >= 4 && buffer.size() >= 4 + qFromBigEndian<quint32>(buffer.constData())) {
                    const qsizetype length = 4 + qFromBigEndian<quint32>(buffer.constData());
                    const auto request = MessageFraming::decodePayload(buffer.mid(4, length - 4));
                    buffer.remove(0, length);
                    if (request)
                        send(fd, m_handler(*request));
                }
            }
            ::close(fd);
        }
    }
    static void send(int fd, const QJsonObject &message)
    {
        const QByteArray frame = MessageFraming::encode(message);
        [[maybe_unused]] ssize_t n = ::send(fd, frame.constData(), size_t(frame.size()), MSG_NOSIGNAL);
    }

    Handler m_handler;
    QTemporaryDir m_dir;
    QString m_path;
    int m_listenFd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

QJsonObject flow(const QString &protocol, int sourcePort, const QString &destination, int port, const QString &host,
                 const QString &process, const QString &route, qint64 up, qint64 down, qint64 ageMs)
{
    return QJsonObject{{"protocol", protocol},   {"source", "10.6.7.1"}, {"source-port", sourcePort},
                       {"destination", destination}, {"destination-port", port}, {"host", host},
                       {"process", process},     {"route", route},       {"bytes-up", up},
                       {"bytes-down", down},     {"age-ms", ageMs}};
}

const QString kLongPath = "/opt/a/rather/long/installation/folder/of/some/vendor/bin/resolver-helper";

QJsonObject threeFlows()
{
    return QJsonObject{
        {"success", true},
        {"total", 3},
        {"connections",
         QJsonArray{flow("udp", 53000, "10.6.7.2", 53, "", kLongPath, "direct", 40, 120, 900),
                    flow("tcp", 40000, "93.184.216.34", 443, "example.com", "/usr/bin/firefox", "proxy", 1536,
                         2097152, 65000),
                    flow("tcp", 40002, "192.0.2.7", 80, "", "", "direct", 2000, 0, 4000000)}}};
}

TEST(KestctlConnectionsTest, TableIsSortedByBytesAndFitsTheWidth)
{
    FakeDaemon fake([](const QJsonObject &request) {
        return request.value("action") == "tun-connections" ? threeFlows() : QJsonObject{{"status", "success"}};
    });
    const KestctlRun wide = runKestctl({"--socket", fake.socketPath(), "connections"});
    ASSERT_EQ(wide.exitCode, 0) << wide.err.toStdString();
    const QStringList lines = wide.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << wide.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("PROTO  SOURCE")) << lines[0].toStdString();
    for (const char *column : {"DESTINATION", "HOST", "PROCESS", "ROUTE", "UP", "DOWN", "AGE"})
        EXPECT_TRUE(lines[0].contains(column)) << column;
    // Most bytes first: 2 MiB, then 2000 B, then 160 B.
    EXPECT_TRUE(lines[1].contains("93.184.216.34:443") && lines[1].contains("example.com")
                && lines[1].contains("/usr/bin/firefox") && lines[1].contains("proxy")
                && lines[1].contains("1.5 KiB") && lines[1].contains("2.0 MiB") && lines[1].contains("1m05s"))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].contains("192.0.2.7:80") && lines[2].contains("1h06m")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith("udp    10.6.7.1:53000  10.6.7.2:53")) << lines[3].toStdString();
    EXPECT_TRUE(lines[3].contains(kLongPath)) << "nothing is cut without a width";

    const KestctlRun narrow = runKestctl({"--socket", fake.socketPath(), "connections"}, {"COLUMNS=110"});
    ASSERT_EQ(narrow.exitCode, 0);
    const QStringList cut = narrow.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(cut.size(), 4);
    for (const QString &line : cut)
        EXPECT_LE(line.size(), 110) << line.toStdString();
    EXPECT_TRUE(cut[3].contains(QStringLiteral("\u2026r/bin/resolver-helper  direct"))) << "a path keeps its end";
    EXPECT_TRUE(cut[1].contains("93.184.216.34:443  example.com  /usr/bin/firefox")) << "short cells stay whole";

    const KestctlRun tight = runKestctl({"--socket", fake.socketPath(), "connections"}, {"COLUMNS=80"});
    for (const QString &line : tight.out.split('\n', Qt::SkipEmptyParts))
        EXPECT_LE(line.size(), 80) << line.toStdString();
    EXPECT_FALSE(tight.out.contains("SOURCE")) << "a column is left out where cutting is not enough";

    const KestctlRun json = runKestctl({"--socket", fake.socketPath(), "connections", "--json"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(parseObject(json.out), threeFlows());
}

TEST(KestctlConnectionsTest, FailureReplyExitsOneWithTheErrorOnStderr)
{
    const QJsonObject notRunning{{"success", false}, {"error", "TUN not running"}};
    FakeDaemon fake([&](const QJsonObject &) { return notRunning; });
    const KestctlRun r = runKestctl({"--socket", fake.socketPath(), "connections"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    EXPECT_EQ(r.err, "kestctl: TUN not running\n");
    const KestctlRun json = runKestctl({"--socket", fake.socketPath(), "--json", "connections"});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(parseObject(json.out), notRunning);
}

TEST(KestctlConnectionsTest, WatchRedrawsWithFreshCountsUntilInterrupted)
{
    std::atomic<int> served{0};
    FakeDaemon fake([&](const QJsonObject &request) {
        if (request.value("action") != "tun-connections")
            return QJsonObject{{"status", "success"}};
        const int n = ++served;
        return QJsonObject{{"success", true},
                           {"connections", QJsonArray{flow("tcp", 40000, "192.0.2.9", 443, "kest.test", "/usr/bin/curl",
                                                           "proxy", 1024 * n, 0, 1000 * n)}}};
    });
    QProcess watch;
    watch.start(KESTCTL_BINARY, {"--socket", fake.socketPath(), "connections", "--watch"});
    QString out;
    QElapsedTimer t;
    t.start();
    while (!out.contains("2.0 KiB") && t.elapsed() < 10000) {
        watch.waitForReadyRead(500);
        out += QString::fromUtf8(watch.readAllStandardOutput());
    }
    ::kill(pid_t(watch.processId()), SIGINT);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_EQ(watch.exitCode(), 0);
    EXPECT_TRUE(out.contains("1.0 KiB") && out.contains("2.0 KiB")) << out.toStdString();
    EXPECT_GE(out.count("1 connection, "), 2) << "one titled frame per redraw";
    EXPECT_FALSE(out.contains('\x1b')) << "no terminal control sequences into a pipe";
}

TEST(KestctlStatusTest, TotalsOfARunningTunAreShown)
{
    const QJsonObject tun{{"running", true},     {"adapter-name", "kest-tun"}, {"bytes-up", 1536},
                          {"bytes-down", 3 << 20}, {"tcp-relays", 4},          {"udp-sessions", 2},
                          {"dns-answered", 17},
                          {"dropped", QJsonObject{{"malformed", 1}, {"not-ready", 0}, {"no-tcp-session", 5}}}};
    FakeDaemon fake([&](const QJsonObject &) { return tun; });
    const KestctlRun r = runKestctl({"--socket", fake.socketPath(), "status"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "daemon:    kestd 2.1.0\n"
                     "privilege: elevated\n"
                     "tun:       on\n"
                     "adapter:   kest-tun\n"
                     "traffic:   1.5 KiB up, 3.0 MiB down\n"
                     "flows:     4 TCP relays, 2 UDP sessions\n"
                     "dns:       17 answered\n"
                     "dropped:   6 (no-tcp-session 5, malformed 1)\n");
}

class KestctlDaemonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_daemon.start());
        ASSERT_TRUE(m_client.connectTo(m_daemon.socketPath())) << m_client.lastError().toStdString();
        const auto greeting = m_client.waitEvent("connected", 3000);
        ASSERT_TRUE(greeting.has_value());
        m_greeting = *greeting;
    }
    KestctlRun run(QStringList args)
    {
        args.prepend(m_daemon.socketPath());
        args.prepend("--socket");
        return runKestctl(args);
    }
    QJsonObject ask(const QJsonObject &request)
    {
        return m_client.request(request).value_or(QJsonObject{});
    }

    DaemonHarness m_daemon;
    KestClient m_client;
    QJsonObject m_greeting;
};

TEST_F(KestctlDaemonTest, StatusShowsTheDaemonAndTunModeAndJsonHoldsItsReplies)
{
    const KestctlRun r = run({"status"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString privilege = ::geteuid() == 0 ? "elevated" : "not elevated";
    EXPECT_EQ(r.out, "daemon:    kestd 2.1.0\nprivilege: " + privilege + "\ntun:       off\n");

    const KestctlRun json = run({"status", "--json"});
    EXPECT_EQ(json.exitCode, 0);
    const QJsonObject doc = parseObject(json.out);
    EXPECT_EQ(doc.value("connected").toObject(), m_greeting);
    EXPECT_EQ(doc.value("tun-status").toObject(), ask({{"action", "tun-status"}}));

    // With arguments "status" is the daemon's own action.
    const KestctlRun action = run({"status", "process-id=none"});
    EXPECT_EQ(action.exitCode, 1);
    EXPECT_EQ(parseObject(action.out).value("error").toString(), "Process not found: none");
    EXPECT_EQ(action.err, "kestctl: Process not found: none\n");
}

TEST_F(KestctlDaemonTest, PsListsManagedProcessesByIdAndJsonIsTheListReply)
{
    for (const char *id : {"b-sleeper", "a-sleeper"})
        ASSERT_EQ(ask({{"action", "start"}, {"process-id", id}, {"executable", "/bin/sleep"}, {"arguments", QJsonArray{"30"}}})
                      .value("status")
                      .toString(),
                  "started");
    const qint64 pidA = ask({{"action", "status"}, {"process-id", "a-sleeper"}}).value("pid").toInteger();

    const KestctlRun r = run({"ps"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << r.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("ID") && lines[0].contains("PID") && lines[0].endsWith("STATE"));
    EXPECT_EQ(lines[1].simplified(), QStringLiteral("a-sleeper %1 running").arg(pidA));
    EXPECT_TRUE(lines[2].startsWith("b-sleeper"));

    const KestctlRun json = run({"--json", "ps"});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(parseObject(json.out), ask({{"action", "list"}}));
}

TEST_F(KestctlDaemonTest, ExplorerPrintsProcessesWithoutIconsAndLeavesTheExplorerAsFound)
{
    const KestctlRun r = run({"explorer"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_GT(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains("PID") && lines[0].contains("NAME") && lines[0].endsWith("PATH"));
    const QString daemonRow = QStringLiteral("%1 ").arg(m_daemon.pid());
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const QString &l) {
        return l.trimmed().startsWith(daemonRow) && l.endsWith("/kestd");
    })) << r.out.toStdString();

    const QJsonObject state = ask({{"action", "process-explorer-status"}});
    EXPECT_FALSE(state.value("running").toBool()) << "the explorer it started is stopped again";
    EXPECT_TRUE(state.value("include_icons").toBool()) << "the icon setting is put back";

    const KestctlRun json = run({"explorer", "--json"});
    const QJsonObject list = parseObject(json.out);
    EXPECT_EQ(list.value("event").toString(), "process-list");
    EXPECT_GT(list.value("count").toInt(), 0);
    EXPECT_FALSE(json.out.contains("\"icon\""));
}

TEST(KestctlUsageTest, UsageErrorsExitTwoAndUnreachableDaemonExitsOne)
{
    for (const QStringList &args : {QStringList{}, QStringList{"ps", "extra"}, QStringList{"ps", "--watch"},
                                    QStringList{"--bogus"}, QStringList{"--timeout", "soon", "ps"},
                                    QStringList{"--json", "{\"action\":\"list\"}", "ps"}}) {
        const KestctlRun r = runKestctl(QStringList{"--socket", "/nonexistent/kestd-1"} + args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.startsWith("kestctl: ")) << r.err.toStdString();
    }
    const KestctlRun unreachable = runKestctl({"--socket", "/nonexistent/kestd-1", "status"});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_TRUE(unreachable.err.contains("/nonexistent/kestd-1")) << unreachable.err.toStdString();
}

} // namespace
