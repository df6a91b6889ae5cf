// The controller's side of the hook host on this machine: the host is started from a thread of the
// library's own and ends by a death signal with its controller; its report line is read from a pipe,
// its close posted as a datagram to its queue (see queue_linux.h), its end watched and its status
// taken through a pidfd, never through its pid number, which a later process may have.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "close_message.h"
#include "hook_control.h"
#include "hook_control_platform.h"
#include "last_error.h"
#include "queue_linux.h"
#include "report_line.h"

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
// How often the library's thread looks whether it is the last thread of the process.
constexpr int alone_check_ms = 1000;

// The system's text for `error`; strerror's may be shared between threads.
const char* system_text(int error)
{
    const char* text = strerrordesc_np(error);
    return text ? text : "unknown error";
}

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

bool is_utf8(const char* text)
{
    const auto* byte = reinterpret_cast<const unsigned char*>(text);
    while (*byte) {
        const unsigned lead = *byte++;
        if (lead < 0x80)
            continue;
        // The lead byte says how many continuation bytes follow, and the least value it may carry.
        const int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        if (lead < 0xC2 || lead > 0xF4)
            return false;
        uint32_t code = lead & (0x3Fu >> more);
        for (int i = 0; i < more; ++i, ++byte) {
            if ((*byte & 0xC0) != 0x80)
                return false;
            code = code << 6 | (*byte & 0x3Fu);
        }
        const uint32_t least = more == 1 ? 0x80 : more == 2 ? 0x800 : 0x10000;
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
    }
    return true;
}

void pidfd_kill(int pidfd)
{
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

// Takes the status of the child behind `pidfd`, waiting for its end unless `options` holds WNOHANG:
// the process, never a later one of the same pid number (waitid(P_PIDFD), Linux 5.4). 0 or why not.
int take_status(int pidfd, siginfo_t& info, int options = 0)
{
    info = {};
    while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | options) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

int64_t now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// What poll takes as the time left until `deadline`; -1 for no limit.
int left_until(int64_t deadline, uint32_t timeout_ms)
{
    if (timeout_ms == HOOK_HOST_NO_LIMIT)
        return -1;
    const int64_t left = deadline - now_ms();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, std::numeric_limits<int>::max()));
}

// Polls `fds` until one is ready or `deadline` has passed, through signals that cut it short: what
// poll gives, 0 once the time is up.
int poll_until(pollfd* fds, nfds_t count, int64_t deadline, uint32_t timeout_ms)
{
    for (;;) {
        const int ready = poll(fds, count, left_until(deadline, timeout_ms));
        if (ready < 0 && errno == EINTR)
            continue;
        // A wait longer than poll can take in one call ends early: it is taken up again.
        if (ready != 0 || left_until(deadline, timeout_ms) == 0)
            return ready;
    }
}

bool ends_within(const hook_host& host, int milliseconds)
{
    if (host.end != hook_host::End::running)
        return true;
    pollfd ended{host.pidfd, POLLIN, 0};
    return poll_until(&ended, 1, now_ms() + milliseconds, 0) == 1;
}

bool has_ended(const hook_host& host)
{
    return ends_within(host, 0);
}

// What the child needs, all made before it is started: it shares the controller's memory until its
// exec, and writes why its set-up failed into `failed_step` and `error`, which the parent reads once
// the child has left that memory.
struct Child {
    const char* program;
    char* const* argv;
    char* const* envp;
    const char* folder;
    int input;        // /dev/null
    int output;       // the writing end of the report pipe
    int error_output; // /dev/null for a host that outlives the controller, else -1: the controller's
    pid_t controller;
    bool outlive;
    cpu_set_t affinity; // the asking thread's, as its nice value
    bool has_affinity;
    int nice;
    bool has_nice;
    const char* failed_step = nullptr;
    int error = 0;
};

// The kernel's own struct sigaction, for the raw call: SIG_DFL needs no restorer and no mask.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
};

__attribute__((no_sanitize("address", "thread", "undefined"))) int child_failed(Child& child, const char* step)
{
    child.failed_step = step;
    child.error = errno;
    return 127;
}

