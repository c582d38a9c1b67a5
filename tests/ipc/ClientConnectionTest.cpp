// A client connection over a real local socket: framing on the wire, ids,
// the over-long frame guard, and the end of the connection.

#include "ipc/ClientConnection.h"
#include "tests/support/QtTestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <unistd.h>

namespace {

using QtTestSupport::spinUntil;

QCoreApplication *app()
{
    return QtTestSupport::application();
}

class ClientConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app();
        ASSERT_TRUE(m_server.listen(m_dir.filePath("s")));
    }

    // A connected pair: our client socket and the daemon-side connection.
    std::unique_ptr<ClientConnection> accept(QLocalSocket &client)
    {
        client.connectToServer(m_server.serverName().isEmpty() ? m_dir.filePath("s") : m_server.fullServerName());
        EXPECT_TRUE(client.waitForConnected(2000));
        EXPECT_TRUE(spinUntil([&] { return m_server.hasPendingConnections(); }));
        auto connection = std::make_unique<ClientConnection>();
        connection->attachSocket(m_server.nextPendingConnection());
        QObject::connect(connection.get(), &ClientConnection::messageReceived,
                         [this](const QString &, const QJsonObject &m) { m_received << m; });
        QObject::connect(connection.get(), &ClientConnection::clientDisconnected,
                         [this](const QString &) { ++m_disconnects; });
        return connection;
    }

    QTemporaryDir m_dir;
    QLocalServer m_server;
    QList<QJsonObject> m_received;
    int m_disconnects = 0;
};

TEST_F(ClientConnectionTest, MessagesWrittenInPiecesArriveWholeAndInOrder)
{
    QLocalSocket client;
    auto connection = accept(client);
    const QByteArray two = MessageFraming::encode({{"n", 1}}) + MessageFraming::encode({{"n", 2}});
    for (char c : two) {
        client.write(&c, 1);
        client.flush();
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(spinUntil([&] { return m_received.size() == 2; }));
    EXPECT_EQ(m_received[0].value("n").toInt(), 1);
    EXPECT_EQ(m_received[1].value("n").toInt(), 2);
}

TEST_F(ClientConnectionTest, RepliesAreFramedCompactJson)
{
    QLocalSocket client;
    auto connection = accept(client);
    connection->sendMessage({{"status", "success"}});
    ASSERT_TRUE(spinUntil([&] { return client.bytesAvailable() >= 24; }));
    EXPECT_EQ(client.readAll(), QByteArray::fromHex("00000014") + "{\"status\":\"success\"}");
}

TEST_F(ClientConnectionTest, ArrayPayloadIsDroppedAndConnectionStays)
{
    QLocalSocket client;
    auto connection = accept(client);
    QByteArray array = "[1]";
    client.write(QByteArray::fromHex("00000003") + array + MessageFraming::encode({{"after", true}}));
    client.flush();
    ASSERT_TRUE(spinUntil([&] { return m_received.size() == 1; }));
    EXPECT_TRUE(m_received[0].value("after").toBool());
    EXPECT_EQ(m_disconnects, 0);
}

TEST_F(ClientConnectionTest, OverLongDeclaredFrameClosesOnlyThatConnection)
{
    QLocalSocket bad, good;
    auto badConnection = accept(bad);
    auto goodConnection = accept(good);
    EXPECT_NE(badConnection->clientId(), goodConnection->clientId());
    bad.write(QByteArray::fromHex("7fffffff") + "xxxx");
    bad.flush();
    ASSERT_TRUE(spinUntil([&] { return bad.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_GE(m_disconnects, 1);
    good.write(MessageFraming::encode({{"still", "here"}}));
    good.flush();
    ASSERT_TRUE(spinUntil([&] { return !m_received.isEmpty(); }));
    EXPECT_EQ(m_received[0].value("still").toString(), "here");
}

TEST_F(ClientConnectionTest, ClientIdIsLowerCaseHexAndPeerCredentialsAreKnown)
{
    QLocalSocket client;
    auto connection = accept(client);
    const QString id = connection->clientId();
    EXPECT_TRUE(!id.isEmpty() && id.size() <= 16);
    EXPECT_EQ(id, id.toLower());
    bool ok = false;
    id.toULongLong(&ok, 16);
    EXPECT_TRUE(ok);
    EXPECT_EQ(connection->peerPid(), QCoreApplication::applicationPid());
    EXPECT_EQ(connection->peerUid(), qint64(::geteuid()));
}

TEST_F(ClientConnectionTest, ClosingTheClientReportsDisconnection)
{
    QLocalSocket client;
    auto connection = accept(client);
    client.disconnectFromServer();
    ASSERT_TRUE(spinUntil([&] { return m_disconnects >= 1; }));
}

} // namespace
