// What a client that is not root may do through the daemon, which runs as
// root: its processes run as the client's user, other users' processes are not
// there for it, and what changes the whole machine needs polkit's consent. The
// real daemon runs in a network namespace of the test's own, so that a change
// it should not have made would not reach the machine; the clients connect as
// user nobody through a helper process.

#include "tests/support/DaemonHarness.h"
#include "tests/support/GreetedClient.h"
#include "tests/support/NetnsFixture.h"
#include "tests/support/PrivatePolkit.h"
#include "tests/support/UserClient.h"
#include "tools/KestClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kAdapter = "kt-rights";
// The capability sets of a child with CAP_NET_BIND_SERVICE, CAP_NET_ADMIN and CAP_NET_RAW.
constexpr const char *kNetworkCapabilities = "0000000000003400";
constexpr const char *kNoCapabilities = "0000000000000000";

QJsonObject startRequest(const QString &id, const QString &script, const QJsonObject &extra = {})
{
    QJsonObject request{{"action", "start"},
                        {"process-id", id},
                        {"executable", "/bin/sh"},
                        {"arguments", QJsonArray{"-c", script}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        request.insert(it.key(), it.value());
    return request;
}

// The "stdout" data of a process until its "finished" event, or only its
// first line.
QString outputOf(KestClient &client, const QString &id, bool firstLineOnly = false, int timeoutMs = 10000)
{
    QString output;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs && !(firstLineOnly && output.contains('\n'))) {
        const auto event = client.nextEvent(int(timeoutMs - clock.elapsed()));
        if (!event)
            break;
        if (event->value("process-id").toString() != id)
            continue;
        if (event->value("event").toString() == "stdout")
            output += event->value("data").toString();
        if (event->value("event").toString() == "finished" && !firstLineOnly)
            return output;
    }
    return firstLineOnly ? output.section('\n', 0, 0) : output + "<no finished event>";
}

QString status(const std::optional<QJsonObject> &reply)
{
    return reply ? reply->value("status").toString() : QStringLiteral("<no reply>");
}

QString error(const std::optional<QJsonObject> &reply)
{
    return reply ? reply->value("error").toString() : QStringLiteral("<no reply>");
}

bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

bool waitGone(qint64 pid, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!processGone(pid)) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

class ClientRights : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to run the daemon and to act as another user";
        m_net = std::make_unique<NetnsFixture>("kr");
        ASSERT_TRUE(m_net->ok()) << m_net->error();
    }

    // The daemon in the test's namespace; no system bus unless one is given.
    void startDaemon(const QString &systemBus = QString())
    {
        DaemonHarness::Options options;
        const QString bus = systemBus.isEmpty() ? "unix:path=/nonexistent/kestd-test-bus" : systemBus;
        options.environment << "DBUS_SYSTEM_BUS_ADDRESS=" + bus << "KESTD_RESOLVED_BUS=" + bus;
        // The TUN mode's resolver file: a copy of the test's own, never the host's.
        const QString resolvConf = m_resolverDir.filePath("resolv.conf");
        QFile file(resolvConf);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write("nameserver 192.0.2.53\n");
        options.environment << "KESTD_RESOLV_CONF=" + resolvConf;
        options.networkNamespace = m_net->a();
        options.openToEveryUser = true;
        m_daemon = std::make_unique<DaemonHarness>(options);
        ASSERT_TRUE(m_daemon->start()) << m_daemon->stderrText().toStdString();
    }

    std::unique_ptr<UserClient> connectUser(uid_t uid = UserClient::kNobody, gid_t gid = UserClient::kNogroup)
    {
        auto user = std::make_unique<UserClient>(uid, gid);
        EXPECT_TRUE(user->connectTo(m_daemon->socketPath())) << "cannot connect as uid " << uid;
        return user;
    }

    // A directory of the client's own, for the log path of its client-hello.
    QString userDirectory()
    {
        const QString directory = m_daemon->rootDir() + "/nobody";
        QDir().mkpath(directory);
        EXPECT_EQ(::chown(QFile::encodeName(directory).constData(), UserClient::kNobody, UserClient::kNogroup), 0);
        return directory;
    }

    std::string namespaceLinks() { return m_net->run(m_net->a(), "ip -o link show").output; }
    std::string namespaceRoutes() { return m_net->run(m_net->a(), "ip route show table all").output; }

    QJsonObject startTunRequest() const
    {
        return QJsonObject{{"action", "start-tun"},
                           {"adapter-name", kAdapter},
                           {"proxy-ip", QString::fromStdString(NetnsFixture::hostOf(m_net->options().addressB))},
                           {"proxy-port", 1080},
                           {"direct-port", 1081}};
    }

    std::unique_ptr<NetnsFixture> m_net;
    QTemporaryDir m_resolverDir;
    std::unique_ptr<DaemonHarness> m_daemon;
};

