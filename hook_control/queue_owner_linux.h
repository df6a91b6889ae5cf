// Whether a datagram socket connected to the queue name "hook_host.<pid>" reaches a socket of that
// process: any user may bind the name of a process that has none.
#pragma once

#include <sys/types.h>

namespace hook_control_internal {

namespace queue_owner {

// What queue_owner::check gives where the socket reached is not one of the process's own.
constexpr int not_its_own = -1;
// ... and where no process's descriptors can be looked at: /proc is not mounted.
constexpr int no_proc = -2;

// 0 where the socket that `sender` is connected to is among the descriptors of process `pid`;
// not_its_own where it is not (a process that is gone or a zombie holds none); no_proc; else the
// errno of the look. Opens two descriptors for the moment of the look.
int check(int sender, pid_t pid);

} // namespace queue_owner

} // namespace hook_control_internal
