// Who holds the socket behind a queue name. The name is looked up once, by connect(); the socket that
// the connected sender reaches is then named by sock_diag(7) (UDIAG_SHOW_PEER: the peer's inode) and
// looked for among the process's descriptors, as their links in /proc/<pid>/fd name sockets
// ("socket:[inode]", proc(5)). A send on that sender reaches that socket or nothing (ECONNREFUSED once
// it is closed): a process that binds the name after the look gets nothing. sock_diag answers for
// the one socket asked about, where /proc/net/unix would be read whole, every socket of the system.
#include "queue_owner_linux.h"

#include <dirent.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hook_control_internal {

namespace {

// The inode of the socket that `sender` is connected to, in `peer`: 0 or the errno of the look.
int peer_of(int sender, uint32_t& peer)
{
    struct stat own { };
    if (fstat(sender, &own) != 0)
        return errno;
    const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return errno;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_states = ~0u;
    ask.request.udiag_ino = static_cast<uint32_t>(own.st_ino);
    ask.request.udiag_show = UDIAG_SHOW_PEER;
    ask.request.udiag_cookie[0] = INET_DIAG_NOCOOKIE; // any socket of that inode
    ask.request.udiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char answer[512] = {};
    ssize_t size = sendto(diag, &ask, sizeof ask, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    // The kernel answers within the send: the answer is there to take.
    if (size == static_cast<ssize_t>(sizeof ask))
        size = recv(diag, answer, sizeof answer, MSG_DONTWAIT);
    const int error = size < 0 ? errno : 0;
    close(diag);
    if (error != 0)
        return error;
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (!NLMSG_OK(header, static_cast<size_t>(size)))
        return EPROTO;
    if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* refusal = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        return header->nlmsg_len >= NLMSG_LENGTH(sizeof *refusal) && refusal->error < 0 ? -refusal->error : EPROTO;
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
        return EPROTO;
    int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(unix_diag_msg)));
    const auto* attribute = reinterpret_cast<const rtattr*>(static_cast<const char*>(NLMSG_DATA(header)) +
                                                            NLMSG_ALIGN(sizeof(unix_diag_msg)));
    for (; RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
        if (attribute->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(attribute) >= sizeof peer) {
            memcpy(&peer, RTA_DATA(attribute), sizeof peer);
            return 0;
        }
    }
    return ENOTCONN;
}

} // namespace

int queue_owner::check(int sender, pid_t pid)
{
    uint32_t peer = 0;
    if (const int error = peer_of(sender, peer))
        return error;
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/fd", static_cast<int>(pid));
    DIR* descriptors = opendir(path);
    if (!descriptors && errno == ENOENT) // the process is gone, or /proc is
        return access("/proc/self", F_OK) == 0 ? not_its_own : no_proc;
    if (!descriptors)
        return errno;
    char wanted[32];
    const int wanted_length = snprintf(wanted, sizeof wanted, "socket:[%u]", peer);
    bool found = false;
    while (const dirent* entry = readdir(descriptors)) {
        char target[32];
        const ssize_t length = readlinkat(dirfd(descriptors), entry->d_name, target, sizeof target);
        if (length == wanted_length && memcmp(target, wanted, static_cast<size_t>(length)) == 0) {
            found = true;
            break;
        }
    }
    closedir(descriptors);
    return found ? 0 : not_its_own;
}

} // namespace hook_control_internal