// The child, on a stack of its own in the controller's memory until its exec, as glibc's posix_spawn
// does it (clone with CLONE_VM | CLONE_VFORK). Only raw system calls here: no lock, no allocation, no
// thread state but errno, which is the starting thread's and that thread is held until the exec. All
// signals are blocked, since the spawning thread blocks all: no handler of the controller's runs here.
__attribute__((no_sanitize("address", "thread", "undefined"))) int run_child(void* argument)
{
    Child& child = *static_cast<Child*>(argument);
    // The death signal, then the check that the controller did not end before it was set.
    if (!child.outlive) {
        if (syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0)
            return child_failed(child, "cannot set its death signal: ");
        if (syscall(SYS_getppid) != child.controller)
            return 127;
    }
    // The asking thread's scheduling, where the system allows it: a nice value lower than the library
    // thread's needs the privilege to raise a priority.
    if (child.has_nice)
        syscall(SYS_setpriority, PRIO_PROCESS, 0, child.nice);
    if (child.has_affinity)
        syscall(SYS_sched_setaffinity, 0, sizeof child.affinity, &child.affinity);
    // Standard error stays the controller's unless given; nothing else of the controller's reaches it.
    if (syscall(SYS_dup3, child.input, STDIN_FILENO, 0) < 0 || syscall(SYS_dup3, child.output, STDOUT_FILENO, 0) < 0 ||
        (child.error_output >= 0 && syscall(SYS_dup3, child.error_output, STDERR_FILENO, 0) < 0))
        return child_failed(child, "cannot hand it its standard streams: ");
    if (syscall(SYS_chdir, child.folder) != 0)
        return child_failed(child, "cannot enter its folder: ");
    if (syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        return child_failed(child, "cannot close the controller's descriptors: ");
    // A signal ignored or blocked here would stay so in the host: it meets signals as if started anew.
    const KernelSigaction default_action{SIG_DFL, 0, nullptr, 0};
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        if (signal_number != SIGKILL && signal_number != SIGSTOP)
            syscall(SYS_rt_sigaction, signal_number, &default_action, nullptr, sizeof default_action.mask);
    const uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    syscall(SYS_execve, child.program, child.argv, child.envp);
    return child_failed(child, "");
}

// A stack for the child, which runs only until its exec; one child is started at a time.
alignas(64) char child_stack[64 * 1024];

// The C library's own clone. ThreadSanitizer's stand-in for it takes every clone for a fork and
// resets its state in the child, which here is the controller's own.
using CloneCall = int (*)(int (*)(void*), void*, int, void*, ...);
CloneCall c_library_clone()
{
    static const auto call = reinterpret_cast<CloneCall>(dlsym(RTLD_NEXT, "clone"));
    return call ? call : clone;
}

// Starts the child on this thread: its pidfd, or -errno; the child has exec'd or ended when it returns.
int clone_child(Child& child, pid_t& pid)
{
    int pidfd = -1;
    pid = c_library_clone()(run_child, child_stack + sizeof child_stack, CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD,
                            &child, &pidfd);
    return pid < 0 ? -errno : pidfd;
}

// Whether every other thread of the process has ended (the main thread stays a zombie when it
// called pthread_exit while others ran).
bool alone()
{
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return false;
    const long self = syscall(SYS_gettid);
    bool others = false;
    while (const dirent* task = readdir(tasks)) {
        const long tid = strtol(task->d_name, nullptr, 10);
        if (tid <= 0 || tid == self)
            continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/self/task/%ld/stat", tid);
        FILE* stat = fopen(path, "re");
        if (!stat)
            continue;
        char line[512];
        const bool read = fgets(line, sizeof line, stat) != nullptr;
        fclose(stat);
        const char* name_end = read ? strrchr(line, ')') : nullptr;
        if (!name_end || (name_end[2] != 'Z' && name_end[2] != 'X')) {
            others = true;
            break;
        }
    }
    closedir(tasks);
    return !others;
}

// The library's one thread. A host's death signal is sent when the *thread* that started it ends, not
// the process: hosts are started from this thread, which lasts while any host it started runs, and
// ends after the last (or when it is the process's last thread, so that it keeps no process alive).
// It also takes the status of a released host that outlived its handle, once that host ends.
class Starter {
public:
    // Runs `child` on the library's thread: the new host's pidfd, 0 where the child's set-up failed
    // (it is reaped; child.error says why), or -errno.
    int start(Child& child, pid_t& pid, uint64_t& serial)
    {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait(held, [this] { return job_ == nullptr; });
        if (const int error = run_thread())
            return -error;
        Job job{&child};
        job_ = &job;
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) { } // already due to wake: the count is not full
        changed_.wait(held, [&job] { return job.done; });
        job_ = nullptr;
        changed_.notify_all();
        pid = job.pid;
        serial = job.serial;
        return job.result;
    }

    // Leaves a released host that outlives its handle to this thread, which takes its status once it
    // ends; false where it has ended already (nothing watches it then).
    bool take_over(uint64_t serial)
    {
        const std::lock_guard<std::mutex> held(lock_);
        for (Watched& watched : watched_)
            if (watched.serial == serial)
                return watched.reap = true;
        return false;
    }

private:
    struct Job {
        Child* child;
        int result = 0;
        pid_t pid = 0;
        uint64_t serial = 0;
        bool done = false;
    };
    struct Watched {
        uint64_t serial;
        int pidfd; // a copy of the host's own
        bool reap;
    };

    // Makes the thread where it has ended; 0 or why not.
    int run_thread()
    {
        if (wake_ < 0 && (wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)
            return errno;
        if (running_)
            return 0;
        // A new thread starts with its maker's mask: with all blocked, no handler of the controller's
        // ever runs on it, not even before it runs.
        sigset_t all;
        sigset_t callers;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &callers);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const int error = pthread_create(&thread, &attributes, serve, this);
        pthread_attr_destroy(&attributes);
        pthread_sigmask(SIG_SETMASK, &callers, nullptr);
        running_ = error == 0;
        return error;
    }

    static void* serve(void* starter)
    {
        static_cast<Starter*>(starter)->serve();
        return nullptr;
    }

    void serve()
    {
        std::unique_lock<std::mutex> held(lock_);
        for (;;) {
            if (job_ && !job_->done) {
                run(*job_);
                changed_.notify_all();
                continue;
            }
            if (watched_.empty()) {
                running_ = false;
                return;
            }
            std::vector<pollfd> ready(1, pollfd{wake_, POLLIN, 0});
            for (const Watched& watched : watched_)
                ready.push_back(pollfd{watched.pidfd, POLLIN, 0});
            held.unlock();
            const int count = poll(ready.data(), ready.size(), alone_check_ms);
            if (count == 0 && alone())
                return; // the process ends with it, as it would have without it
            held.lock();
            uint64_t wakes = 0;
            if (read(wake_, &wakes, sizeof wakes) < 0) { } // nothing to take: woken by a host's end
            // Only this thread adds or removes what it watches: ready[i + 1] is still watched_[i].
            for (size_t i = watched_.size(); i-- > 0;)
                if (ready[i + 1].revents != 0)
                    end_watch(i);
        }
    }

    void run(Job& job)
    {
        const int pidfd = clone_child(*job.child, job.pid);
        job.done = true;
        if (pidfd < 0) {
            job.result = pidfd;
            return;
        }
        if (job.child->error != 0 || job.child->failed_step) {
            siginfo_t info;
            take_status(pidfd, info);
            close(pidfd);
            return;
        }
        // Watched so that this thread lasts while the host runs, for its death signal.
        const int copy = fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            pidfd_kill(pidfd);
            siginfo_t info;
            take_status(pidfd, info);
            close(pidfd);
            job.result = -errno;
            return;
        }
        job.serial = ++serials_;
        watched_.push_back(Watched{job.serial, copy, false});
        job.result = pidfd;
    }

    void end_watch(size_t index)
    {
        const Watched watched = watched_[index];
        if (watched.reap) {
            siginfo_t info;
            take_status(watched.pidfd, info, WNOHANG);
        }
        close(watched.pidfd);
        watched_.erase(watched_.begin() + static_cast<ptrdiff_t>(index));
    }

    std::mutex lock_;
    std::condition_variable changed_;
    Job* job_ = nullptr;
    std::vector<Watched> watched_;
    int wake_ = -1; // an eventfd: a job is due
    uint64_t serials_ = 0;
    bool running_ = false;
};

