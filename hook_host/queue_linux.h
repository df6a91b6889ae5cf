// This machine's stand-in for a thread's message queue, shared by the host and whoever posts to
// it: an AF_UNIX datagram socket in the abstract namespace, one 24-byte datagram a message.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

namespace queue_linux {

// Host byte order; the size is part of the protocol: any other size is not a message.
struct Datagram {
    uint32_t kind;
    uint32_t reserved; // zero
    uint64_t wparam;
    uint64_t lparam;
};
static_assert(sizeof(Datagram) == 24);

struct Address {
    sockaddr_un name;
    socklen_t length;
};

// The queue of thread `thread_id` is named "hook_host.<id>"; on this machine the main thread's id
// is the process id. A leading NUL puts the name in the abstract namespace: no file, and it goes
// with the last socket bound to it.
inline Address address_of(pid_t thread_id)
{
    Address address{};
    address.name.sun_family = AF_UNIX;
    const int length = snprintf(address.name.sun_path + 1, sizeof address.name.sun_path - 1, "hook_host.%d",
                                static_cast<int>(thread_id));
    address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    return address;
}

} // namespace queue_linux