TEST_F(ClientRights, ChildRunsAsItsClientsUserWithThatUsersEnvironment)
{
    startDaemon();
    const passwd *nobody = ::getpwuid(UserClient::kNobody);
    ASSERT_NE(nobody, nullptr);
    auto user = connectUser();
    const QString script = "id -u; id -g; id -G; echo \"$FOO|$USER|$LOGNAME|$HOME|$SHELL|${NOTIFY_SOCKET-none}|"
                           "${RUNTIME_DIRECTORY-none}|${NUM-none}\"; grep CapAmb /proc/self/status";
    const QJsonObject environment{{"FOO", "bar"}, {"NUM", 5}};
    ASSERT_EQ(status((*user)->request(startRequest("who", script, {{"environment", environment}}))), "started");
    EXPECT_EQ(outputOf(user->client(), "who"),
              QStringLiteral("65534\n%1\n%1\nbar|%2|%2|%3|%4|none|none|none\nCapAmb:\t%5\n")
                  .arg(nobody->pw_gid)
                  .arg(QString::fromLocal8Bit(nobody->pw_name), QString::fromLocal8Bit(nobody->pw_dir),
                       QString::fromLocal8Bit(nobody->pw_shell), QString::fromLatin1(kNoCapabilities)));

    auto root = connectGreetedClient(*m_daemon);
    ASSERT_EQ(status(root->request(startRequest("root-who", "id -u; echo \"$FOO\"", {{"environment", environment}}))),
              "started");
    EXPECT_EQ(outputOf(*root, "root-who"), "0\nbar\n");
}

TEST_F(ClientRights, WorkingDirectoryAndProgramAreReachedWithTheClientsRights)
{
    startDaemon();
    const QString locked = m_daemon->rootDir() + "/root-only";
    ASSERT_TRUE(QDir().mkpath(locked));
    ::chmod(QFile::encodeName(locked).constData(), 0700);
    ASSERT_TRUE(QFile::copy("/bin/true", locked + "/core"));
    ::chmod(QFile::encodeName(locked + "/core").constData(), 0755);

    auto user = connectUser();
    QJsonObject inLocked = startRequest("cwd", "true", {{"working-dir", locked}});
    EXPECT_EQ(error((*user)->request(inLocked)), "Failed to start process: cwd");
    QJsonObject lockedProgram{{"action", "start"}, {"process-id", "prog"}, {"executable", locked + "/core"}};
    EXPECT_EQ(error((*user)->request(lockedProgram)), "Failed to start process: prog");
    EXPECT_TRUE(m_daemon->waitForLog("changing to the working directory failed: Permission denied", 3000));
    EXPECT_TRUE(m_daemon->waitForLog("executing the program failed: Permission denied", 3000));

    auto root = connectGreetedClient(*m_daemon);
    EXPECT_EQ(status(root->request(lockedProgram)), "started") << "the paths themselves are fine";
}

