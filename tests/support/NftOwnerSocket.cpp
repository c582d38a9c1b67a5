#include "tests/support/NftOwnerSocket.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/syscall.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <endian.h>
#include <unistd.h>

namespace {

// A copy of the owner's netfilter netlink socket, -1 when it has none.
int borrowNetfilterSocket(pid_t owner)
{
    const int pidfd = int(syscall(SYS_pidfd_open, owner, 0));
    if (pidfd < 0)
        return -1;
    DIR *directory = opendir(("/proc/" + std::to_string(owner) + "/fd").c_str());
    int found = -1;
    while (directory && found < 0) {
        const dirent *entry = readdir(directory);
        if (!entry)
            break;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        const int fd = int(syscall(SYS_pidfd_getfd, pidfd, std::atoi(entry->d_name), 0));
        if (fd < 0)
            continue;
        int domain = 0, protocol = 0;
        socklen_t length = sizeof domain;
        getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length);
        length = sizeof protocol;
        getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length);
        if (domain == AF_NETLINK && protocol == NETLINK_NETFILTER)
            found = fd;
        else
            close(fd);
    }
    if (directory)
        closedir(directory);
    close(pidfd);
    return found;
}

void putBatchMarker(mnl_nlmsg_batch *batch, std::uint16_t type, std::uint32_t sequence)
{
    nlmsghdr *message = mnl_nlmsg_put_header(mnl_nlmsg_batch_current(batch));
    message->nlmsg_type = type;
    message->nlmsg_flags = NLM_F_REQUEST;
    message->nlmsg_seq = sequence;
    auto *header = static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
    header->nfgen_family = AF_UNSPEC;
    header->version = NFNETLINK_V0;
    header->res_id = htons(NFNL_SUBSYS_NFTABLES);
    mnl_nlmsg_batch_next(batch);
}

} // namespace

bool deleteRuleAsOwner(pid_t owner, const std::string &table, const std::string &chain, std::uint64_t handle,
                       std::string *error)
{
    const int fd = borrowNetfilterSocket(owner);
    if (fd < 0) {
        *error = "no netfilter socket in process " + std::to_string(owner);
        return false;
    }
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    mnl_nlmsg_batch *batch = mnl_nlmsg_batch_start(buffer, sizeof buffer);
    const std::uint32_t sequence = std::uint32_t(time(nullptr));
    putBatchMarker(batch, NFNL_MSG_BATCH_BEGIN, sequence);
    nlmsghdr *message = mnl_nlmsg_put_header(mnl_nlmsg_batch_current(batch));
    message->nlmsg_type = (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_DELRULE;
    // No acknowledgement: it would wait in the owner's socket for its next command.
    message->nlmsg_flags = NLM_F_REQUEST;
    message->nlmsg_seq = sequence + 1;
    auto *header = static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
    header->nfgen_family = NFPROTO_INET;
    header->version = NFNETLINK_V0;
    mnl_attr_put_strz(message, NFTA_RULE_TABLE, table.c_str());
    mnl_attr_put_strz(message, NFTA_RULE_CHAIN, chain.c_str());
    mnl_attr_put_u64(message, NFTA_RULE_HANDLE, htobe64(handle));
    mnl_nlmsg_batch_next(batch);
    putBatchMarker(batch, NFNL_MSG_BATCH_END, sequence + 2);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = sendto(fd, mnl_nlmsg_batch_head(batch), mnl_nlmsg_batch_size(batch), 0,
                                reinterpret_cast<sockaddr *>(&kernel), sizeof kernel);
    const int sendError = errno;
    mnl_nlmsg_batch_stop(batch);
    close(fd);
    if (sent < 0) {
        *error = std::string("send failed: ") + std::strerror(sendError);
        return false;
    }
    return true;
}
