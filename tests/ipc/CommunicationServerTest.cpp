// The communication server in process: sessions coming and going, exactly one
// disconnection report, counts seen by handlers, and the broadcast backlog guard.

#include "ipc/ClientConnection.h"
#include "ipc/CommunicationServer.h"
#include "ipc/SessionSource.h"
#include "tests/support/QtTestSupport.h"
#include "tools/KestClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

using QtTestSupport::spinUntil;

QCoreApplication *app()
{
    return QtTestSupport::application();
}

class FakeSessions : public SessionSource
{
public:
    std::optional<QList<quint32>> activeSessions() const override { return sessions; }
    std::optional<QList<quint32>> sessions = QList<quint32>{1};
};

class CommunicationServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app();
        qputenv("RUNTIME_DIRECTORY", m_dir.path().toLocal8Bit());
        SessionSource::setInstance(&m_sessions);
        ASSERT_TRUE(m_server.start("kestd"));
        QObject::connect(&m_server, &CommunicationServer::clientConnected,
                         [this](const QString &id) { m_connected << id; });
        QObject::connect(&m_server, &CommunicationServer::clientDisconnected,
                         [this](const QString &id, unsigned session) {
                             m_disconnected << id;
                             m_disconnectedSessions << session;
                             m_countSeenByHandler = m_server.clientCount();
                         });
    }
    void TearDown() override
    {
        m_server.stop();
        SessionSource::setInstance(nullptr);
        qunsetenv("RUNTIME_DIRECTORY");
    }

    QTemporaryDir m_dir;
    FakeSessions m_sessions;
    CommunicationServer m_server;
    QStringList m_connected, m_disconnected;
    QList<unsigned> m_disconnectedSessions;
    int m_countSeenByHandler = -1;
};

TEST_F(CommunicationServerTest, ClosingAClientReportsExactlyOnceWithItsSession)
{
    m_sessions.sessions = QList<quint32>{1, 2};
    m_server.pollSessions();
    KestClient a, b;
    ASSERT_TRUE(a.connectTo(m_dir.path() + "/kestd-2"));
    ASSERT_TRUE(b.connectTo(m_dir.path() + "/kestd-1"));
    ASSERT_TRUE(spinUntil([&] { return m_server.clientCount() == 2; }));
    a.close();
    ASSERT_TRUE(spinUntil([&] { return !m_disconnected.isEmpty(); }));
    spinUntil([] { return false; }, 200);
    EXPECT_EQ(m_disconnected.size(), 1);
    EXPECT_EQ(m_disconnectedSessions.value(0), 2u);
    EXPECT_EQ(m_countSeenByHandler, 1) << "the departed client is no longer counted";
}

TEST_F(CommunicationServerTest, SessionThatEndsLosesItsSocketAndComesBackWhenActiveAgain)
{
    m_sessions.sessions = QList<quint32>{1, 3};
    m_server.pollSessions();
    EXPECT_TRUE(QFileInfo::exists(m_dir.path() + "/kestd-3"));
    m_sessions.sessions = QList<quint32>{1};
    m_server.pollSessions();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(QFileInfo::exists(m_dir.path() + "/kestd-3"));
    EXPECT_TRUE(QFileInfo::exists(m_dir.path() + "/kestd-1"));
    m_sessions.sessions = std::nullopt; // enumeration failure: every socket goes
    m_server.pollSessions();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(m_server.servedSessions().isEmpty());
    m_sessions.sessions = QList<quint32>{1};
    m_server.pollSessions();
    EXPECT_TRUE(QFileInfo::exists(m_dir.path() + "/kestd-1"));
}

TEST_F(CommunicationServerTest, UnknownIdsAreIgnoredBySendAndHeartbeat)
{
    m_server.sendToClient("nobody", QJsonObject{{"x", 1}});
    m_server.updateHeartbeat("nobody");
    EXPECT_EQ(m_server.clientCount(), 0);
}

TEST_F(CommunicationServerTest, ClientThatStopsReadingMissesBroadcastsButOthersGetThem)
{
    KestClient stuck, reader;
    ASSERT_TRUE(stuck.connectTo(m_dir.path() + "/kestd-1"));
    ASSERT_TRUE(reader.connectTo(m_dir.path() + "/kestd-1"));
    ASSERT_TRUE(spinUntil([&] { return m_server.clientCount() == 2; }));
    const QJsonObject big{{"event", "process-list"}, {"pad", QString(1 << 20, 'x')}};
    std::atomic<int> received{0};
    std::thread readerThread([&] {
        while (received < 100 && reader.read(5000))
            ++received;
    });
    for (int i = 0; i < 100; ++i) {
        m_server.broadcast(big);
        // Let the reader's bytes drain, as a live event loop would.
        spinUntil([&] { return received > i - 3; }, 2000);
    }
    spinUntil([&] { return received == 100; }, 5000);
    readerThread.join();
    EXPECT_EQ(received, 100);
    qint64 stuckBacklog = -1;
    for (ClientConnection *c : m_server.findChildren<ClientConnection *>())
        stuckBacklog = std::max(stuckBacklog, c->pendingBytes());
    EXPECT_LE(stuckBacklog, CommunicationServer::kMaxBroadcastBacklog + (2 << 20));
}

} // namespace
