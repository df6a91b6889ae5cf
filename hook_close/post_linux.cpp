// Posting on this machine: one datagram to the socket named for the host's main thread.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "post.h"
#include "queue_linux.h"

const uint64_t max_process_id = INT32_MAX;

const char* post_to_main_thread(uint32_t pid, const Message& message)
{
    // The host drops messages from other users, as the platform refuses them; say so up front,
    // by the kernel's own rule for who may signal whom.
    if (kill(static_cast<pid_t>(pid), 0) != 0)
        return errno == ESRCH ? "no such process" : "access denied";

    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0)
        return strerror(errno);
    const queue_linux::Datagram datagram{message.kind, 0, message.wparam, message.lparam};
    const queue_linux::Address address = queue_linux::address_of(static_cast<pid_t>(pid));
    const ssize_t sent = sendto(sender, &datagram, sizeof datagram, MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&address.name), address.length);
    const int error = errno;
    close(sender);
    if (sent == static_cast<ssize_t>(sizeof datagram))
        return nullptr;
    switch (error) {
    case ECONNREFUSED: // nothing is bound to the name
        return kill(static_cast<pid_t>(pid), 0) != 0 ? "no such process" : "not a hook host (it has no message queue)";
    case EAGAIN:
        return "its message queue is full";
    default:
        return strerror(error);
    }
}
