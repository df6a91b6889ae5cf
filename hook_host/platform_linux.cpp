// The host's platform on this machine: the main thread's queue is a datagram socket named for the
// process (see queue_linux.h), the pause a sleep.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform.h"
#include "queue_linux.h"

namespace {

int queue = -1; // bound once by open_queue; the process's end takes it away

// Messages count only from the host's own user or root, as the kernel vouches; the datagram's
// contents have no say in that.
bool sent_by_trusted_user(msghdr& header)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
            ucred sender;
            memcpy(&sender, CMSG_DATA(c), sizeof sender);
            return sender.uid == getuid() || sender.uid == 0;
        }
    }
    return false;
}

} // namespace

void platform::open_queue()
{
    // The report line follows: as on Windows, a write that nobody reads fails instead of ending the
    // process, so that the host goes on to install and wait.
    signal(SIGPIPE, SIG_IGN);

    // Credentials are asked for before the name is bound, so that no datagram arrives without them.
    // Without its queue the host could never be closed: it ends at once instead.
    queue = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (queue < 0 || setsockopt(queue, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
        abort();
    const queue_address address = queue_address_of(getpid());
    if (bind(queue, reinterpret_cast<const sockaddr*>(&address.name), address.length) != 0)
        abort();
}

bool platform::poll(Message& message)
{
    queue_datagram datagram;
    iovec data{&datagram, sizeof datagram};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    // MSG_TRUNC makes the result the datagram's whole size, so a longer one is seen as such.
    const ssize_t size = recvmsg(queue, &header, MSG_DONTWAIT | MSG_TRUNC);
    if (size < 0)
        return false;
    // A datagram of the wrong size or from an untrusted sender is removed like any other message
    // and dropped like any that is not WM_CLOSE.
    if (size != sizeof datagram || !sent_by_trusted_user(header))
        message = {0, 0}; // WM_NULL
    else
        message = {datagram.kind, datagram.wparam};
    return true;
}

void platform::pause(unsigned milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal that neither ends nor stops the process may cut the sleep short: sleep out the rest.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) { }
}
