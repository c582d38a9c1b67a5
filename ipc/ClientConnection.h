#pragma once
// One connected client on one accepted local socket: cuts the byte stream into
// JSON messages, sends replies in the same framing, reports the socket's end.

#include "ipc/MessageFraming.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QObject>
#include <QString>

#include <memory>

class ClientBudget;

class ClientConnection : public QObject
{
    Q_OBJECT
public:
    // A client that has not taken more than this is disconnected.
    static constexpr qint64 kMaxUnsentBytes = 64ll * 1024 * 1024;

    explicit ClientConnection(QObject *parent = nullptr);
    ~ClientConnection() override;

    // Takes ownership of an accepted socket and starts reading from it.
    void attachSocket(QLocalSocket *socket);

    QString clientId() const { return m_clientId; }
    quint32 sessionId() const { return m_sessionId; }
    void setSessionId(quint32 id) { m_sessionId = id; }
    QLocalSocket *socket() const { return m_socket; }

    // Peer credentials of the socket (pid and uid), -1 when unknown.
    qint64 peerPid() const { return m_peerPid; }
    qint64 peerUid() const { return m_peerUid; }
    qint64 peerGid() const { return m_peerGid; }

    // Counts this connection, its partial frame and its unsent bytes against
    // its user's share (after attachSocket, which reads the user); false,
    // counting nothing, when the user has no connection left.
    bool joinBudget(std::shared_ptr<ClientBudget> budget);
    // Gives back all that was counted; done on departure and destruction.
    void leaveBudget();

    void sendMessage(const QJsonObject &message);
    // Bytes written to the socket and not yet taken by the peer.
    qint64 pendingBytes() const { return m_socket ? m_socket->bytesToWrite() : 0; }

    // Ends a connection that holds more than its share: nothing more is read
    // or sent, and its departure is reported after the current event, as any
    // other disconnection.
    void dropForOverload();
    // Refused or dropped: on its way out.
    bool isClosing() const { return m_refused; }

signals:
    void messageReceived(const QString &clientId, const QJsonObject &message);
    void clientDisconnected(const QString &clientId);
    // The user's clients together hold more unsent bytes than their share.
    void userUnsentOverLimit(qint64 uid);

public slots:
    void onDataReady();
    void onSocketDisconnected();
    void onSocketError(QLocalSocket::LocalSocketError error);

private:
    void readPeerCredentials();
    // Takes complete frames from the buffer and hands them on while the
    // connection lasts.
    void deliverFrames();
    // Ends the connection at once, with what it had sent and not yet framed.
    void refuse();
    // Brings the counted partial-frame bytes to what the buffer holds; false
    // when the user's share does not allow it.
    bool chargePartial(qint64 bytes);
    // Brings the counted unsent bytes to what the socket holds, and enforces
    // the limits on them.
    void chargeUnsent();

    QString m_clientId;
    quint32 m_sessionId = 0;
    QLocalSocket *m_socket = nullptr;
    MessageFraming m_framing;
    qint64 m_peerPid = -1;
    qint64 m_peerUid = -1;
    qint64 m_peerGid = -1;
    bool m_refused = false; // refused or overloaded: nothing more is read or sent
    std::shared_ptr<ClientBudget> m_budget;
    qint64 m_chargedPartial = 0;
    qint64 m_chargedUnsent = 0;
};
