#include "ipc/SessionServer.h"

#include "ipc/RuntimeDirectory.h"
#include "base/DaemonLog.h"

#include <QFileInfo>

SessionServer::SessionServer(quint32 sessionId, const QString &baseName, QObject *parent)
    : QObject(parent)
    , m_sessionId(sessionId)
    , m_baseName(baseName)
    , m_pipeName(RuntimeDirectory::socketPath(baseName, sessionId))
    , m_server(new QLocalServer(this))
{
}

SessionServer::~SessionServer()
{
    if (m_server->isListening()) {
        m_server->close();
        QLocalServer::removeServer(m_pipeName);
        qCDebug(lcKestd) << "Named pipe server stopped for session" << m_sessionId;
    }
}

bool SessionServer::start()
{
    if (m_server->isListening())
        return true;
    m_server->setSocketOptions(QLocalServer::WorldAccessOption);
    // A socket file left by a daemon that died would make listen fail; the
    // single-instance lock guarantees no live daemon owns it.
    if (QFileInfo::exists(m_pipeName))
        QLocalServer::removeServer(m_pipeName);
    if (m_server->listen(m_pipeName)) {
        qCInfo(lcKestd) << "Named pipe server started for session" << m_sessionId << ":" << m_pipeName;
        connect(m_server, &QLocalServer::newConnection, this, &SessionServer::newConnection);
        return true;
    }
    qCWarning(lcKestd) << "Failed to start named pipe for session" << m_sessionId << ":" << m_server->errorString();
    return false;
}
