// The controller's side of the hook host on this machine: the host is started from the library's own
// thread (start_and_reap_thread_linux.h) as a cloned child (start_child_linux.cpp) and ends by a death
// signal with its controller; its report line is read from a pipe, its close posted as a datagram to
// its queue (post_linux.h), its end watched and its status taken through a pidfd (pidfd_linux.h),
// never through its pid number, which a later process may have.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <new>
#include <string>

#include "close_message.h"
#include "hook_control.h"
#include "hook_control_platform.h"
#include "last_error.h"
#include "pidfd_linux.h"
#include "post_linux.h"
#include "report_line.h"
#include "start_and_reap_thread_linux.h"
#include "start_child_linux.h"
#include "system_text_linux.h"

struct hook_host {
    enum class End { running, reaped, lost };

    pid_t pid = 0;
    int pidfd = -1;  // readable once the host has ended; its status is taken through it
    int output = -1; // our end of the host's standard output
    uint64_t serial = 0;
    bool outlive = false;
    End end = End::running; // lost: its status was taken by a wait of the controller's own
    int32_t status = 0;
    int64_t output_ended_ms = -1; // when its output ended before a whole line
    ReportLine line;
};

namespace {

// How long a host whose queue refuses a post is given to end: its queue goes as it exits.
constexpr int dying_grace_ms = 1000;

// A descriptor closed when it goes out of scope, unless released.
struct Fd {
    int value = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        reset();
    }
    void reset()
    {
        if (value >= 0)
            close(value);
        value = -1;
    }
    int release()
    {
        const int released = value;
        value = -1;
        return released;
    }
};

// Cancellation is held off while a call changes what the library shares between threads.
struct NoCancel {
    int old = 0;
    NoCancel()
    {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;
    ~NoCancel()
    {
        pthread_setcancelstate(old, nullptr);
    }
};

// Whether `host` ends within `milliseconds` (0: whether it has ended).
bool ends_within(const hook_host& host, int milliseconds)
{
    return host.end != hook_host::End::running || pidfd_ends_within(host.pidfd, milliseconds);
}

bool make_pipe(Fd& reading, Fd& writing)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    reading.value = above_standard(ends[0]);
    writing.value = above_standard(ends[1]);
    return reading.value >= 0 && writing.value >= 0;
}

hook_host_result start(const char* path, int32_t number, uint32_t flags, hook_host& host)
{
    // An absolute path, since the host starts in its own folder, so that it takes nothing from ours.
    if (!*path)
        return failed("cannot start '': the path is empty");
    if (!is_utf8(path))
        return failed("cannot start %s: the path is not UTF-8", path_text(path).text);
    std::string program = path;
    if (program[0] != '/') {
        char folder[4096];
        if (!getcwd(folder, sizeof folder))
            return failed("cannot start %s: cannot read the current folder: %s", path_text(path).text,
                          system_text(errno));
        program = std::string(folder) + "/" + program;
    }
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    std::string number_text = std::to_string(number);
    char* const argv[] = {program.data(), number_text.data(), nullptr};

    const bool outlive = (flags & HOOK_HOST_OUTLIVE_CONTROLLER) != 0;
    Fd output;
    Fd output_writing;
    Fd input;
    Fd error_output;
    input.value = above_standard(open("/dev/null", O_RDONLY | O_CLOEXEC));
    // A host that outlives the controller holds none of its pipes: `controller 2>&1 | cat` ends with it.
    if (outlive)
        error_output.value = above_standard(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (input.value < 0 || (outlive && error_output.value < 0) || !make_pipe(output, output_writing))
        return failed("cannot start %s: %s", path_text(path).text, system_text(errno));

    Child child{program.c_str(),
                argv,
                environ,
                folder.c_str(),
                input.value,
                output_writing.value,
                error_output.value,
                getpid(),
                outlive,
                {},
                false,
                0,
                false};
    take_scheduling(child);
    const int pidfd = start_on_library_thread(child, host.pid, host.serial);
    if (pidfd < 0)
        return failed("cannot start %s: %s", path_text(path).text, system_text(-pidfd));
    if (pidfd == 0)
        return failed("cannot start %s: %s%s", path_text(path).text, child.failed_step, system_text(child.error));
    host.pidfd = pidfd;
    host.output = output.release();
    host.outlive = outlive;
    return HOOK_HOST_OK;
}

// Once the output has ended before a whole line: the host is given a moment to end.
hook_host_result after_output_end(hook_host& host, int64_t deadline, uint32_t timeout_ms)
{
    const int64_t grace_end = host.output_ended_ms + output_end_grace_ms;
    const bool grace_first = timeout_ms == HOOK_HOST_NO_LIMIT || grace_end <= deadline;
    pollfd ended{host.pidfd, POLLIN, 0};
    const int count = poll_until(&ended, 1, grace_first ? grace_end : deadline, 0);
    if (count < 0)
        return failed("cannot wait for the report line of process %d: %s", host.pid, system_text(errno));
    if (count == 1)
        return HOOK_HOST_GONE;
    if (!grace_first)
        return HOOK_HOST_TIMEOUT;
    return ReportLine::closed_without_line(static_cast<unsigned long>(host.pid));
}

} // namespace

