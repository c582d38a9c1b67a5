#include "tests/support/UserClient.h"

#include <QFile>

#include <cstring>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs in the forked helper: only system calls from here on.
[[noreturn]] void runHelper(int channel, const sockaddr_un &address, uid_t uid, gid_t gid)
{
    // Holds nothing of the test's but its channel, so that other helpers
    // (and the test's own sockets) end when the test closes them.
    if (channel > 3)
        ::syscall(SYS_close_range, 3u, unsigned(channel - 1), 0u);
    ::syscall(SYS_close_range, unsigned(channel + 1), ~0u, 0u);
    int fd = -1;
    if (::syscall(SYS_setgroups, 0, nullptr) == 0 && ::syscall(SYS_setresgid, gid, gid, gid) == 0
        && ::syscall(SYS_setresuid, uid, uid, uid) == 0) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    char byte = fd >= 0 ? 1 : 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    ::sendmsg(channel, &message, MSG_NOSIGNAL);
    // Stays the peer of the connection until the test lets go.
    while (::read(channel, &byte, 1) > 0) {
    }
    ::_exit(0);
}

int receiveSocket(int channel)
{
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(channel, &message, MSG_CMSG_CLOEXEC) <= 0 || byte != 1)
        return -1;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    if (!header || header->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

} // namespace

UserClient::UserClient(uid_t uid, gid_t gid)
    : m_uid(uid)
    , m_gid(gid)
{
}

UserClient::~UserClient()
{
    m_client.close();
    endHelper();
}

void UserClient::endHelper()
{
    if (m_channel >= 0)
        ::close(m_channel);
    m_channel = -1;
    if (m_helper > 0)
        ::waitpid(m_helper, nullptr, 0);
    m_helper = -1;
}

bool UserClient::connectTo(const QString &socketPath)
{
    m_client.close();
    endHelper();
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    int channel[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0)
        return false;
    m_helper = ::fork();
    if (m_helper == 0) {
        ::close(channel[0]);
        runHelper(channel[1], address, m_uid, m_gid);
    }
    ::close(channel[1]);
    m_channel = channel[0];
    const int fd = m_helper > 0 ? receiveSocket(m_channel) : -1;
    if (fd < 0) {
        endHelper();
        return false;
    }
    m_client.adopt(fd);
    return m_client.waitEvent("connected", 3000).has_value();
}
