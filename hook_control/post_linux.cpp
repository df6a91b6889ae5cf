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
#include "system_text_linux.h"

int send_message(pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0)
        return errno;
    const queue_datagram datagram{kind, 0, wparam, lparam};
    const queue_address address = queue_address_of(pid);
    const ssize_t sent = sendto(sender, &datagram, sizeof datagram, MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&address.name), address.length);
    const int error = sent == static_cast<ssize_t>(sizeof datagram) ? 0 : errno;
    close(sender);
    return error;
}

hook_host_result refused(pid_t pid, int error)
{
    switch (error) {
    case ECONNREFUSED: // nothing is bound to the name
        return failed("cannot post to process %d: not a hook host (it has no message queue): %s", static_cast<int>(pid),
                      system_text(error));
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
    if (error == ECONNREFUSED && process_has_ended(pid))
        return HOOK_HOST_GONE;
    return refused(pid, error);
}
