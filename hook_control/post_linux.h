// Posting to a host's queue on this machine: one datagram to the socket named for it (see
// queue_linux.h), sent without waiting.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "hook_control.h"

// Sends one message datagram to the queue of process `pid`; 0, or the errno of why not
// (ECONNREFUSED: nothing is bound to the name; EAGAIN: the queue is full).
int send_message(pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam);

// Records why a post to process `pid` failed with `error`, and returns HOOK_HOST_FAILED.
hook_host_result refused(pid_t pid, int error);
