// hook_control's primitives on this machine: the host is started from the library's own thread
// (start_and_reap_thread_linux.h) as a cloned child (start_child_linux.cpp) and ends by a death signal
// with its controller; its report line is read from a pipe, its close posted as a datagram to its
// queue (post_linux.h), its end watched and its status taken through a pidfd (pidfd_linux.h), never
// through its pid number, which a later process may have. Every descriptor the library holds is kept
// above standard input, output and error, which a controller may have closed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>

#include "close_message.h"
#include "fd_linux.h"
#include "hook_control_platform.h"
#include "pidfd_linux.h"
#include "post_linux.h"
#include "start_and_reap_thread_linux.h"
#include "start_child_linux.h"

namespace hook_control_internal {

struct Process {
    pid_t pid = 0;
    Fd pidfd;  // readable once the host has ended; its status is taken through it
    Fd output; // our end of the host's standard output
    uint64_t serial = 0;
    bool outlive = false;
    // Its status is taken once, under the lock, and kept: two waits at once both give it.
    std::mutex status_lock;
    Status end = Status::not_yet; // taken, or lost to a wait of the controller's own
    int32_t status = 0;
};

namespace {

// Opens `path` above the standard descriptors; false with `error` where it cannot.
bool open_above_standard(const char* path, int flags, Fd& opened, SystemError& error)
{
    opened.value = above_standard(open(path, flags | O_CLOEXEC));
    error = opened.value < 0 ? static_cast<SystemError>(errno) : no_reason;
    return opened.value >= 0;
}

// The host's output pipe, both ends above the standard descriptors.
bool make_pipe(Fd& reading, Fd& writing, SystemError& error)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = static_cast<SystemError>(errno);
        return false;
    }
    reading.value = above_standard(ends[0]);
    const int reading_error = errno;
    writing.value = above_standard(ends[1]);
    error = static_cast<SystemError>(reading.value < 0 ? reading_error : errno);
    return reading.value >= 0 && writing.value >= 0;
}

// The program's absolute path, since the host starts in its own folder, so that it takes nothing from
// ours.
bool absolute(const char* path, std::string& program, SystemError& error)
{
    program = path;
    if (program[0] == '/')
        return true;
    char folder[4096];
    if (!getcwd(folder, sizeof folder)) {
        error = static_cast<SystemError>(errno);
        return false;
    }
    program = std::string(folder) + "/" + program;
    return true;
}

hook_host_result start(const char* path, int32_t number, uint32_t flags, Process& process)
{
    const PathText shown = path_text(path);
    SystemError error = no_reason;
    std::string program;
    if (!absolute(path, program, error))
        return failed(error, "cannot start %s: cannot read the current folder", shown.text);
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    std::string number_text = std::to_string(number);
    char* const argv[] = {program.data(), number_text.data(), nullptr};

    // A host that outlives the controller holds none of its pipes: `controller 2>&1 | cat` ends with it.
    const bool outlive = (flags & HOOK_HOST_OUTLIVE_CONTROLLER) != 0;
    Fd input;
    Fd error_output;
    Fd output_writing;
    if (!open_above_standard("/dev/null", O_RDONLY, input, error) ||
        (outlive && !open_above_standard("/dev/null", O_WRONLY, error_output, error)) ||
        !make_pipe(process.output, output_writing, error))
        return failed(error, "cannot start %s", shown.text);

    Child child{.program = program.c_str(),
                .argv = argv,
                .envp = environ,
                .folder = folder.c_str(),
                .input = input.value,
                .output = output_writing.value,
                .error_output = error_output.value,
                .controller = getpid(),
                .outlive = outlive};
    take_scheduling(child);
    const Started started = start_on_library_thread(child);
    process.pidfd.value = started.pidfd;
    if (started.error != 0)
        return failed(static_cast<SystemError>(started.error), "cannot start %s", shown.text);
    if (child.failed_step && *child.failed_step)
        return failed(static_cast<SystemError>(child.error), "cannot start %s: %s", shown.text, child.failed_step);
    if (child.failed_step) // its exec
        return failed(static_cast<SystemError>(child.error), "cannot start %s", shown.text);
    process.pid = started.pid;
    process.serial = started.serial;
    process.outlive = outlive;
    return HOOK_HOST_OK;
}

} // namespace

uint64_t now_ms()
{
    return static_cast<uint64_t>(monotonic_ms());
}

void pause_ms(uint32_t ms)
{
    const timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    nanosleep(&pause, nullptr); // a signal cuts it short: the caller's deadline holds
}

