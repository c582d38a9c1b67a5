#pragma once
// The directory that holds the per-session sockets and the single-instance lock:
// $RUNTIME_DIRECTORY (set by systemd's RuntimeDirectory=), else /run/kestd.

#include <QString>

class RuntimeDirectory
{
public:
    static constexpr const char *kDefaultPath = "/run/kestd";
    static constexpr const char *kLockName = "kestd.lock";

    RuntimeDirectory();
    ~RuntimeDirectory();
    RuntimeDirectory(const RuntimeDirectory &) = delete;
    RuntimeDirectory &operator=(const RuntimeDirectory &) = delete;

    static QString path();

    // Creates the directory (root-owned 0755 when running as root, so no user
    // can place a socket of that name) and takes the exclusive lock that only
    // one daemon may hold. False, with a critical log line, when another daemon
    // holds it or the directory cannot be prepared.
    bool acquire();
    void release();
    bool held() const { return m_lockFd >= 0; }

    // The full socket path of one session's server.
    static QString socketPath(const QString &baseName, quint32 sessionId);

private:
    int m_lockFd = -1;
};
