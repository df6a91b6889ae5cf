// The calls of hook_control.h: every algorithm of the protocol, written once over the platform's
// primitives (hook_control_platform.h), so that both platforms give the same results at the same
// moments. As Rust's standard library and libuv do, the platform files only create, read, post, wait
// and free; what to make of their answers is decided here.
//
// The hazards, each with its answer:
// - A host's queue exists once its report line is out: a close waits for the line before it posts.
// - A program may close its output without a line and run on: it is given a second to end before it
//   is taken for no host, and that second never makes a wait outlast its timeout. A verdict once
//   reached is kept, and given at once by every later call.
// - A host's pid may be another process's once it has ended and been waited for: nothing is posted
//   to a host that has ended, and a refused post looks again whether it has.
// - A host's queue goes a moment before its end can be seen: a close refused for want of a queue
//   waits a moment for that end before it says the program is no host.
// - A process's end is signalled before its status can be taken where a tracer (a debugger, strace)
//   takes the end first, and nothing tells when it has: the status is taken without waiting, and
//   looked for again, less and less often, within the call's time. A host "has ended" once its status
//   can be taken; a watch calls back only then.
// - Two waits at once: the platform takes the status once and gives it to both, so that a known end
//   is never turned into a lost one.
// - A handle is copied into a forked child with the controller's memory: a host belongs to the
//   process that started it, and anywhere else a release frees memory only, never ending the host or
//   taking its status, and the calls that would read, post or wait refuse.
// - A thread may be cancelled (POSIX threads): every call that starts, posts, releases or watches
//   holds cancellation off (NoCancel) and is made whole; only the waits are cancellation points, and
//   they leave the host as it was.
// - A caller may hand NULL for a handle or an out-pointer: every call says so, or stores nothing.
// - A host that ends on its own (its hook library missing) is the commonest failure: the call that
//   finds it gone says so in hook_host_last_error, with its status and what the status means.
//
// Plain C++14 over C headers, as every file that an application compiles in: no C++ library header,
// nothing thrown, memory from the C library (allocation.h).
#include "hook_control.h"

#include <stdio.h>

#include "allocation.h"
#include "hook_control_platform.h"
#include "last_error.h"
#include "report_line.h"

using namespace hook_control_internal;

namespace {

// How long a host whose output has ended is given to end, before it is taken for a program that
// closed its output without reporting.
constexpr uint32_t output_end_grace_ms = 1000;

// How long a host whose queue refuses a close is given to end: its queue goes as it exits.
constexpr uint32_t dying_grace_ms = 1000;

// How often a status that a tracer holds is looked for again: first after 1 ms, at last every 50 ms.
constexpr uint32_t first_status_pause_ms = 1;
constexpr uint32_t last_status_pause_ms = 50;

} // namespace

struct hook_host : CAllocated {
    // Where the report line is.
    enum class Report {
        awaited,
        read,
        malformed,          // its first line is not a report line: it is no host
        closed_without_line // its output closed without a line, and it ran on: it is no host
    };
    Process* process = nullptr;
    uint32_t process_id = 0;
    uint32_t owner = 0; // the process that started it
    ReportLine line;
    Report report = Report::awaited;
    bool output_ended = false;    // before a whole line
    uint64_t output_ended_ms = 0; // when it did
};

