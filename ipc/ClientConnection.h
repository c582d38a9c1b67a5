#pragma once
// One connected client on one accepted local socket: cuts the byte stream into
// JSON messages, sends replies in the same framing, reports the socket's end.

#include "ipc/MessageFraming.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QObject>
#include <QString>

class ClientConnection : public QObject
{
    Q_OBJECT
public:
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

    void sendMessage(const QJsonObject &message);
    // Bytes written to the socket and not yet taken by the peer.
    qint64 pendingBytes() const { return m_socket ? m_socket->bytesToWrite() : 0; }

signals:
    void messageReceived(const QString &clientId, const QJsonObject &message);
    void clientDisconnected(const QString &clientId);

public slots:
    void onDataReady();
    void onSocketDisconnected();
    void onSocketError(QLocalSocket::LocalSocketError error);

private:
    void readPeerCredentials();

    QString m_clientId;
    quint32 m_sessionId = 0;
    QLocalSocket *m_socket = nullptr;
    MessageFraming m_framing;
    qint64 m_peerPid = -1;
    qint64 m_peerUid = -1;
    qint64 m_peerGid = -1;
    bool m_refused = false; // a frame was too long; nothing more is read
};
