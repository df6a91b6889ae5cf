// The fake platform's primitives: each wait moves the fake clock on to the first thing it waits for,
// or by its whole time where nothing comes within it.
#include "fake_platform.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace fake {

uint64_t now = 0;
uint64_t origin = (uint64_t{1} << 32) + 5;
Process* next = nullptr;
unsigned long system_error = 0;
uint32_t process_id = 100;
Post post_refusal = Post::sent;
bool ended_by_id = false;

namespace {

// Moves the clock to `moment` (of a test's) where it comes within `timeout_ms`, else by `timeout_ms`:
// whether it came.
bool wait_until(uint64_t moment, uint32_t timeout_ms)
{
    moment = moment == never ? never : origin + moment;
    const uint64_t limit = timeout_ms == HOOK_HOST_NO_LIMIT ? never : now + timeout_ms;
    if (moment <= now)
        return true;
    if (moment <= limit) {
        now = moment;
        return true;
    }
    if (limit == never) {
        ADD_FAILURE_AT(__FILE__, __LINE__); // a wait for ever on a host that never does anything
        return false;
    }
    now = limit;
    return false;
}

} // namespace

} // namespace fake

namespace hook_control_internal {

uint64_t now_ms()
{
    return fake::now;
}

void pause_ms(uint32_t ms)
{
    fake::now += ms;
}

uint32_t current_process_id()
{
    return fake::process_id;
}

NoCancel::NoCancel() { }

NoCancel::~NoCancel() { }

hook_host_result create_process(const char* path, int32_t, uint32_t, Process** process, uint32_t* process_id)
{
    if (!fake::next)
        return failed(2, "cannot start %s", path_text(path).text);
    *process = fake::next;
    *process_id = 1234;
    fake::next = nullptr;
    return HOOK_HOST_OK;
}

Output read_output(Process& process, char* buffer, size_t size, const Deadline& deadline, size_t& got,
                   SystemError& error)
{
    const uint32_t timeout_ms = deadline.left();
    const uint64_t piece_at = process.output.empty() ? fake::never : process.output.front().at;
    const uint64_t first = std::min({piece_at, process.output_closes_at, process.ends_at, process.read_fails_at});
    if (!fake::wait_until(first, timeout_ms))
        return Output::timeout;
    if (first == process.read_fails_at) {
        error = 5;
        return Output::failed;
    }
    if (first == piece_at) {
        Process::Piece& piece = process.output.front();
        got = std::min(size, piece.bytes.size());
        memcpy(buffer, piece.bytes.data(), got);
        piece.bytes.erase(0, got);
        if (piece.bytes.empty())
            process.output.erase(process.output.begin());
        return Output::bytes;
    }
    return first == process.output_closes_at ? Output::ended : Output::host_ended;
}

End wait_for_end(Process& process, uint32_t timeout_ms, SystemError& error)
{
    if (process.end_wait_fails) {
        error = 5;
        return End::failed;
    }
    return fake::wait_until(process.ends_at, timeout_ms) ? End::ended : End::running;
}

Status take_exit_status(Process& process, int32_t& status, SystemError& error)
{
    if (process.status_fails) {
        error = 5;
        return Status::failed;
    }
    if (process.status_lost)
        return Status::lost;
    if (!process.status_taken && fake::now < fake::origin + process.status_from)
        return Status::not_yet;
    if (!process.status_taken)
        process.taken_status = process.status;
    process.status_taken = true;
    status = process.taken_status;
    return Status::taken;
}

Post post_close(Process& process, uint32_t status, SystemError& error)
{
    if (process.refusal != Post::sent) {
        error = 1444;
        return process.refusal;
    }
    process.closes.push_back(status);
    return Post::sent;
}

Post post_message(uint32_t, uint32_t, uint64_t, uint64_t, SystemError& error)
{
    error = fake::post_refusal == Post::sent ? no_reason : 5;
    return fake::post_refusal;
}

bool has_ended(uint32_t)
{
    return fake::ended_by_id;
}

intptr_t waitable(const Process&)
{
    return 77;
}

const intptr_t no_waitable = -1;

Watch watch_end(Process& process, hook_host_ended ended, void* context, SystemError&)
{
    for (const Process::Watcher& watcher : process.watchers)
        if (watcher.ended == ended && watcher.context == context)
            return Watch::already;
    process.watchers.push_back({ended, context});
    return Watch::watching;
}

void unwatch_end(Process& process, hook_host_ended ended, void* context)
{
    process.watchers.erase(std::remove_if(process.watchers.begin(), process.watchers.end(),
                                          [&](const Process::Watcher& watcher) {
                                              return !ended || (watcher.ended == ended && watcher.context == context);
                                          }),
                           process.watchers.end());
}

void release_process(Process* process)
{
    EXPECT_TRUE(process->watchers.empty()) << "its watches are ended first";
    process->released = true;
}

void forget_process(Process* process)
{
    process->forgotten = true;
}

void describe(SystemError error, char* text, size_t size)
{
    snprintf(text, size, "system error %lu", error);
}

void leave_system_error(SystemError error)
{
    fake::system_error = error;
}

} // namespace hook_control_internal
