// What hook_control's algorithms (hook_control.cpp) need of the system: a few primitives, given by one
// file per platform (hook_control_linux.cpp, hook_control_windows.cpp, chosen by the build) and by a
// fake in the unit tests. A primitive says why it failed with the system's own code, which
// hook_control.cpp puts into words; only create_process records a failure itself, as its causes are
// the platform's own. Plain C++14 with C headers, as the Windows files are compiled in by applications.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "hook_control.h"
#include "last_error.h"

namespace hook_control_internal {

// A host's process as the platform holds it: its handles, and our end of its standard output.
struct Process;

// A clock of milliseconds that never goes back.
uint64_t now_ms();

// Starts the program at `path` (given, UTF-8, not empty) with `number` as its one argument, as
// hook_host_start says, `flags` known. HOOK_HOST_OK with *process and *process_id, or HOOK_HOST_FAILED
// with the reason recorded and nothing of the attempt left open or running.
hook_host_result create_process(const char* path, int32_t number, uint32_t flags, Process** process,
                                uint32_t* process_id);

// What a read of the host's standard output found.
enum class Output {
    bytes,      // `got` bytes; none where a read took nothing, and the caller reads again
    ended,      // closed, with nothing more in it
    host_ended, // the process has ended with nothing more to read (another may hold the output open)
    timeout,
    failed // `error` says why
};

// Reads what the host's output holds into `buffer`, waiting for it at most `timeout_ms`
// (HOOK_HOST_NO_LIMIT: without limit). Output the host wrote before it ended is read before its end
// is told.
Output read_output(Process& process, char* buffer, size_t size, uint32_t timeout_ms, size_t& got, SystemError& error);

enum class End { ended, running, failed };

// Whether the process ends within `timeout_ms` (0: whether it has ended; HOOK_HOST_NO_LIMIT: it is
// waited for); its status is not taken.
End wait_for_end(Process& process, uint32_t timeout_ms, SystemError& error);

enum class Status {
    taken,
    lost, // a wait of the controller's own took it (Linux: a wait for any child, or SIGCHLD ignored)
    failed
};

// Takes the exit status of a process whose end wait_for_end has seen: Windows gives all 32 bits,
// Linux the low 8 bits or minus the number of the signal that ended it.
Status take_exit_status(Process& process, int32_t& status, SystemError& error);

// What a post found.
enum class Post {
    sent,
    no_process,
    no_queue,    // the process has no message queue (now): it is no host, or it is ending
    not_its_own, // the queue's name is bound by another process (Linux); nothing was sent
    queue_full,
    denied,
    failed
};

// Posts WM_CLOSE with `status` as its wParam to the host's main thread; nothing is sent once the host
// has ended.
Post post_close(Process& process, uint32_t status, SystemError& error);

// Posts message `kind` to the main thread of process `process_id` (not 0).
Post post_message(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam, SystemError& error);

// Whether process `process_id` has ended (a post to it found no queue).
bool has_ended(uint32_t process_id);

// The object the system signals at the process's end, as hook_host_waitable gives it, and what
// stands for none.
intptr_t waitable(const Process& process);
extern const intptr_t no_waitable;

// Frees what is held for the process; one that runs and was not started to outlive its controller is
// ended first, as if its controller had ended.
void release_process(Process* process);

} // namespace hook_control_internal
