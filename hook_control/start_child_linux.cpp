// The child that becomes the host, started as glibc's posix_spawn starts one: clone with
// CLONE_VM | CLONE_VFORK, on a stack of its own, the parent held until the exec. The hazards, each
// with its answer:
//
// - It shares the controller's memory, heap and locks until its exec: another thread of the
//   controller's may hold the allocator's lock, or any other. It makes only raw system calls; no
//   lock, no allocation, no thread state but errno, which is the cloning thread's, and that thread is
//   held until the exec. What it has to say it writes into its Child, which the parent reads after.
// - Sanitizers would instrument it as code of the controller's: none runs in it (no_sanitize), and
//   ThreadSanitizer's stand-in for clone, which takes every clone for a fork and resets its state in
//   the child, here the controller's own, is passed by for the C library's clone.
// - A handler of the controller's could run in it, on the controller's memory: the cloning thread
//   blocks every signal, which the child inherits; before the exec it sets every disposition to its
//   default and unblocks all, so that the host meets signals as if started anew.
// - The controller may end between the clone and the death signal's setting: the child checks its
//   parent after setting it, and ends where that is no longer the controller.
// - Descriptors of the controller's would reach the host: all above standard error are marked
//   close-on-exec (close_range, Linux 5.11); what it hands the host was moved above the standard
//   streams by the parent (above_standard), so that the dup3 onto them overwrites nothing it needs.
// - Its stack is static: one child is started at a time, by the library's one thread.
// - Its pid may be taken by a later process once it is reaped: the parent gets a pidfd with the clone
//   (CLONE_PIDFD, Linux 5.2), and waits, signals and reaps through that alone.
// - The library's thread has a scheduling of its own: the host gets the asking thread's nice value
//   and CPU affinity, where the system allows.
#include "start_child_linux.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace hook_control_internal {

namespace {

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

// The child's steps, in order, until its exec.
__attribute__((no_sanitize("address", "thread", "undefined"))) int run_child(void* argument)
{
    Child& child = *static_cast<Child*>(argument);
    // The death signal, then the check that the controller did not end before it was set.
    if (!child.outlive) {
        if (syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0)
            return child_failed(child, "cannot set its death signal");
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
        return child_failed(child, "cannot hand it its standard streams");
    if (syscall(SYS_chdir, child.folder) != 0)
        return child_failed(child, "cannot enter its folder");
    if (syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        return child_failed(child, "cannot close the controller's descriptors");
    // A signal ignored or blocked here would stay so in the host.
    const KernelSigaction default_action{SIG_DFL, 0, nullptr, 0};
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
        if (signal_number != SIGKILL && signal_number != SIGSTOP)
            syscall(SYS_rt_sigaction, signal_number, &default_action, nullptr, sizeof default_action.mask);
    const uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    syscall(SYS_execve, child.program, child.argv, child.envp);
    return child_failed(child, "");
}

// The child's stack, which it uses only until its exec.
alignas(64) char child_stack[64 * 1024];

using CloneCall = int (*)(int (*)(void*), void*, int, void*, ...);
CloneCall c_library_clone()
{
    static const auto call = reinterpret_cast<CloneCall>(dlsym(RTLD_NEXT, "clone"));
    return call ? call : clone;
}

} // namespace

void take_scheduling(Child& child)
{
    CPU_ZERO(&child.affinity);
    child.has_affinity = sched_getaffinity(0, sizeof child.affinity, &child.affinity) == 0;
    errno = 0;
    child.nice = getpriority(PRIO_PROCESS, 0); // this thread's, on Linux
    child.has_nice = errno == 0;
}

int above_standard(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error; // the move's, for the caller
    return moved;
}

int clone_child(Child& child, pid_t& pid)
{
    int pidfd = -1;
    pid = c_library_clone()(run_child, child_stack + sizeof child_stack, CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD,
                            &child, &pidfd);
    return pid < 0 ? -errno : pidfd;
}

} // namespace hook_control_internal
