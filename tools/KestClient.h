#pragma once
// A blocking client of the daemon's socket protocol: connects to a session's
// socket, sends framed JSON requests and reads replies and pushed events.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

class KestClient
{
public:
    KestClient() = default;
    ~KestClient();
    KestClient(const KestClient &) = delete;
    KestClient &operator=(const KestClient &) = delete;

    bool connectTo(const QString &socketPath, int timeoutMs = 3000);
    // Takes over a socket that is already connected (owned from here on).
    void adopt(int fd);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    bool send(const QJsonObject &message);
    bool sendRaw(const QByteArray &bytes);

    // The next frame's exact bytes (length prefix included).
    std::optional<QByteArray> readRawFrame(int timeoutMs);
    // The next message, pushed events kept aside first.
    std::optional<QJsonObject> read(int timeoutMs);
    // Sends a request and returns its reply; pushed events that arrive first
    // are kept for nextEvent/waitEvent.
    std::optional<QJsonObject> request(const QJsonObject &message, int timeoutMs = 5000);
    // The next pushed event (any kind), or the next one of the given kind
    // (others of that wait are kept).
    std::optional<QJsonObject> nextEvent(int timeoutMs);
    std::optional<QJsonObject> waitEvent(const QString &event, int timeoutMs);

    // True once the daemon has closed the connection (within the time-out).
    bool waitClosed(int timeoutMs);

    QString lastError() const { return m_error; }

private:
    using Match = std::function<bool(const QJsonObject &)>;
    std::optional<QByteArray> takeFrame();
    std::optional<QJsonObject> takeQueued(const Match &wanted);
    // Reads until a message matches; pushed events that do not are kept.
    std::optional<QJsonObject> readUntil(int timeoutMs, const Match &wanted);
    bool fill(int timeoutMs);
    std::optional<QJsonObject> readMessage(int timeoutMs);

    int m_fd = -1;
    QByteArray m_buffer;
    std::deque<QJsonObject> m_events;
    QString m_error;
    bool m_eof = false;
};
