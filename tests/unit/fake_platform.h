// A fake of hook_control's platform (hook_control_platform.h) on a fake clock: a test scripts when a
// host's output brings what, when it closes, when the host ends and which system call fails, and
// every wait moves the clock on instead of waiting, so that the moment each call returns is exact.
// The moments a test gives are counted from `origin`, which lies past 2^32 ms, as a system's clock
// does after 49.7 days.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "hook_control_platform.h"

namespace fake {

constexpr uint64_t never = UINT64_MAX;

// The fake clock, in milliseconds, and the moment that a test's moments count from.
extern uint64_t now;
extern uint64_t origin;

// The system's code that the last failure left as the thread's, as the platform's errno or
// GetLastError would hold it.
extern unsigned long system_error;

} // namespace fake

namespace hook_control_internal {

struct Process {
    struct Piece {
        uint64_t at;
        std::string bytes;
    };
    std::vector<Piece> output; // in order of time
    uint64_t output_closes_at = fake::never;
    uint64_t ends_at = fake::never;
    uint64_t status_from = 0; // where later than its end: a tracer takes the end first, until then
    int32_t status = 0;
    bool status_lost = false;
    bool status_taken = false; // once, and kept
    int32_t taken_status = 0;
    // Where a system call fails: the read of its output (from that moment on), the wait for its end,
    // and the taking of its status, each with error 5.
    uint64_t read_fails_at = fake::never;
    bool end_wait_fails = false;
    bool status_fails = false;
    Post refusal = Post::sent;    // what a post to it finds while it runs
    std::vector<uint32_t> closes; // the statuses posted to it
    struct Watcher {
        hook_host_ended ended;
        void* context;
    };
    std::vector<Watcher> watchers; // the watches of its end, until unwatched
    bool released = false;
    bool forgotten = false; // freed by a process it is not the host of
};

} // namespace hook_control_internal

namespace fake {

using hook_control_internal::Post;
using hook_control_internal::Process;

// The process the next start makes, or where it is null, a start that fails.
extern Process* next;

// The calling process's id; the host's owner is the one of its start.
extern uint32_t process_id;

// What post_message finds for any process, and whether has_ended says it has ended.
extern Post post_refusal;
extern bool ended_by_id;

} // namespace fake