TEST_F(ClientRights, AnotherUsersProcessIsNotFoundNotListedAndNotTakenOver)
{
    startDaemon();
    auto root = connectGreetedClient(*m_daemon);
    ASSERT_EQ(status(root->request(startRequest("core", "exec sleep 60"))), "started");
    auto user = connectUser();
    for (const char *action : {"stop", "kill", "restart", "status", "stdin"}) {
        const auto reply = (*user)->request(QJsonObject{{"action", action}, {"process-id", "core"}, {"data", "x\n"}});
        EXPECT_EQ(error(reply), "Process not found: core") << action;
    }
    EXPECT_EQ(error((*user)->request(startRequest("core", "true"))), "Process already exists: core");
    ASSERT_EQ(status((*user)->request(startRequest("mine", "exec sleep 60"))), "started");

    const auto ids = [](const std::optional<QJsonObject> &reply) {
        QStringList names;
        for (const QJsonValue &p : reply ? reply->value("processes").toArray() : QJsonArray())
            names << p.toObject().value("process-id").toString();
        names.sort();
        return names;
    };
    EXPECT_EQ(ids((*user)->request(QJsonObject{{"action", "list"}})), QStringList{"mine"});
    EXPECT_EQ(ids(root->request(QJsonObject{{"action", "list"}})), (QStringList{"core", "mine"})) << "root sees all";
    const auto rootStatus = root->request(QJsonObject{{"action", "status"}, {"process-id", "core"}});
    EXPECT_TRUE(rootStatus && rootStatus->value("running").toBool()) << "the other user's requests left it alone";

    // Even ended, another user's entry is not replaced by this user's start.
    ASSERT_EQ(status(root->request(QJsonObject{{"action", "kill"}, {"process-id", "core"}})), "killed");
    EXPECT_EQ(error((*user)->request(startRequest("core", "true"))), "Process already exists: core");
}

TEST_F(ClientRights, MachineWideActionsAreRefusedWithoutAPolkitAuthority)
{
    startDaemon();
    const std::string routesBefore = namespaceRoutes();
    auto user = connectUser();
    const auto started = (*user)->request(startTunRequest());
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->value("success"), QJsonValue(false));
    EXPECT_EQ(started->value("error").toString(), "Not authorized");
    const auto stopped = (*user)->request(QJsonObject{{"action", "stop-tun"}});
    EXPECT_EQ(stopped ? stopped->value("success") : QJsonValue(), QJsonValue(false));
    EXPECT_EQ(error(stopped), "Not authorized");
    for (const char *action : {"reset-connections", "flush-dns-cache"}) {
        const auto reply = (*user)->request(QJsonObject{{"action", action}});
        EXPECT_EQ(status(reply), "error") << action;
        EXPECT_EQ(error(reply), "Not authorized") << action;
    }
    EXPECT_EQ(namespaceLinks().find(kAdapter), std::string::npos) << "no TUN link may appear";
    EXPECT_EQ(namespaceRoutes(), routesBefore) << "no route may appear";

    const auto hello = (*user)->request(QJsonObject{{"action", "client-hello"},
                                                    {"log-path", userDirectory() + "/k.log"},
                                                    {"version", "99.0"}});
    EXPECT_EQ(error(hello), "Not authorized");
    const auto tunStatus = (*user)->request(QJsonObject{{"action", "tun-status"}});
    ASSERT_TRUE(tunStatus.has_value());
    EXPECT_FALSE(tunStatus->contains("error")) << "read-only actions stay open";
    EXPECT_FALSE(m_daemon->waitExit(500).has_value()) << "a newer client that is not authorized does not end it";
    EXPECT_EQ(status((*user)->request(QJsonObject{{"action", "heartbeat"}})), "success");
}