namespace {

hook_host_result no_host(const char* call)
{
    return failed(no_reason, "%s: no host (the handle is NULL)", call);
}

unsigned long id_of(const hook_host& host)
{
    return host.process_id;
}

// Whether the calling process is not the one that started the host (a fork of it), which `call` is
// then refused in.
bool elsewhere(const hook_host& host, const char* call)
{
    const uint32_t here = current_process_id();
    if (here == host.owner)
        return false;
    failed(no_reason,
           "%s: host %lu belongs to process %lu, which started it; process %lu (a fork of it) may only release it, "
           "which ends nothing",
           call, id_of(host), static_cast<unsigned long>(host.owner), static_cast<unsigned long>(here));
    return true;
}

// Records that the host has ended, with its status and what that means where the status can be taken
// already (it is not waited for), and returns HOOK_HOST_GONE.
hook_host_result gone(hook_host& host)
{
    int32_t status = 0;
    SystemError error = no_reason;
    switch (take_exit_status(*host.process, status, error)) {
    case Status::taken:
        break;
    case Status::not_yet:
        failed(no_reason, "process %lu has ended; its status cannot be read yet (a tracer holds it)", id_of(host));
        return HOOK_HOST_GONE;
    case Status::lost:
    case Status::failed:
        failed(error, "process %lu has ended; its status cannot be read", id_of(host));
        return HOOK_HOST_GONE;
    }
    // The system's codes in hex (0xC0000135), as the platform writes them; the rest in decimal.
    char name[16];
    if (status <= -256)
        snprintf(name, sizeof name, "0x%08X", static_cast<unsigned>(status));
    else
        snprintf(name, sizeof name, "%d", static_cast<int>(status));
    const char* meaning = hook_host_status_text(status);
    failed(no_reason, "process %lu has ended with status %s%s%s", id_of(host), name, *meaning ? ": " : "", meaning);
    return HOOK_HOST_GONE;
}

// Records that there is no process `process_id` for a post, and returns HOOK_HOST_GONE.
hook_host_result no_process(uint32_t process_id)
{
    failed(no_reason, "cannot post to process %lu: there is no such process", static_cast<unsigned long>(process_id));
    return HOOK_HOST_GONE;
}

// What a refused post means, in words.
hook_host_result refused(uint32_t process_id, Post post, SystemError error)
{
    const unsigned long id = process_id;
    switch (post) {
    case Post::no_queue:
        return failed(error, "cannot post to process %lu: not a hook host (its main thread has no message queue)", id);
    case Post::not_its_own:
        return failed(error,
                      "cannot post to process %lu: not a hook host (its message queue's name is bound by another "
                      "process; nothing was sent)",
                      id);
    case Post::owner_unseen:
        return failed(error,
                      "cannot post to process %lu: /proc is not mounted, so whether its message queue is its own "
                      "cannot be looked at; nothing was sent",
                      id);
    case Post::queue_full:
        return failed(error, "cannot post to process %lu: its message queue is full", id);
    case Post::denied:
        return failed(error, "cannot post to process %lu: access denied", id);
    default:
        return failed(error, "cannot post to process %lu", id);
    }
}

// Whether a post refused so means that the process may be ending: its queue goes as it exits.
bool may_be_ending(Post post)
{
    return post == Post::no_queue || post == Post::not_its_own;
}

// Once the output has ended before a whole line: the host is given its moment to end, within the
// time the call has. HOOK_HOST_OK once the moment has passed: it is no host.
hook_host_result after_output_end(hook_host& host, const Deadline& deadline)
{
    const uint64_t grace_end = host.output_ended_ms + output_end_grace_ms;
    const uint64_t now = now_ms();
    const uint32_t grace_left = now >= grace_end ? 0 : static_cast<uint32_t>(grace_end - now);
    const bool grace_first = deadline.after(grace_end);
    SystemError error = no_reason;
    switch (wait_for_end(*host.process, grace_first ? grace_left : deadline.left(), error)) {
    case End::ended:
        return gone(host);
    case End::failed:
        return failed(error, "cannot wait for the report line of process %lu", id_of(host));
    case End::running:
        break;
    }
    if (!grace_first)
        return HOOK_HOST_TIMEOUT;
    host.report = hook_host::Report::closed_without_line;
    return HOOK_HOST_OK;
}

// Reads the report line until there is a verdict on it (HOOK_HOST_OK), the host has ended, or the
// time is up.
hook_host_result read_report(hook_host& host, const Deadline& deadline)
{
    while (host.report == hook_host::Report::awaited) {
        if (host.output_ended) {
            const hook_host_result result = after_output_end(host, deadline);
            if (result != HOOK_HOST_OK)
                return result;
            continue;
        }
        char buffer[64];
        size_t got = 0;
        SystemError error = no_reason;
        switch (read_output(*host.process, buffer, sizeof buffer, deadline, got, error)) {
        case Output::bytes:
            switch (host.line.take(buffer, got)) {
            case ReportLine::State::read:
                host.report = hook_host::Report::read;
                break;
            case ReportLine::State::malformed:
                host.report = hook_host::Report::malformed;
                break;
            case ReportLine::State::incomplete:
                break;
            }
            break;
        case Output::ended:
            host.output_ended = true;
            host.output_ended_ms = now_ms();
            break;
        case Output::host_ended:
            return gone(host);
        case Output::timeout:
            return HOOK_HOST_TIMEOUT;
        case Output::failed:
            return failed(error, "cannot read the report line of process %lu", id_of(host));
        }
    }
    return HOOK_HOST_OK;
}

// The verdict on the report line, the same on every call once it is reached.
hook_host_result report_verdict(const hook_host& host, int32_t* reported)
{
    if (host.report == hook_host::Report::malformed)
        return failed(no_reason, "process %lu is not a hook host: its first line is '%s'", id_of(host),
                      host.line.text());
    if (host.report == hook_host::Report::closed_without_line)
        return failed(no_reason, "process %lu closed its standard output without a report line (it is not a hook host)",
                      id_of(host));
    if (reported)
        *reported = host.line.number();
    return HOOK_HOST_OK;
}

hook_host_result wait_report(hook_host& host, uint32_t timeout_ms, int32_t* reported)
{
    const hook_host_result reading = read_report(host, Deadline(timeout_ms));
    return reading == HOOK_HOST_OK ? report_verdict(host, reported) : reading;
}

// Whether the host's end is signalled, or is within `timeout_ms`: nothing more reaches it.
bool ends_within(hook_host& host, uint32_t timeout_ms)
{
    SystemError error = no_reason;
    return wait_for_end(*host.process, timeout_ms, error) == End::ended;
}

// Stores the host's status in `status` once it can be taken, within the time.
hook_host_result take_status(hook_host& host, const Deadline& deadline, int32_t& status)
{
    uint32_t pause = first_status_pause_ms;
    for (;;) {
        // On the process itself, never on an exit code alone, which a running process has too (259).
        SystemError error = no_reason;
        switch (wait_for_end(*host.process, deadline.left(), error)) {
        case End::running:
            return HOOK_HOST_TIMEOUT;
        case End::failed:
            return failed(error, "cannot wait for process %lu", id_of(host));
        case End::ended:
            break;
        }
        switch (take_exit_status(*host.process, status, error)) {
        case Status::taken:
            return HOOK_HOST_OK;
        case Status::lost:
            return failed(no_reason,
                          "cannot read the exit status of process %lu: it was taken by a wait of the controller's own "
                          "(a wait for any child, or SIGCHLD ignored)",
                          id_of(host));
        case Status::failed:
            return failed(error, "cannot read the exit status of process %lu", id_of(host));
        case Status::not_yet:
            break;
        }
        const uint32_t left = deadline.left();
        if (left == 0)
            return HOOK_HOST_TIMEOUT;
        pause_ms(left < pause ? left : pause);
        pause = pause * 2 < last_status_pause_ms ? pause * 2 : last_status_pause_ms;
    }
}

} // namespace