uint32_t current_process_id()
{
    return static_cast<uint32_t>(getpid());
}

NoCancel::NoCancel()
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_);
}

NoCancel::~NoCancel()
{
    pthread_setcancelstate(old_, nullptr);
}

hook_host_result create_process(const char* path, int32_t number, uint32_t flags, Process** process,
                                uint32_t* process_id)
{
    Process* made = new (std::nothrow) Process;
    if (!made)
        return failed(no_reason, "cannot start %s: out of memory", path_text(path).text);
    hook_host_result result = HOOK_HOST_FAILED;
    try {
        result = start(path, number, flags, *made);
    } catch (const std::exception& error) { // memory
        result = failed(no_reason, "cannot start %s: %s", path_text(path).text, error.what());
    }
    if (result != HOOK_HOST_OK) {
        delete made;
        return result;
    }
    *process = made;
    *process_id = static_cast<uint32_t>(made->pid);
    return HOOK_HOST_OK;
}

Output read_output(Process& process, char* buffer, size_t size, const Deadline& deadline, size_t& got,
                   SystemError& error)
{
    // Both at once: output the host wrote before it ended is readable when its end is seen.
    pollfd ready[] = {{process.output.value, POLLIN, 0}, {process.pidfd.value, POLLIN, 0}};
    const uint32_t timeout_ms = deadline.left();
    const int count = poll_until(ready, 2, monotonic_ms() + timeout_ms, timeout_ms);
    if (count < 0) {
        error = static_cast<SystemError>(errno);
        return Output::failed;
    }
    if (count == 0)
        return Output::timeout;
    if (ready[0].revents == 0)
        return Output::host_ended;
    ssize_t read_now = 0;
    while ((read_now = read(process.output.value, buffer, size)) < 0 && errno == EINTR) { }
    if (read_now < 0) {
        error = static_cast<SystemError>(errno);
        return Output::failed;
    }
    got = static_cast<size_t>(read_now);
    return got == 0 ? Output::ended : Output::bytes;
}

End wait_for_end(Process& process, uint32_t timeout_ms, SystemError& error)
{
    // A pidfd polls readable from the end on, before and after its status is taken.
    const int count = pidfd_wait(process.pidfd.value, timeout_ms);
    if (count < 0) {
        error = static_cast<SystemError>(errno);
        return End::failed;
    }
    return count == 1 ? End::ended : End::running;
}

Status take_exit_status(Process& process, int32_t& status, SystemError& error)
{
    const std::lock_guard<std::mutex> held(process.status_lock);
    if (process.end == Status::not_yet) {
        siginfo_t info;
        const int taken = take_status(process.pidfd.value, info, WNOHANG);
        if (taken != 0 && taken != ECHILD) {
            error = static_cast<SystemError>(taken);
            return Status::failed;
        }
        if (taken == 0 && info.si_pid == 0)
            return Status::not_yet; // a tracer has not taken its end yet
        process.end = taken == ECHILD ? Status::lost : Status::taken;
        process.status = info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
    }
    status = process.status;
    return process.end;
}

Post post_close(Process& process, uint32_t status, SystemError& error)
{
    return send_to_queue(process.pid, wm_close, status, 0, error);
}

intptr_t waitable(const Process& process)
{
    return process.pidfd.value;
}

const intptr_t no_waitable = -1;

Watch watch_end(Process& process, hook_host_ended ended, void* context, SystemError& error)
{
    const int made = watch_when_ended(process.serial, process.pidfd.value, ended, context);
    error = static_cast<SystemError>(made);
    return made == 0 ? Watch::watching : made == EEXIST ? Watch::already : Watch::failed;
}

void unwatch_end(Process& process, hook_host_ended ended, void* context)
{
    unwatch(process.serial, ended, context);
}

void release_process(Process* process)
{
    bool taken = false;
    {
        const std::lock_guard<std::mutex> held(process->status_lock);
        taken = process->end != Status::not_yet;
    }
    // As if its controller had ended: the same signal; its status is taken once it can be.
    if (!taken && !process->outlive)
        pidfd_kill(process->pidfd.value);
    siginfo_t info;
    if (!taken && !reap_when_ended(process->serial, process->pidfd.value))
        take_status(process->pidfd.value, info, WNOHANG); // no thread: it has ended, or is ending by the signal
    delete process;
}

void forget_process(Process* process)
{
    delete process; // closes this process's copies only
}

} // namespace hook_control_internal
