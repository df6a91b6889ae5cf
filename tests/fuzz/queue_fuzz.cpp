// This machine's queue as the host reads it: any bytes of any length, sent as one datagram to the
// host's real queue and polled by the host's own code. Exactly 24 bytes carry a message; anything else
// is removed as WM_NULL, and each datagram is removed whole, by one poll.
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform.h"
#include "queue_linux.h"

namespace {

int sender = -1;
queue_address queue;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    platform::open_queue();
    sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    queue = queue_address_of(getpid());
    return sender < 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Past what one socket may hold in flight the kernel refuses the send: nothing reaches the host.
    if (sendto(sender, data, size, 0, reinterpret_cast<const sockaddr*>(&queue.name), queue.length) < 0)
        return 0;
    platform::Message message{0xFFFF'FFFF, 0xFFFF'FFFF'FFFF'FFFF};
    if (!platform::poll(message))
        abort();
    queue_datagram sent{};
    if (size == sizeof sent)
        memcpy(&sent, data, size);
    if (message.kind != sent.kind || message.wparam != sent.wparam)
        abort();
    platform::Message left;
    if (platform::poll(left))
        abort();
    return 0;
}