Starter* current_starter = nullptr;

// A forked child of the controller has no library thread: it starts one of its own when it needs it.
void after_fork()
{
    // The parent's is left as it was: its lock may be held, its list half changed. What it holds
    // open is closed by the child's exec.
    current_starter = new Starter;
}

Starter& starter()
{
    static const bool made = [] {
        current_starter = new Starter;
        pthread_atfork(nullptr, nullptr, after_fork);
        return true;
    }();
    static_cast<void>(made);
    return *current_starter;
}

// Moves a new descriptor above standard input, output and error, which a controller may have closed,
// so that setting those up in the child cannot overwrite it.
int above_standard(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
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

// The asking thread's CPU affinity and nice value, for the host: the library's thread has its own.
void take_scheduling(Child& child)
{
    CPU_ZERO(&child.affinity);
    child.has_affinity = sched_getaffinity(0, sizeof child.affinity, &child.affinity) == 0;
    errno = 0;
    child.nice = getpriority(PRIO_PROCESS, 0); // this thread's, on Linux
    child.has_nice = errno == 0;
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
    const int pidfd = starter().start(child, host.pid, host.serial);
    if (pidfd < 0)
        return failed("cannot start %s: %s", path_text(path).text, system_text(-pidfd));
    if (pidfd == 0)
        return failed("cannot start %s: %s%s", path_text(path).text, child.failed_step, system_text(child.error));
    host.pidfd = pidfd;
    host.output = output.release();
    host.outlive = outlive;
    return HOOK_HOST_OK;
}

// For a process that is not our child: gone, or ended and not yet waited for by its parent (a zombie,
// which kill() still finds).
bool has_ended(pid_t pid)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* stat = fopen(path, "re");
    if (!stat)
        return errno == ENOENT;
    char line[512];
    const bool read = fgets(line, sizeof line, stat) != nullptr;
    fclose(stat);
    // "pid (name) state ...": the name may hold anything but ends at the last ')'.
    const char* name_end = read ? strrchr(line, ')') : nullptr;
    return name_end && (name_end[2] == 'Z' || name_end[2] == 'X');
}

