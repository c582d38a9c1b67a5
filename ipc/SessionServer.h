#pragma once
// The local-socket server of one user session: $RUNTIME_DIRECTORY/<base>-<session>,
// open to every local user.

#include <QLocalServer>
#include <QObject>
#include <QString>

class SessionServer : public QObject
{
    Q_OBJECT
public:
    SessionServer(quint32 sessionId, const QString &baseName, QObject *parent = nullptr);
    ~SessionServer() override;

    bool start();

    quint32 sessionId() const { return m_sessionId; }
    QString pipeName() const { return m_pipeName; }
    QLocalServer *server() const { return m_server; }

signals:
    void newConnection();

private:
    quint32 m_sessionId;
    QString m_baseName;
    QString m_pipeName;
    QLocalServer *m_server;
};
