// The library's one thread, which starts every host and reaps the released ones that outlive their
// handles. A host's death signal is sent when the *thread* that started it ends, not the process:
// hosts are started from this thread, which lasts while any host it started runs, and ends after the
// last (or when it is the process's last thread, so that it keeps no process alive). A forked child
// of the controller starts one of its own when it needs it.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "start_child_linux.h"

// Clones `child` on the library's thread, starting that thread where it is not running: the new
// host's pidfd, 0 where the child's set-up failed (it is reaped; child.error says why), or -errno.
// `serial` names the host to reap_when_ended. Callers take turns; the caller waits for the clone.
int start_on_library_thread(Child& child, pid_t& pid, uint64_t& serial);

// Leaves the host of `serial`, released while it runs and outliving its handle, to the library's
// thread, which takes its status once it ends; false where it has ended already (nothing watches it
// then, and the caller takes its status).
bool reap_when_ended(uint64_t serial);