extern "C" hook_host_result hook_host_start(const char* path, int32_t number, uint32_t flags, hook_host** host)
{
    if (host)
        *host = nullptr;
    if (!path || !host)
        return failed(no_reason, "hook_host_start: no path, or nowhere to store the host");
    if (flags & ~HOOK_HOST_OUTLIVE_CONTROLLER)
        return failed(no_reason, "hook_host_start: unknown flags 0x%x", flags & ~HOOK_HOST_OUTLIVE_CONTROLLER);
    if (!*path)
        return failed(no_reason, "cannot start '': the path is empty");
    if (!is_utf8(path))
        return failed(no_reason, "cannot start %s: the path is not UTF-8", path_text(path).text);
    const NoCancel held_off;
    hook_host* made = new hook_host;
    if (!made)
        return failed(no_reason, "cannot start %s: out of memory", path_text(path).text);
    const hook_host_result result = create_process(path, number, flags, &made->process, &made->process_id);
    if (result != HOOK_HOST_OK) {
        delete made;
        return result;
    }
    made->owner = current_process_id();
    *host = made;
    return HOOK_HOST_OK;
}

extern "C" hook_host_result hook_host_wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported)
{
    if (!host)
        return no_host("hook_host_wait_report");
    if (elsewhere(*host, "hook_host_wait_report"))
        return HOOK_HOST_FAILED;
    return wait_report(*host, timeout_ms, reported);
}

