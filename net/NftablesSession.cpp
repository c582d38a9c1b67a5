#include "net/NftablesSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <nftables/libnftables.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// libnftables opens its netlink socket without close-on-exec: every netfilter
// netlink socket of this process that lacks the flag gets it. The count of
// such sockets is returned.
int closeOnExecNetfilterSockets()
{
    DIR *directory = ::opendir("/proc/self/fd");
    if (!directory)
        return 0;
    int count = 0;
    while (const dirent *entry = ::readdir(directory)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*entry->d_name == '\0' || *end != '\0' || fd == ::dirfd(directory))
            continue;
        int domain = 0, protocol = 0;
        socklen_t length = sizeof domain;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_NETLINK)
            continue;
        length = sizeof protocol;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 || protocol != NETLINK_NETFILTER)
            continue;
        const int flags = ::fcntl(int(fd), F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC) && ::fcntl(int(fd), F_SETFD, flags | FD_CLOEXEC) == 0)
            ++count;
    }
    ::closedir(directory);
    return count;
}

// nft reports failures as text ending in the system's error text.
int errorFromMessage(const std::string &message)
{
    for (const int error : {ENOENT, EPERM, EEXIST, EBUSY, EOPNOTSUPP, EINVAL, ENOMEM, ENOBUFS, EACCES, ENODEV,
                            EAFNOSUPPORT, EPROTONOSUPPORT, ENOSPC, ERANGE})
        if (message.find(std::strerror(error)) != std::string::npos)
            return error;
    return EIO;
}

std::string firstLine(const char *text)
{
    std::string line = text ? text : "";
    line = line.substr(0, line.find('\n'));
    if (line.rfind("Error: ", 0) == 0)
        line.erase(0, 7);
    return line;
}

void collectRuleHandle(const QJsonObject &item, std::vector<std::uint64_t> &handles)
{
    const QJsonValue rule = item.contains("add") ? item.value("add").toObject().value("rule") : item.value("rule");
    if (rule.isObject() && rule.toObject().value("handle").isDouble())
        handles.push_back(std::uint64_t(rule.toObject().value("handle").toDouble()));
}

} // namespace

NftablesSession::NftablesSession()
{
    // libnftables ends the whole process when it cannot open its socket: try first.
    const int probe = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (probe < 0) {
        m_openError = errno;
        return;
    }
    ::close(probe);
    m_context = nft_ctx_new(NFT_CTX_DEFAULT);
    if (!m_context) {
        m_openError = ENOMEM;
        return;
    }
    closeOnExecNetfilterSockets();
    nft_ctx_buffer_output(m_context);
    nft_ctx_buffer_error(m_context);
}

NftablesSession::~NftablesSession()
{
    if (m_context)
        nft_ctx_free(m_context);
}

NftablesSession::Result NftablesSession::run(const std::string &commands, bool json)
{
    Result result;
    std::lock_guard lock(m_mutex);
    if (!m_context) {
        result.error = m_openError ? m_openError : ENOTCONN;
        result.message = std::strerror(result.error);
        return result;
    }
    nft_ctx_output_set_flags(m_context, json ? NFT_CTX_OUTPUT_JSON | NFT_CTX_OUTPUT_ECHO | NFT_CTX_OUTPUT_HANDLE
                                             : NFT_CTX_OUTPUT_HANDLE);
    result.ok = nft_run_cmd_from_buffer(m_context, commands.c_str()) == 0;
    const char *output = nft_ctx_get_output_buffer(m_context);
    result.output = output ? output : "";
    if (!result.ok) {
        result.message = firstLine(nft_ctx_get_error_buffer(m_context));
        result.error = errorFromMessage(result.message);
    }
    return result;
}

std::vector<std::uint64_t> NftablesSession::ruleHandles(const std::string &output)
{
    std::vector<std::uint64_t> handles;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(output));
    for (const QJsonValue item : document.object().value("nftables").toArray())
        collectRuleHandle(item.toObject(), handles);
    return handles;
}

std::string NftablesSession::quoted(const std::string &text)
{
    std::string out = "\"";
    for (const unsigned char c : text)
        out += (c < ' ' || c == 0x7f || c == '"' || c == '\\') ? '_' : char(c);
    return out + "\"";
}
