// What /proc says of processes and threads: the one reader of their stat files.
#pragma once

#include <sys/types.h>

// Whether process `pid`, which need not be our child, has ended: gone, or ended and not yet waited
// for by its parent (a zombie, which kill() still finds).
bool process_has_ended(pid_t pid);

// Whether every other thread of this process has ended (the main thread stays a zombie when it
// called pthread_exit while others ran).
bool alone();