extern "C" hook_host_result hook_host_close(hook_host* host, uint32_t status)
{
    if (!host)
        return no_host("hook_host_close");
    if (elsewhere(*host, "hook_host_close"))
        return HOOK_HOST_FAILED;
    // The host's queue exists once its line is out: a close posted before would not reach it.
    const hook_host_result report = wait_report(*host, HOOK_HOST_CLOSE_REPORT_MS, nullptr);
    if (report != HOOK_HOST_OK)
        return report;
    // Whoever has its id once the host has ended is not the host.
    if (ends_within(*host, 0))
        return gone(*host);
    SystemError error = no_reason;
    Post post = Post::sent;
    {
        const NoCancel held_off;
        post = post_close(*host->process, status, error);
    }
    if (post == Post::sent)
        return HOOK_HOST_OK;
    if (ends_within(*host, may_be_ending(post) ? dying_grace_ms : 0))
        return gone(*host);
    return refused(host->process_id, post, error);
}

extern "C" hook_host_result hook_host_wait(hook_host* host, uint32_t timeout_ms, int32_t* status)
{
    if (!host)
        return no_host("hook_host_wait");
    if (elsewhere(*host, "hook_host_wait"))
        return HOOK_HOST_FAILED;
    int32_t taken = 0;
    const hook_host_result result = take_status(*host, Deadline(timeout_ms), taken);
    if (result == HOOK_HOST_OK && status)
        *status = taken;
    return result;
}

extern "C" uint32_t hook_host_process_id(const hook_host* host)
{
    if (!host) {
        no_host("hook_host_process_id");
        return 0;
    }
    return host->process_id;
}

extern "C" intptr_t hook_host_waitable(const hook_host* host)
{
    if (!host) {
        no_host("hook_host_waitable");
        return no_waitable;
    }
    if (elsewhere(*host, "hook_host_waitable"))
        return no_waitable;
    return waitable(*host->process);
}

extern "C" hook_host_result hook_host_watch(hook_host* host, hook_host_ended ended, void* context)
{
    if (!host)
        return no_host("hook_host_watch");
    if (!ended)
        return failed(no_reason, "hook_host_watch: no callback");
    if (elsewhere(*host, "hook_host_watch"))
        return HOOK_HOST_FAILED;
    const NoCancel held_off;
    SystemError error = no_reason;
    switch (watch_end(*host->process, ended, context, error)) {
    case Watch::watching:
        return HOOK_HOST_OK;
    case Watch::already:
        return failed(no_reason, "hook_host_watch: process %lu is watched already with this callback and context",
                      id_of(*host));
    case Watch::failed:
        break;
    }
    return failed(error, "cannot watch process %lu", id_of(*host));
}

extern "C" hook_host_result hook_host_unwatch(hook_host* host, hook_host_ended ended, void* context)
{
    if (!host)
        return no_host("hook_host_unwatch");
    if (!ended)
        return failed(no_reason, "hook_host_unwatch: no callback");
    if (elsewhere(*host, "hook_host_unwatch"))
        return HOOK_HOST_FAILED;
    const NoCancel held_off;
    unwatch_end(*host->process, ended, context);
    return HOOK_HOST_OK;
}

extern "C" void hook_host_release(hook_host* host)
{
    if (!host)
        return;
    const NoCancel held_off;
    // Memory alone where the host is another process's: what a fork copied ends nothing of its parent's.
    if (current_process_id() == host->owner) {
        unwatch_end(*host->process, nullptr, nullptr); // no callback tells of the end a release brings
        release_process(host->process);
    } else {
        forget_process(host->process);
    }
    delete host;
}

extern "C" hook_host_result hook_host_post(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    // Process 0 is the idle process on Windows and the caller's process group to kill() on Linux:
    // neither has a host's queue.
    if (process_id == 0)
        return no_process(process_id);
    const NoCancel held_off;
    SystemError error = no_reason;
    const Post post = post_message(process_id, kind, wparam, lparam, error);
    if (post == Post::sent)
        return HOOK_HOST_OK;
    if (post == Post::no_process || (may_be_ending(post) && has_ended(process_id)))
        return no_process(process_id);
    return refused(process_id, post, error);
}
