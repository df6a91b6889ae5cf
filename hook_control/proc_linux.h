// What /proc says of processes and threads: the one reader of their stat files.
#pragma once

#include <sys/types.h>

namespace hook_control_internal {

// Whether process `pid`, which need not be our child, has ended: gone, or ended and not yet waited
// for by its parent (a zombie, which kill() still finds).
bool process_has_ended(pid_t pid);

// Whether every other thread of this process has ended, read from `stat`, the process's
// /proc/self/stat opened beforehand: a thread that opened files here would take a shortage of
// descriptors for solitude, and end. The main thread stays a zombie, counted in num_threads, when it
// called pthread_exit while others ran; any other thread is gone once it has ended. A failure to look
// counts as not alone.
bool alone(int stat);

} // namespace hook_control_internal
