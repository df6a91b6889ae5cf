// This machine's stand-in for a thread's message queue, shared by the host and whoever posts to
// it: an AF_UNIX datagram socket in the abstract namespace, one 24-byte datagram a message.
// For C and C++ alike; hook_host_protocol.py says the same for the Python tests and the benchmark.
#pragma once

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

// Host byte order; the size is part of the protocol: any other size is not a message.
struct queue_datagram {
    uint32_t kind;
    uint32_t reserved; // zero
    uint64_t wparam;
    uint64_t lparam;
};
static_assert(sizeof(struct queue_datagram) == 24, "a message is 24 bytes");

struct queue_address {
    struct sockaddr_un name;
    socklen_t length;
};

// The queue of thread `thread_id` is named "hook_host.<id>"; on this machine the main thread's id
// is the process id. A leading NUL puts the name in the abstract namespace: no file, and it goes
// with the last socket bound to it.
static inline struct queue_address queue_address_of(pid_t thread_id)
{
    struct queue_address address;
    memset(&address, 0, sizeof address);
    address.name.sun_family = AF_UNIX;
    const int length =
        snprintf(address.name.sun_path + 1, sizeof address.name.sun_path - 1, "hook_host.%d", (int)thread_id);
    address.length = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)length);
    return address;
}
