#include "ipc/ClientConnection.h"

#include "base/DaemonLog.h"

#include <QPointer>
#include <QRandomGenerator64>

#include <sys/socket.h>

ClientConnection::ClientConnection(QObject *parent)
    : QObject(parent)
    , m_clientId(QString::number(QRandomGenerator64::global()->generate(), 16))
{
}

ClientConnection::~ClientConnection()
{
    if (m_socket && m_socket->state() != QLocalSocket::UnconnectedState)
        m_socket->disconnectFromServer();
}

void ClientConnection::attachSocket(QLocalSocket *socket)
{
    m_socket = socket;
    socket->setParent(this);
    connect(socket, &QLocalSocket::readyRead, this, &ClientConnection::onDataReady);
    connect(socket, &QLocalSocket::disconnected, this, &ClientConnection::onSocketDisconnected);
    connect(socket, &QLocalSocket::errorOccurred, this, &ClientConnection::onSocketError);
    readPeerCredentials();
}

void ClientConnection::readPeerCredentials()
{
    struct ucred cred {};
    socklen_t len = sizeof(cred);
    const int fd = int(m_socket->socketDescriptor());
    if (fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        m_peerPid = cred.pid;
        m_peerUid = cred.uid;
        m_peerGid = cred.gid;
    }
}

void ClientConnection::onDataReady()
{
    if (!m_socket || m_refused)
        return;
    m_framing.append(m_socket->readAll());
    // A handler may end this connection (deferred deletion keeps us alive,
    // but the socket may be gone), so re-check between frames.
    QPointer<QLocalSocket> socket(m_socket);
    QByteArray payload;
    while (socket) {
        const auto next = m_framing.takeFrame(payload);
        if (next == MessageFraming::Next::NeedMore)
            return;
        if (next == MessageFraming::Next::TooLong) {
            qCWarning(lcKestd) << "Client" << m_clientId << "declared a frame of"
                               << m_framing.declaredLength() << "bytes (limit"
                               << MessageFraming::kMaxFrameLength << ") - closing connection";
            m_refused = true;
            socket->abort();
            emit clientDisconnected(m_clientId);
            return;
        }
        if (auto object = MessageFraming::decodePayload(payload))
            emit messageReceived(m_clientId, *object);
    }
}

void ClientConnection::sendMessage(const QJsonObject &message)
{
    if (!m_socket || m_socket->state() != QLocalSocket::ConnectedState)
        return;
    const QByteArray frame = MessageFraming::encode(message);
    if (m_socket->state() == QLocalSocket::ConnectedState)
        m_socket->write(frame);
}

void ClientConnection::onSocketDisconnected()
{
    emit clientDisconnected(m_clientId);
}

void ClientConnection::onSocketError(QLocalSocket::LocalSocketError)
{
    emit clientDisconnected(m_clientId);
}
