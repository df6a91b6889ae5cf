#include "post_linux.h"

#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>

#include "proc_linux.h"
#include "queue_linux.h"
#include "queue_owner_linux.h"

namespace hook_control_internal {

namespace {

// send_to_queue on `sender`, a new datagram socket: connected to the name, checked, sent.
int send_checked(int sender, pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    const queue_address address = queue_address_of(pid);
    if (connect(sender, reinterpret_cast<const sockaddr*>(&address.name), address.length) != 0)
        return errno;
    if (const int error = queue_owner::check(sender, pid))
        return error;
    const queue_datagram datagram{kind, 0, wparam, lparam};
    const ssize_t sent = send(sender, &datagram, sizeof datagram, MSG_DONTWAIT);
    return sent == static_cast<ssize_t>(sizeof datagram) ? 0 : errno;
}

} // namespace

Post send_to_queue(pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam, SystemError& error)
{
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int sent = sender < 0 ? errno : send_checked(sender, pid, kind, wparam, lparam);
    if (sender >= 0)
        close(sender);
    switch (sent) {
    case 0:
        return Post::sent;
    case queue_owner::not_its_own:
        return Post::not_its_own;
    case queue_owner::no_proc:
        return Post::owner_unseen;
    case ECONNREFUSED: // nothing is bound to the name
        error = static_cast<SystemError>(sent);
        return Post::no_queue;
    case EAGAIN:
        error = static_cast<SystemError>(sent);
        return Post::queue_full;
    default:
        error = static_cast<SystemError>(sent);
        return Post::failed;
    }
}

Post post_message(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam, SystemError& error)
{
    // A pid_t is signed: a larger id would name a process group to kill().
    if (process_id > static_cast<uint32_t>(std::numeric_limits<pid_t>::max()))
        return Post::no_process;
    const pid_t pid = static_cast<pid_t>(process_id);
    // The host drops messages from other users, as Windows refuses them: say so up front, by the
    // kernel's own rule for who may signal whom.
    if (kill(pid, 0) != 0) {
        error = static_cast<SystemError>(errno);
        return errno == ESRCH ? Post::no_process : Post::denied;
    }
    return send_to_queue(pid, kind, wparam, lparam, error);
}

bool has_ended(uint32_t process_id)
{
    return process_has_ended(static_cast<pid_t>(process_id));
}

} // namespace hook_control_internal
