#define _GNU_SOURCE /* struct ucred */
/* The yardstick: the least C program of the hook host's design, that the benchmark holds the host
 * against. The same queue, report line, installation call and 100 ms poll, and nothing else. */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "TeskShellHook.h"
#include "close_message.h"
#include "queue_linux.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return -1;
    const int value = (int)atol(argv[1]);

    const int queue = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(queue, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    const struct queue_address name = queue_address_of(getpid());
    if (bind(queue, (const struct sockaddr*)&name.name, name.length))
        abort();
    signal(SIGPIPE, SIG_IGN);

    printf("Adding hook for %d\n", value);
    fflush(stdout);
    SetTeskShellHook(value);

    for (;;) {
        struct queue_datagram message;
        char control[CMSG_SPACE(sizeof(struct ucred))];
        struct iovec data = {&message, sizeof message};
        struct msghdr header = {
            .msg_iov = &data, .msg_iovlen = 1, .msg_control = control, .msg_controllen = sizeof control};
        const ssize_t size = recvmsg(queue, &header, MSG_TRUNC);
        const struct cmsghdr* credentials = size == sizeof message ? CMSG_FIRSTHDR(&header) : NULL;
        const uid_t sender = credentials ? ((const struct ucred*)CMSG_DATA(credentials))->uid : (uid_t)-1;
        const int closing = credentials && message.kind == wm_close && (sender == getuid() || sender == 0);
        nanosleep(&(struct timespec){0, 100000000}, NULL);
        if (closing)
            return (int32_t)message.wparam;
    }
}