TEST_F(ClientRights, PolkitGrantsTheActionToTheUsersItsRulesName)
{
    PrivatePolkit polkit(QStringLiteral("polkit.addRule(function(action, subject) {\n"
                                        "    if (action.id == \"org.kest.daemon.manage-network\")\n"
                                        "        return subject.user == \"nobody\" ? polkit.Result.YES\n"
                                        "                                          : polkit.Result.NO;\n"
                                        "});\n"));
    if (!polkit.start())
        GTEST_SKIP() << polkit.error().toStdString();
    startDaemon(polkit.busAddress());
    auto user = connectUser();
    // uid 1 is a user that the rules refuse.
    auto other = connectUser(1, 1);

    EXPECT_EQ(error(other->client().request(QJsonObject{{"action", "flush-dns-cache"}})), "Not authorized");
    EXPECT_EQ(status((*user)->request(QJsonObject{{"action", "flush-dns-cache"}})), "success");
    EXPECT_EQ(status((*user)->request(QJsonObject{{"action", "reset-connections"}})), "success");

    const auto started = (*user)->request(startTunRequest(), 15000);
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->value("success"), QJsonValue(true)) << error(started).toStdString();
    EXPECT_NE(namespaceLinks().find(kAdapter), std::string::npos);
    const auto stopped = (*user)->request(QJsonObject{{"action", "stop-tun"}}, 15000);
    EXPECT_EQ(stopped ? stopped->value("success") : QJsonValue(), QJsonValue(true));

    // The capabilities follow the same authorization.
    const QString caps = "grep CapAmb /proc/self/status";
    ASSERT_EQ(status((*user)->request(startRequest("caps", caps))), "started");
    EXPECT_EQ(outputOf(user->client(), "caps"), QStringLiteral("CapAmb:\t%1\n").arg(kNetworkCapabilities));
    ASSERT_EQ(status(other->client().request(startRequest("caps-other", caps))), "started");
    EXPECT_EQ(outputOf(other->client(), "caps-other"), QStringLiteral("CapAmb:\t%1\n").arg(kNoCapabilities));

    const auto hello = (*user)->request(QJsonObject{{"action", "client-hello"},
                                                    {"log-path", userDirectory() + "/k.log"},
                                                    {"version", "99.0"}});
    EXPECT_EQ(status(hello), "restarting");
    EXPECT_TRUE(m_daemon->waitExit(20000).has_value()) << "an authorized newer client ends the daemon";
}

TEST_F(ClientRights, ChildThatLeftItsProcessGroupIsEndedByKillAndByTheDaemonsStop)
{
    startDaemon();
    auto user = connectUser();
    // The grandchild makes a session of its own, ignores SIGINT and prints its pid.
    const QString script = "setsid sh -c 'trap \"\" INT; echo $$; exec sleep 300' & wait";
    ASSERT_EQ(status((*user)->request(startRequest("escaper", script))), "started");
    bool numeric = false;
    const qint64 first = outputOf(user->client(), "escaper", true).toLongLong(&numeric);
    ASSERT_TRUE(numeric && first > 0);
    ASSERT_EQ(status((*user)->request(QJsonObject{{"action", "kill"}, {"process-id", "escaper"}})), "killed");
    EXPECT_TRUE(waitGone(first, 5000)) << "kill left pid " << first;
    if (!processGone(first))
        ::kill(pid_t(first), SIGKILL); // the test's own leftover

    ASSERT_EQ(status((*user)->request(startRequest("escaper", script))), "started");
    const qint64 second = outputOf(user->client(), "escaper", true).toLongLong(&numeric);
    ASSERT_TRUE(numeric && second > 0);
    ASSERT_TRUE(m_daemon->signal(SIGTERM));
    EXPECT_EQ(m_daemon->waitExit(20000), std::optional<int>(0));
    EXPECT_TRUE(waitGone(second, 5000)) << "the daemon's stop left pid " << second;
    if (!processGone(second))
        ::kill(pid_t(second), SIGKILL);
}

} // namespace
