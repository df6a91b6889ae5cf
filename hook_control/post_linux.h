// Posting to a host's queue on this machine: one datagram to the socket named for it (see
// queue_linux.h), where that socket is the process's own, sent without waiting.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "hook_control.h"

// Sends one message datagram to the queue of process `pid`, only where that queue is the process's
// own (queue_owner_linux.h): 0, queue_owner::not_its_own (nothing sent), or the errno of why not
// (ECONNREFUSED: nothing is bound to the name; EAGAIN: the queue is full).
int send_message(pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam);

// Whether `error` from send_message says that the process has no queue of its own (now).
bool has_no_queue(int error);

// Records why a post to process `pid` failed with `error`, and returns HOOK_HOST_FAILED.
hook_host_result refused(pid_t pid, int error);
