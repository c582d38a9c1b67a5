#include "ipc/ClientConnection.h"

#include "ipc/ClientBudget.h"
#include "base/DaemonLog.h"
#include "base/LogLimiter.h"

#include <QPointer>
#include <QRandomGenerator64>

#include <sys/socket.h>

namespace {
// Any user can open connections at will: their warnings are limited.
LogLimiter g_frameTooLongLog(20, 100);
LogLimiter g_partialOverLog(20, 100);
LogLimiter g_unsentOverLog(20, 100);
} // namespace

ClientConnection::ClientConnection(QObject *parent)
    : QObject(parent)
    , m_clientId(QString::number(QRandomGenerator64::global()->generate(), 16))
{
}

ClientConnection::~ClientConnection()
{
    if (m_socket && m_socket->state() != QLocalSocket::UnconnectedState)
        m_socket->disconnectFromServer();
    leaveBudget();
}

void ClientConnection::attachSocket(QLocalSocket *socket)
{
    m_socket = socket;
    socket->setParent(this);
    connect(socket, &QLocalSocket::readyRead, this, &ClientConnection::onDataReady);
    connect(socket, &QLocalSocket::disconnected, this, &ClientConnection::onSocketDisconnected);
    connect(socket, &QLocalSocket::errorOccurred, this, &ClientConnection::onSocketError);
    connect(socket, &QLocalSocket::bytesWritten, this, &ClientConnection::chargeUnsent);
    readPeerCredentials();
}

bool ClientConnection::joinBudget(std::shared_ptr<ClientBudget> budget)
{
    if (!budget || !budget->addConnection(m_peerUid))
        return false;
    m_budget = std::move(budget);
    return true;
}

void ClientConnection::leaveBudget()
{
    if (!m_budget)
        return;
    m_budget->changePartial(m_peerUid, -m_chargedPartial);
    m_budget->changeUnsent(m_peerUid, -m_chargedUnsent);
    m_budget->removeConnection(m_peerUid);
    m_chargedPartial = m_chargedUnsent = 0;
    m_budget.reset();
}

bool ClientConnection::chargePartial(qint64 bytes)
{
    if (m_budget && !m_budget->changePartial(m_peerUid, bytes - m_chargedPartial))
        return false;
    m_chargedPartial = bytes;
    return true;
}

void ClientConnection::chargeUnsent()
{
    const qint64 unsent = pendingBytes();
    if (m_budget)
        m_budget->changeUnsent(m_peerUid, unsent - m_chargedUnsent);
    m_chargedUnsent = unsent;
    if (m_refused)
        return;
    if (unsent > kMaxUnsentBytes) {
        if (const auto n = g_unsentOverLog.admit())
            qCWarning(lcKestd) << "Client" << m_clientId << "has not taken" << unsent << "bytes (limit"
                               << kMaxUnsentBytes << ") - disconnecting" << "(occurrence" << n << ")";
        dropForOverload();
    } else if (m_budget && m_budget->unsentOverLimit(m_peerUid)) {
        emit userUnsentOverLimit(m_peerUid);
    }
}

void ClientConnection::dropForOverload()
{
    if (m_refused)
        return;
    m_refused = true;
    // Later, not now: the sender may be walking the list of clients.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_socket)
                m_socket->abort();
            chargeUnsent();
            emit clientDisconnected(m_clientId);
        },
        Qt::QueuedConnection);
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
    const QByteArray bytes = m_socket->readAll();
    if (!chargePartial(m_framing.buffered() + bytes.size())) {
        if (const auto n = g_partialOverLog.admit())
            qCWarning(lcKestd) << "Client" << m_clientId << "of uid" << m_peerUid
                               << "would take its user's unfinished frames beyond"
                               << ClientBudget::kMaxPartialBytesPerUser << "bytes - closing connection"
                               << "(occurrence" << n << ")";
        refuse();
        return;
    }
    m_framing.append(bytes);
    deliverFrames();
}

void ClientConnection::deliverFrames()
{
    // A handler may end this connection (deferred deletion keeps us alive,
    // but the socket may be gone), so re-check between frames.
    QPointer<QLocalSocket> socket(m_socket);
    QByteArray payload;
    while (socket && !m_refused) {
        const auto next = m_framing.takeFrame(payload);
        if (next == MessageFraming::Next::NeedMore)
            break;
        if (next == MessageFraming::Next::TooLong) {
            if (const auto n = g_frameTooLongLog.admit())
                qCWarning(lcKestd) << "Client" << m_clientId << "declared a frame of"
                                   << m_framing.declaredLength() << "bytes (limit"
                                   << MessageFraming::kMaxFrameLength << ") - closing connection"
                                   << "(occurrence" << n << ")";
            refuse();
            break;
        }
        if (auto object = MessageFraming::decodeRequest(payload))
            emit messageReceived(m_clientId, *object);
    }
    // What is left is one unfinished frame.
    chargePartial(m_framing.buffered());
}

void ClientConnection::refuse()
{
    m_refused = true;
    m_framing = MessageFraming();
    if (m_socket)
        m_socket->abort();
    emit clientDisconnected(m_clientId);
}

void ClientConnection::sendMessage(const QJsonObject &message)
{
    if (!m_socket || m_refused || m_socket->state() != QLocalSocket::ConnectedState)
        return;
    m_socket->write(MessageFraming::encode(message));
    chargeUnsent();
}

void ClientConnection::onSocketDisconnected()
{
    emit clientDisconnected(m_clientId);
}

void ClientConnection::onSocketError(QLocalSocket::LocalSocketError)
{
    emit clientDisconnected(m_clientId);
}
