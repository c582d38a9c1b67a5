// Where the sessions of processes can be told (logind), a client that is not
// root and whose process is outside the session of the socket it connected to
// is refused everything but "heartbeat", and its departure cleans nothing up
// in that session. logind does not run in the test machines: the daemon runs
// in this process with a session source of the test's own.

#include "daemon/KestDaemon.h"
#include "ipc/SessionSource.h"
#include "tests/support/QtTestSupport.h"
#include "tests/support/UserClient.h"

#include <QDir>
#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every process is in the session the test names.
class FixedSessions : public SessionSource
{
public:
    std::optional<quint32> sessionOfProcess(qint64) const override { return session.load(); }
    bool tellsProcessSessions() const override { return true; }
    std::atomic<quint32> session{1};
};

QMutex s_logMutex;
QStringList s_log;

void collectLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&s_logMutex);
    s_log << message;
}

bool logged(const QString &text)
{
    QMutexLocker lock(&s_logMutex);
    for (const QString &line : std::as_const(s_log))
        if (line.contains(text))
            return true;
    return false;
}

class SessionMembership : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to connect as another user";
        QtTestSupport::application();
        ASSERT_TRUE(m_dir.isValid());
        QDir(m_dir.path()).mkpath("run");
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
        qputenv("RUNTIME_DIRECTORY", QFile::encodeName(m_dir.path() + "/run"));
        qputenv("KESTD_SESSIONS", "1");
        SessionSource::setInstance(&m_sessions);
        {
            QMutexLocker lock(&s_logMutex);
            s_log.clear();
        }
        m_previousHandler = qInstallMessageHandler(collectLog);
        m_daemon = std::make_unique<KestDaemon>();
        ASSERT_TRUE(m_daemon->start());
    }

    void TearDown() override
    {
        if (m_daemon)
            m_daemon->stop();
        m_daemon.reset();
        QtTestSupport::spinUntil([] { return false; }, 50);
        qInstallMessageHandler(m_previousHandler);
        SessionSource::setInstance(nullptr);
        qunsetenv("KESTD_SESSIONS");
        qunsetenv("RUNTIME_DIRECTORY");
    }

    // Runs blocking client work on a thread while the daemon's loop runs here.
    void asClient(const std::function<void()> &work)
    {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            work();
            done = true;
        });
        QtTestSupport::spinUntil([&] { return done.load(); }, 20000);
        worker.join();
    }

    QString socketPath() const { return m_dir.path() + "/run/kestd-1"; }

    QTemporaryDir m_dir;
    FixedSessions m_sessions;
    QtMessageHandler m_previousHandler = nullptr;
    std::unique_ptr<KestDaemon> m_daemon;
};

TEST_F(SessionMembership, ClientOutsideItsSocketsSessionGetsOnlyHeartbeats)
{
    m_sessions.session = 2;
    std::optional<QJsonObject> rootList;
    asClient([&] {
        // Root is not held to its session.
        KestClient root;
        if (root.connectTo(socketPath()) && root.waitEvent("connected", 3000))
            rootList = root.request(QJsonObject{{"action", "list"}});
    });
    ASSERT_TRUE(rootList.has_value());
    EXPECT_EQ(rootList->value("status").toString(), "success");
    ASSERT_TRUE(QtTestSupport::spinUntil([] { return logged("Checking for stale processes in session 1"); }, 5000));
    {
        QMutexLocker lock(&s_logMutex);
        s_log.clear();
    }

    std::optional<QJsonObject> list, heartbeat, startTun;
    bool connected = false;
    asClient([&] {
        UserClient foreign;
        connected = foreign.connectTo(socketPath());
        list = foreign->request(QJsonObject{{"action", "list"}});
        startTun = foreign->request(QJsonObject{{"action", "start-tun"}});
        heartbeat = foreign->request(QJsonObject{{"action", "heartbeat"}});
    });
    ASSERT_TRUE(connected);
    ASSERT_TRUE(list && startTun && heartbeat);
    EXPECT_EQ(list->value("error").toString(), "Client does not belong to this session");
    EXPECT_EQ(startTun->value("success"), QJsonValue(false));
    EXPECT_EQ(startTun->value("error").toString(), "Client does not belong to this session");
    EXPECT_EQ(heartbeat->value("status").toString(), "success");

    EXPECT_TRUE(QtTestSupport::spinUntil([] { return logged("- no clean-up there"); }, 5000));
    EXPECT_FALSE(logged("Checking for stale processes in session 1"));
}

TEST_F(SessionMembership, ClientInItsSocketsSessionIsServedAndCleanedUpAfter)
{
    std::optional<QJsonObject> list;
    asClient([&] {
        UserClient member;
        if (member.connectTo(socketPath()))
            list = member->request(QJsonObject{{"action", "list"}});
        // Its departure's clean-up looks at session 1, where no process is now.
        m_sessions.session = 2;
    });
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->value("status").toString(), "success");
    EXPECT_TRUE(QtTestSupport::spinUntil([] { return logged("Checking for stale processes in session 1"); }, 5000));
}

} // namespace