hook_host_result start_host(const char* path, int32_t number, uint32_t flags, hook_host** host)
{
    const NoCancel held_off;
    hook_host* made = new (std::nothrow) hook_host;
    hook_host_result result = HOOK_HOST_FAILED;
    try {
        result =
            made ? start(path, number, flags, *made) : failed("cannot start %s: out of memory", path_text(path).text);
    } catch (const std::exception& error) { // memory
        result = failed("cannot start %s: %s", path_text(path).text, error.what());
    }
    if (result == HOOK_HOST_OK)
        *host = made;
    else
        delete made;
    return result;
}

hook_host_result wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported)
{
    const int64_t deadline = now_ms() + timeout_ms;
    while (host->line.state() == ReportLine::State::incomplete) {
        if (host->output_ended_ms >= 0)
            return after_output_end(*host, deadline, timeout_ms);
        // Both at once: output the host wrote before it ended is readable when its end is seen.
        pollfd ready[] = {{host->output, POLLIN, 0}, {host->pidfd, POLLIN, 0}};
        const int count = poll_until(ready, 2, deadline, timeout_ms);
        if (count < 0)
            return failed("cannot wait for the report line of process %d: %s", host->pid, system_text(errno));
        if (count == 0)
            return HOOK_HOST_TIMEOUT;
        if (ready[0].revents == 0) // ended, with nothing more to read
            return HOOK_HOST_GONE;
        char buffer[64];
        const ssize_t got = read(host->output, buffer, sizeof buffer);
        if (got == 0)
            host->output_ended_ms = now_ms();
        if (got < 0 && errno != EINTR)
            return failed("cannot read the report line of process %d: %s", host->pid, system_text(errno));
        if (got > 0)
            host->line.take(buffer, static_cast<size_t>(got));
    }
    return host->line.outcome(static_cast<unsigned long>(host->pid), reported);
}

hook_host_result post_close(hook_host* host, uint32_t status)
{
    // Whoever has the name once the host has ended is not the host.
    if (ends_within(*host, 0))
        return HOOK_HOST_GONE;
    const int error = send_message(host->pid, wm_close, status, 0);
    if (error == 0)
        return HOOK_HOST_OK;
    // A host whose line was read has a queue until it exits: without one, it is ending.
    return ends_within(*host, has_no_queue(error) ? dying_grace_ms : 0) ? HOOK_HOST_GONE : refused(host->pid, error);
}

hook_host_result wait_end(hook_host* host, uint32_t timeout_ms, int32_t* status)
{
    const int64_t deadline = now_ms() + timeout_ms;
    if (host->end == hook_host::End::running) {
        pollfd ended{host->pidfd, POLLIN, 0};
        const int count = poll_until(&ended, 1, deadline, timeout_ms);
        if (count < 0)
            return failed("cannot wait for process %d: %s", host->pid, system_text(errno));
        if (count == 0)
            return HOOK_HOST_TIMEOUT;
        siginfo_t info;
        if (take_status(host->pidfd, info) != 0) {
            host->end = hook_host::End::lost;
        } else {
            host->end = hook_host::End::reaped;
            host->status = info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
        }
    }
    if (host->end == hook_host::End::lost)
        return failed("cannot read the exit status of process %d: it was taken by a wait of the controller's own (a "
                      "wait for any child, or SIGCHLD ignored)",
                      host->pid);
    *status = host->status;
    return HOOK_HOST_OK;
}

uint32_t process_id(const hook_host* host)
{
    return static_cast<uint32_t>(host->pid);
}

const intptr_t no_waitable = -1;

intptr_t waitable(const hook_host* host)
{
    return host->pidfd;
}

void release_host(hook_host* host)
{
    const NoCancel held_off;
    siginfo_t info;
    if (host->end == hook_host::End::running && !host->outlive) {
        // As if its controller had ended: the same signal, then its status, so that no zombie is left.
        pidfd_kill(host->pidfd);
        take_status(host->pidfd, info);
    } else if (host->end == hook_host::End::running && !reap_when_ended(host->serial)) {
        take_status(host->pidfd, info, WNOHANG); // it has ended: nothing is left to wait for
    }
    close(host->pidfd);
    close(host->output);
    delete host;
}
