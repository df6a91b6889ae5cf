#include "post_linux.h"

#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>

#include "hook_control_platform.h"
#include "last_error.h"
#include "proc_linux.h"
#include "queue_linux.h"
#include "queue_owner_linux.h"
#include "system_text_linux.h"

namespace {

// send_message on `sender`, a new datagram socket: connected to the name, checked, sent.
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

int send_message(pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0)
        return errno;
    const int error = send_checked(sender, pid, kind, wparam, lparam);
    close(sender);
    return error;
}

bool has_no_queue(int error)
{
    return error == ECONNREFUSED || error == queue_owner::not_its_own;
}

hook_host_result refused(pid_t pid, int error)
{
    switch (error) {
    case ECONNREFUSED: // nothing is bound to the name
        return failed("cannot post to process %d: not a hook host (it has no message queue): %s", static_cast<int>(pid),
                      system_text(error));
    case queue_owner::not_its_own:
        return failed("cannot post to process %d: not a hook host (its message queue's name is bound by another "
                      "process; nothing was sent)",
                      static_cast<int>(pid));
    case EAGAIN:
        return failed("cannot post to process %d: its message queue is full: %s", static_cast<int>(pid),
                      system_text(error));
    default:
        return failed("cannot post to process %d: %s", static_cast<int>(pid), system_text(error));
    }
}

hook_host_result post_message(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    // A pid_t is signed: a larger id would name a process group to kill().
    if (process_id > static_cast<uint32_t>(std::numeric_limits<pid_t>::max()))
        return HOOK_HOST_GONE;
    const pid_t pid = static_cast<pid_t>(process_id);
    // The host drops messages from other users, as Windows refuses them: say so up front, by the
    // kernel's own rule for who may signal whom.
    if (kill(pid, 0) != 0)
        return errno == ESRCH ? HOOK_HOST_GONE
                              : failed("cannot post to process %d: access denied: %s", pid, system_text(errno));
    const int error = send_message(pid, kind, wparam, lparam);
    if (error == 0)
        return HOOK_HOST_OK;
    if (has_no_queue(error) && process_has_ended(pid))
        return HOOK_HOST_GONE;
    return refused(pid, error);
}
