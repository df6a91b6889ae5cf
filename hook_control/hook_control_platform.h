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

// A call's deadline, `timeout_ms` from its making (HOOK_HOST_NO_LIMIT: none), and the time left until it.
class Deadline {
public:
    explicit Deadline(uint32_t timeout_ms)
        : timeout_ms_(timeout_ms)
        , end_(now_ms() + timeout_ms)
    {
    }

    uint32_t left() const
    {
        if (timeout_ms_ == HOOK_HOST_NO_LIMIT)
            return HOOK_HOST_NO_LIMIT;
        const uint64_t now = now_ms();
        return now >= end_ ? 0 : static_cast<uint32_t>(end_ - now);
    }

    // Whether it comes after `moment` (of now_ms), or never.
    bool after(uint64_t moment) const
    {
        return timeout_ms_ == HOOK_HOST_NO_LIMIT || end_ >= moment;
    }

private:
    uint32_t timeout_ms_;
    uint64_t end_;
};

// Sleeps `ms` (short: a wait's time is held by its caller).
void pause_ms(uint32_t ms);

// The calling process's id: a handle's process is the one that started its host.
uint32_t current_process_id();

// Holds off the calling thread's cancellation while it lives, so that a call that opens descriptors
// or changes what threads share is never left half done (POSIX threads: pthread_setcancelstate;
// Windows cancels no thread). The cancel takes effect at the next cancellation point after it.
class NoCancel {
public:
    NoCancel();
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;
    ~NoCancel();

private:
    int old_ = 0;
};

// Starts the program at `path` (given, UTF-8, not empty) with `number` as its one argument, as
// hook_host_start says, `flags` known. HOOK_HOST_OK with *process and *process_id, or HOOK_HOST_FAILED
// with the reason recorded and nothing of the attempt left open or running.
hook_host_result create_process(const char* path, int32_t number, uint32_t flags, Process** process,
                                uint32_t* process_id);

// What a read of the host's standard output found.
enum class Output {
    bytes,      // `got` bytes, one or more
    ended,      // closed, with nothing more in it
    host_ended, // the process has ended with nothing more to read (another may hold the output open)
    timeout,
    failed // `error` says why
};

// Reads what the host's output holds into `buffer`, waiting for it until `deadline`. Output the host
// wrote before it ended is read before its end is told.
Output read_output(Process& process, char* buffer, size_t size, const Deadline& deadline, size_t& got,
                   SystemError& error);

enum class End { ended, running, failed };

// Whether the process's end is signalled within `timeout_ms` (0: whether it is; HOOK_HOST_NO_LIMIT: it
// is waited for), as its waitable shows it; its status is not taken.
End wait_for_end(Process& process, uint32_t timeout_ms, SystemError& error);

enum class Status {
    taken,
    not_yet, // its end is signalled, but a tracer (Linux: a debugger, strace) has not taken it yet
    lost,    // a wait of the controller's own took it (Linux: a wait for any child, or SIGCHLD ignored)
    failed
};

// Takes the exit status of the process, never waiting: Windows gives all 32 bits, Linux the low 8 bits
// or minus the number of the signal that ended it. Once taken or lost, every later call gives the same,
// from any thread at once.
Status take_exit_status(Process& process, int32_t& status, SystemError& error);

enum class Watch { watching, already, failed };

// Calls `ended(context)` once, from a thread of the library's or the system's, once the process's
// status can be taken (or was lost); Watch::already where `ended` with `context` watches it now.
Watch watch_end(Process& process, hook_host_ended ended, void* context, SystemError& error);

// Ends the watch of `ended` with `context` (every watch of the process, where `ended` is null): when it
// returns, the callback runs nowhere, unless on the calling thread, and is never called again.
void unwatch_end(Process& process, hook_host_ended ended, void* context);

// What a post found.
enum class Post {
    sent,
    no_process,
    no_queue,     // the process has no message queue (now): it is no host, or it is ending
    not_its_own,  // the queue's name is bound by another process (Linux); nothing was sent
    owner_unseen, // who binds the queue's name cannot be looked for (Linux: no /proc); nothing was sent
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

// Frees what is held for the process, at once, its watches ended before; one that runs and was not started to
// outlive its controller is ended, as if its controller had ended, and its status is taken once it can
// be, so that nothing of it is left.
void release_process(Process* process);

// Frees what this process holds for a host that another process started (a fork's copy), and ends,
// signals or waits for nothing.
void forget_process(Process* process);

} // namespace hook_control_internal
