// The controller's side of the hook host on this machine: the host is forked from a thread of the
// library's own and ends by a death signal with its controller; its report line is read from a pipe,
// its close posted as a datagram to its queue (see queue_linux.h), its end watched through a pidfd.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "close_message.h"
#include "hook_control.h"
#include "hook_control_platform.h"
#include "last_error.h"
#include "queue_linux.h"
#include "report_line.h"

struct hook_host {
    pid_t pid = 0;
    int pidfd = -1;  // readable once the host has ended
    int output = -1; // our end of the host's standard output
    bool outlive = false;
    bool reaped = false;
    int32_t status = 0;
    ReportLine line;
};

namespace {

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

// glibc's <sys/pidfd.h> declares these without C linkage; the system calls are the same.
int pidfd_open(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void pidfd_kill(int pidfd)
{
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

// Waits for child `pid` to end, so that it is not left a zombie, and gives waitpid's result; its
// status in *code where that is given.
pid_t reap(pid_t pid, int* code = nullptr)
{
    pid_t got;
    while ((got = waitpid(pid, code, 0)) < 0 && errno == EINTR) { }
    return got;
}

// The library's threads take no signal of the controller's: its handlers run where it expects them.
void block_signals()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
}

// A host's death signal is sent when the *thread* that forked it ends, not the process; hosts are
// forked from this thread, which lasts as long as the process.
class Spawner {
public:
    static Spawner& instance()
    {
        static Spawner& spawner = []() -> Spawner& {
            std::unique_ptr<Spawner> made(new Spawner);
            std::thread([spawner = made.get()] { spawner->serve(); }).detach();
            return *made.release();
        }();
        return spawner;
    }

    // Runs `fork_host` on the spawner's thread and gives what it gives.
    pid_t run(const std::function<pid_t()>& fork_host)
    {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait(held, [this] { return job_ == nullptr; });
        job_ = &fork_host;
        done_ = false;
        changed_.notify_all();
        changed_.wait(held, [this] { return done_; });
        const pid_t pid = result_;
        job_ = nullptr;
        changed_.notify_all();
        return pid;
    }

private:
    void serve()
    {
        block_signals();
        std::unique_lock<std::mutex> held(lock_);
        for (;;) {
            changed_.wait(held, [this] { return job_ != nullptr && !done_; });
            result_ = (*job_)();
            done_ = true;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    const std::function<pid_t()>* job_ = nullptr;
    pid_t result_ = -1;
    bool done_ = false;
};

// What the forked child needs, all made before the fork: after it, only calls that are safe there.
// (vfork would not copy the controller's page tables, but allows nothing before the exec but it.)
struct Child {
    char* const* argv;
    const char* folder;
    int input;   // /dev/null
    int output;  // the writing end of the report pipe
    int failure; // gets errno where the exec fails; closed by a successful one
    pid_t controller;
    bool outlive;
};

[[noreturn]] void fail_in_child(const Child& child)
{
    const int error = errno;
    if (write(child.failure, &error, sizeof error) < 0) { }
    _exit(127);
}

pid_t fork_host(const Child& child)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid < 0 ? -errno : pid;
    // The death signal, then the check that the controller did not end before it was set.
    if (!child.outlive && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != child.controller))
        _exit(127);
    // A signal ignored or blocked here would stay so in the host: it meets signals as if started anew.
    struct sigaction default_action { };
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        sigaction(signal_number, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Standard error stays the controller's; nothing else of the controller's reaches the host.
    if (dup2(child.input, STDIN_FILENO) < 0 || dup2(child.output, STDOUT_FILENO) < 0 || chdir(child.folder) != 0 ||
        close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        fail_in_child(child);
    execv(child.argv[0], child.argv);
    fail_in_child(child);
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

hook_host_result start(const char* path, int32_t number, uint32_t flags, hook_host& host)
{
    // An absolute path, since the host starts in its own folder, so that it takes nothing from ours.
    if (!*path)
        return failed("cannot start '': the path is empty");
    std::string program = path;
    if (program[0] != '/') {
        char folder[4096];
        if (!getcwd(folder, sizeof folder))
            return failed("cannot start %s: cannot read the current folder: %s", path, system_text(errno));
        program = std::string(folder) + "/" + program;
    }
    const std::string folder = program.substr(0, program.rfind('/') + 1);
    std::string number_text = std::to_string(number);
    char* const argv[] = {program.data(), number_text.data(), nullptr};

    Fd output;
    Fd output_writing;
    Fd failure;
    Fd failure_writing;
    Fd input;
    input.value = above_standard(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (input.value < 0 || !make_pipe(output, output_writing) || !make_pipe(failure, failure_writing))
        return failed("cannot start %s: %s", path, system_text(errno));

    const Child child{argv,
                      folder.c_str(),
                      input.value,
                      output_writing.value,
                      failure_writing.value,
                      getpid(),
                      (flags & HOOK_HOST_OUTLIVE_CONTROLLER) != 0};
    const pid_t pid = Spawner::instance().run([&child] { return fork_host(child); });
    if (pid < 0)
        return failed("cannot start %s: %s", path, system_text(-pid));
    output_writing.reset();
    failure_writing.reset();

    // The failure pipe ends empty when the exec succeeded, or carries why it did not.
    int error = 0;
    ssize_t got;
    while ((got = read(failure.value, &error, sizeof error)) < 0 && errno == EINTR) { }
    host.pidfd = pidfd_open(pid);
    if (got != 0 || host.pidfd < 0) {
        if (got == 0)
            error = errno;
        kill(pid, SIGKILL);
        reap(pid);
        return failed("cannot start %s: %s", path, system_text(error));
    }
    host.pid = pid;
    host.output = output.release();
    host.outlive = child.outlive;
    return HOOK_HOST_OK;
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

bool has_ended(const hook_host& host)
{
    pollfd ended{host.pidfd, POLLIN, 0};
    return host.reaped || poll(&ended, 1, 0) == 1;
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
    const queue_linux::Datagram datagram{kind, 0, wparam, lparam};
    const queue_linux::Address address = queue_linux::address_of(pid);
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

} // namespace

hook_host_result start_host(const char* path, int32_t number, uint32_t flags, hook_host** host)
{
    hook_host* made = new (std::nothrow) hook_host;
    hook_host_result result = HOOK_HOST_FAILED;
    try {
        result = made ? start(path, number, flags, *made) : failed("cannot start %s: out of memory", path);
    } catch (const std::exception& error) { // memory, or a thread for the spawner
        result = failed("cannot start %s: %s", path, error.what());
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
            return HOOK_HOST_GONE;
        if (got < 0 && errno != EINTR)
            return failed("cannot read the report line of process %d: %s", host->pid, system_text(errno));
        if (got > 0)
            host->line.take(buffer, static_cast<size_t>(got));
    }
    return host->line.outcome(static_cast<unsigned long>(host->pid), reported);
}

hook_host_result post_close(hook_host* host, uint32_t status)
{
    const int error = send_message(host->pid, wm_close, status, 0);
    if (error == 0)
        return HOOK_HOST_OK;
    return has_ended(*host) ? HOOK_HOST_GONE : refused(host->pid, error);
}

extern "C" hook_host_result hook_host_wait(hook_host* host, uint32_t timeout_ms, int32_t* status)
{
    const int64_t deadline = now_ms() + timeout_ms;
    if (!host->reaped) {
        pollfd ended{host->pidfd, POLLIN, 0};
        const int count = poll_until(&ended, 1, deadline, timeout_ms);
        if (count < 0)
            return failed("cannot wait for process %d: %s", host->pid, system_text(errno));
        if (count == 0)
            return HOOK_HOST_TIMEOUT;
        int code = 0;
        if (reap(host->pid, &code) < 0)
            return failed("cannot read the exit status of process %d: %s (taken by a wait for any child, or SIGCHLD "
                          "ignored)",
                          host->pid, system_text(errno));
        host->reaped = true;
        host->status = WIFSIGNALED(code) ? -WTERMSIG(code) : WEXITSTATUS(code);
    }
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
    if (!host->reaped && !host->outlive) {
        // As if its controller had ended: the same signal, then its status, so that no zombie is left.
        pidfd_kill(host->pidfd);
        reap(host->pid);
    } else if (!host->reaped) {
        // It runs on; its end is taken by a thread of ours, or by init once the controller has ended.
        try {
            std::thread([pid = host->pid] {
                block_signals();
                reap(pid);
            }).detach();
        } catch (const std::exception&) { // no thread: it stays a zombie from its end to the controller's
        }
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
