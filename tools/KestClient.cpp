#include "tools/KestClient.h"

#include "ipc/MessageFraming.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

KestClient::~KestClient()
{
    close();
}

bool KestClient::connectTo(const QString &socketPath, int timeoutMs)
{
    close();
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof(addr.sun_path)) {
        m_error = QStringLiteral("socket path too long: %1").arg(socketPath);
        return false;
    }
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
            m_fd = fd;
            m_eof = false;
            return true;
        }
        m_error = QStringLiteral("cannot connect to %1: %2").arg(socketPath, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        if (timer.elapsed() >= timeoutMs)
            return false;
        ::usleep(20000);
    }
}

void KestClient::adopt(int fd)
{
    close();
    m_fd = fd;
    m_eof = false;
}

void KestClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_buffer.clear();
    m_events.clear();
}

bool KestClient::sendRaw(const QByteArray &bytes)
{
    if (m_fd < 0)
        return false;
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        sent += n;
    }
    return true;
}

bool KestClient::send(const QJsonObject &message)
{
    return sendRaw(MessageFraming::encode(message));
}

std::optional<QByteArray> KestClient::takeFrame()
{
    if (m_buffer.size() < 4)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData());
    if (quint64(m_buffer.size()) < 4ull + length)
        return std::nullopt;
    QByteArray frame = m_buffer.left(4 + qsizetype(length));
    m_buffer.remove(0, 4 + qsizetype(length));
    return frame;
}

bool KestClient::fill(int timeoutMs)
{
    if (m_fd < 0 || m_eof)
        return false;
    pollfd p {m_fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return false;
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_buffer.append(chunk, n);
    return true;
}

std::optional<QByteArray> KestClient::readRawFrame(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (auto frame = takeFrame())
            return frame;
        const int left = int(timeoutMs - timer.elapsed());
        if (left < 0 || !fill(left))
            return std::nullopt;
    }
}

std::optional<QJsonObject> KestClient::readMessage(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int left = int(timeoutMs - timer.elapsed());
        auto frame = readRawFrame(left < 0 ? 0 : left);
        if (!frame)
            return std::nullopt;
        if (auto object = MessageFraming::decodePayload(frame->mid(4)))
            return object;
    }
}

std::optional<QJsonObject> KestClient::takeQueued(const Match &wanted)
{
    for (auto it = m_events.begin(); it != m_events.end(); ++it) {
        if (wanted(*it)) {
            QJsonObject e = *it;
            m_events.erase(it);
            return e;
        }
    }
    return std::nullopt;
}

std::optional<QJsonObject> KestClient::readUntil(int timeoutMs, const Match &wanted)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int left = int(timeoutMs - timer.elapsed());
        auto message = readMessage(left < 0 ? 0 : left);
        if (!message || wanted(*message))
            return message;
        if (message->contains("event"))
            m_events.push_back(*message);
    }
}

std::optional<QJsonObject> KestClient::read(int timeoutMs)
{
    if (auto queued = takeQueued([](const QJsonObject &) { return true; }))
        return queued;
    return readMessage(timeoutMs);
}

std::optional<QJsonObject> KestClient::request(const QJsonObject &message, int timeoutMs)
{
    if (!send(message))
        return std::nullopt;
    return readUntil(timeoutMs, [](const QJsonObject &m) { return !m.contains("event"); });
}

std::optional<QJsonObject> KestClient::nextEvent(int timeoutMs)
{
    const Match isEvent = [](const QJsonObject &m) { return m.contains("event"); };
    if (auto queued = takeQueued(isEvent))
        return queued;
    return readUntil(timeoutMs, isEvent);
}

std::optional<QJsonObject> KestClient::waitEvent(const QString &event, int timeoutMs)
{
    const Match isThatEvent = [&event](const QJsonObject &m) { return m.value("event").toString() == event; };
    if (auto queued = takeQueued(isThatEvent))
        return queued;
    return readUntil(timeoutMs, isThatEvent);
}

bool KestClient::waitClosed(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!m_eof) {
        const int left = int(timeoutMs - timer.elapsed());
        if (left < 0)
            return false;
        if (!fill(left) && !m_eof)
            return false;
    }
    return true;
}
