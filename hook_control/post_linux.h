// Posting to a host's queue on this machine: one datagram to the socket named for it (see
// queue_linux.h), where that socket is the process's own, sent without waiting.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "hook_control_platform.h"

namespace hook_control_internal {

// Sends one message datagram to the queue of process `pid`, only where that queue is the process's
// own (queue_owner_linux.h): Post::sent, or what stopped it, with the errno where there is one.
Post send_to_queue(pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam, SystemError& error);

} // namespace hook_control_internal
