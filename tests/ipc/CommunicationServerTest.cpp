// The communication server in process: sessions coming and going, exactly one
// disconnection report, counts seen by handlers, and the broadcast backlog guard.

#include "ipc/ClientBudget.h"
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
#include <memory>
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

namespace {

TEST_F(CommunicationServerTest, AUsersConnectionsBeyondItsShareAreClosedAtOnce)
{
    std::vector<std::unique_ptr<KestClient>> clients;
    for (int i = 0; i < ClientBudget::kMaxConnectionsPerUser; ++i) {
        clients.push_back(std::make_unique<KestClient>());
        ASSERT_TRUE(clients.back()->connectTo(m_dir.path() + "/kestd-1"));
        ASSERT_TRUE(spinUntil([&] { return m_server.clientCount() == i + 1; }));
    }
    KestClient extra;
    ASSERT_TRUE(extra.connectTo(m_dir.path() + "/kestd-1"));
    ASSERT_TRUE(spinUntil([&] { return extra.waitClosed(0); }));
    EXPECT_EQ(m_server.clientCount(), ClientBudget::kMaxConnectionsPerUser);
    EXPECT_EQ(m_connected.size(), ClientBudget::kMaxConnectionsPerUser) << "the refused one was reported";
    // A connection that ends makes room for a new one.
    clients.front()->close();
    ASSERT_TRUE(spinUntil([&] { return m_disconnected.size() == 1; }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    KestClient later;
    ASSERT_TRUE(later.connectTo(m_dir.path() + "/kestd-1"));
    EXPECT_TRUE(spinUntil([&] { return m_connected.size() == ClientBudget::kMaxConnectionsPerUser + 1; }));
}

TEST_F(CommunicationServerTest, ClientThatTakesNothingIsDisconnectedAndOthersStillServed)
{
    KestClient stuck, reader;
    ASSERT_TRUE(stuck.connectTo(m_dir.path() + "/kestd-1"));
    ASSERT_TRUE(spinUntil([&] { return m_connected.size() == 1; }));
    ASSERT_TRUE(reader.connectTo(m_dir.path() + "/kestd-1"));
    ASSERT_TRUE(spinUntil([&] { return m_connected.size() == 2; }));
    const QJsonObject reply{{"status", "success"}, {"pad", QString(1 << 20, 'x')}};
    // Replies, unlike broadcasts, are never skipped: they pile up to the limit.
    for (int i = 0; i < 70 && m_disconnected.isEmpty(); ++i) {
        m_server.sendToClient(m_connected[0], reply);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(spinUntil([&] { return !m_disconnected.isEmpty(); }));
    EXPECT_EQ(m_disconnected, QStringList{m_connected[0]});
    m_server.sendToClient(m_connected[1], QJsonObject{{"still", "served"}});
    std::optional<QJsonObject> got;
    std::thread readerThread([&] { got = reader.read(3000); });
    spinUntil([&] { return false; }, 300);
    readerThread.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->value("still").toString(), "served");
}

TEST_F(CommunicationServerTest, UsersClientsTogetherOverTheirShareLoseTheLargestBacklog)
{
    KestClient a, b, c;
    for (KestClient *client : {&a, &b, &c}) {
        ASSERT_TRUE(client->connectTo(m_dir.path() + "/kestd-1"));
        ASSERT_TRUE(spinUntil([&] { return m_connected.size() == (client == &a ? 1 : client == &b ? 2 : 3); }));
    }
    const QJsonObject mebibyte{{"pad", QString(1 << 20, 'x')}};
    const auto send = [&](int client, int mebibytes) {
        for (int i = 0; i < mebibytes && m_disconnected.isEmpty(); ++i)
            m_server.sendToClient(m_connected[client], mebibyte);
    };
    // Each stays under the per-client limit; together they pass the user's share.
    send(0, 60);
    send(1, 50);
    send(2, 40);
    ASSERT_TRUE(spinUntil([&] { return !m_disconnected.isEmpty(); }));
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(m_disconnected, QStringList{m_connected[0]});
}

TEST(CommunicationServerHeartbeats, AStallOfTheEventLoopIsNotCountedAgainstClients)
{
    app();
    QTemporaryDir dir;
    qputenv("RUNTIME_DIRECTORY", dir.path().toLocal8Bit());
    FakeSessions sessions;
    SessionSource::setInstance(&sessions);
    qint64 now = 0;
    CommunicationServer server(nullptr, [&] { return now; });
    ASSERT_TRUE(server.start("kestd"));
    QStringList connected, timedOut;
    QObject::connect(&server, &CommunicationServer::clientConnected, [&](const QString &id) { connected << id; });
    QObject::connect(&server, &CommunicationServer::clientTimedOut,
                     [&](const QString &id, unsigned) { timedOut << id; });
    KestClient beating, silent;
    ASSERT_TRUE(beating.connectTo(dir.path() + "/kestd-1"));
    ASSERT_TRUE(spinUntil([&] { return connected.size() == 1; }));
    ASSERT_TRUE(silent.connectTo(dir.path() + "/kestd-1"));
    ASSERT_TRUE(spinUntil([&] { return connected.size() == 2; }));

    now = 4500;
    server.updateHeartbeat(connected[0]);
    now = 17000; // the check due at 5000 runs 12 s late: the loop was stalled
    server.checkHeartbeats();
    EXPECT_TRUE(timedOut.isEmpty()) << "the daemon's own stall was held against its clients";
    now = 17500; // the heartbeat that waited in the socket meanwhile
    server.updateHeartbeat(connected[0]);
    now = 22000;
    server.checkHeartbeats();
    EXPECT_TRUE(timedOut.isEmpty()) << "silent for exactly 10000 ms of running time";
    now = 27000;
    server.checkHeartbeats();
    EXPECT_EQ(timedOut, QStringList{connected[1]});

    server.stop();
    SessionSource::setInstance(nullptr);
    qunsetenv("RUNTIME_DIRECTORY");
}

} // namespace