// Sends one message datagram to the queue of process `pid`; 0 or why not.
int send_message(pid_t pid, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0)
        return errno;
    const queue_datagram datagram{kind, 0, wparam, lparam};
    const queue_address address = queue_address_of(pid);
    const ssize_t sent = sendto(sender, &datagram, sizeof datagram, MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&address.name), address.length);
    const int error = sent == static_cast<ssize_t>(sizeof datagram) ? 0 : errno;
    close(sender);
    return error;
}

hook_host_result refused(pid_t pid, int error)
{
    switch (error) {
    case ECONNREFUSED: // nothing is bound to the name
        return failed("cannot post to process %d: not a hook host (it has no message queue): %s", static_cast<int>(pid),
                      system_text(error));
    case EAGAIN:
        return failed("cannot post to process %d: its message queue is full: %s", static_cast<int>(pid),
                      system_text(error));
    default:
        return failed("cannot post to process %d: %s", static_cast<int>(pid), system_text(error));
    }
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

extern "C" hook_host_result hook_host_wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported)
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
    if (has_ended(*host))
        return HOOK_HOST_GONE;
    const int error = send_message(host->pid, wm_close, status, 0);
    if (error == 0)
        return HOOK_HOST_OK;
    // A host whose line was read has a queue until it exits: refused, it is ending.
    return ends_within(*host, error == ECONNREFUSED ? dying_grace_ms : 0) ? HOOK_HOST_GONE : refused(host->pid, error);
}

extern "C" hook_host_result hook_host_wait(hook_host* host, uint32_t timeout_ms, int32_t* status)
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

extern "C" uint32_t hook_host_process_id(const hook_host* host)
{
    return static_cast<uint32_t>(host->pid);
}

extern "C" void hook_host_release(hook_host* host)
{
    if (!host)
        return;
    const NoCancel held_off;
    siginfo_t info;
    if (host->end == hook_host::End::running && !host->outlive) {
        // As if its controller had ended: the same signal, then its status, so that no zombie is left.
        pidfd_kill(host->pidfd);
        take_status(host->pidfd, info);
    } else if (host->end == hook_host::End::running && !starter().take_over(host->serial)) {
        take_status(host->pidfd, info, WNOHANG); // it has ended: nothing is left to wait for
    }
    close(host->pidfd);
    close(host->output);
    delete host;
}

extern "C" hook_host_result hook_host_post(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    // A pid_t is signed: a larger id would name a process group to kill().
    if (process_id == 0 || process_id > static_cast<uint32_t>(std::numeric_limits<pid_t>::max()))
        return HOOK_HOST_GONE;
    const pid_t pid = static_cast<pid_t>(process_id);
    // The host drops messages from other users, as Windows refuses them: say so up front, by the
    // kernel's own rule for who may signal whom.
    if (kill(pid, 0) != 0)
        return errno == ESRCH ? HOOK_HOST_GONE
                              : failed("cannot post to process %d: access denied: %s", pid, system_text(errno));
    const int error = send_message(pid, kind, wparam, lparam);
    if (error == 0)
        return HOOK_HOST_OK;
    if (error == ECONNREFUSED && has_ended(pid))
        return HOOK_HOST_GONE;
    return refused(pid, error);
}
