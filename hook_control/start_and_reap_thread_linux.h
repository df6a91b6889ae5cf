// The library's one thread, which starts every host, tells of hosts' ends (hook_host_watch), and reaps
// the released ones. A host's death signal is sent when the *thread* that started it ends, not the process:
// hosts are started from this thread, which lasts while any host it started runs, and ends after the
// last (or when it is the process's last thread, so that it keeps no process alive). A forked child
// of the controller starts one of its own when it needs it.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "hook_control.h"
#include "start_child_linux.h"

namespace hook_control_internal {

// What a start on the library's thread gives.
struct Started {
    int pidfd = -1; // the new host's, above the standard descriptors; -1 where there is none
    pid_t pid = 0;
    uint64_t serial = 0; // names the host to reap_when_ended
    int error = 0;       // why there is no host: the errno of the thread's making, the clone or a descriptor
};

// Clones `child` on the library's thread, starting that thread where it is not running. Where the
// child's set-up failed, there is no host and no error here: the child is reaped, and
// child.failed_step and child.error say why. Callers take turns; the caller waits for the clone.
Started start_on_library_thread(Child& child);

// Leaves the host of `serial` (behind `pidfd`, which is copied where the thread needs it), released, to
// the library's thread, which takes its status once it can be taken; false where that thread cannot be
// made or the copy cannot be, for a host that has ended (the caller takes its status then).
bool reap_when_ended(uint64_t serial, int pidfd);

// What a watch asked for gives: 0, EEXIST where `ended` with `context` watches the host already, or
// the errno of why it cannot be made.
int watch_when_ended(uint64_t serial, int pidfd, hook_host_ended ended, void* context);

// Ends the watch of `ended` with `context` on the host of `serial` (every one of its watches, where
// `ended` is null), and waits until none of them runs, unless on the library's thread itself.
void unwatch(uint64_t serial, hook_host_ended ended, void* context);

} // namespace hook_control_internal
