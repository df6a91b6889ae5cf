// The test controller's commands for this machine only: what the library meets from the controller
// itself and from neighbours, limits, signals and threads of the controller's own.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "queue_linux.h"
#include "test_controller.h"

namespace {

// Descriptors taken by hold-fds, so that only a few are left free.
std::vector<int> held_descriptors;

int open_descriptors()
{
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        count += fcntl(fd, F_GETFD) >= 0;
    return count;
}

// Whether anything is bound to the host's queue name; a connect queues nothing.
bool queue_bound(uint32_t pid)
{
    const queue_address address = queue_address_of(static_cast<pid_t>(pid));
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool bound = connect(probe, reinterpret_cast<const sockaddr*>(&address.name), address.length) == 0;
    close(probe);
    return bound;
}

std::atomic<int> runs_off_main{0};
pid_t main_thread = 0;

void count_run(int)
{
    if (syscall(SYS_gettid) != main_thread)
        ++runs_off_main;
}

// Starts, reads and releases `cycles` hosts that outlive their handles, and ends each, while SIGALRM comes every 100
// us: how many of the handler's runs were on a thread other than the main one, the controller's only.
int signal_runs_elsewhere(const char* path, int cycles)
{
    main_thread = static_cast<pid_t>(syscall(SYS_gettid));
    struct sigaction action { };
    action.sa_handler = count_run;
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
    const itimerval every{{0, 100}, {0, 100}};
    setitimer(ITIMER_REAL, &every, nullptr);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        hook_host* started = nullptr;
        int32_t value = 0;
        if (hook_host_start(path, 1, HOOK_HOST_OUTLIVE_CONTROLLER, &started) != HOOK_HOST_OK)
            continue;
        const uint32_t pid = hook_host_process_id(started);
        hook_host_wait_report(started, 10000, &value);
        hook_host_release(started); // taken over by a thread of the library's
        hook_host_post(pid, 0x10, 0, 0);
        while (hook_host_post(pid, 0, 0, 0) == HOOK_HOST_OK)
            usleep(1000);
    }
    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    return runs_off_main;
}

// A thread that starts and releases hosts until it is cancelled, somewhere inside a start. (The
// cancel's unwinding leaves this frame's stack marks to AddressSanitizer, which takes them for an
// overflow when the thread ends: the frame is left unmarked.)
__attribute__((no_sanitize("address"))) void* start_until_cancelled(void* path)
{
    for (;;) {
        hook_host* started = nullptr;
        hook_host_start(static_cast<const char*>(path), 1, 0, &started);
        hook_host_release(started);
        pthread_testcancel();
    }
}

// Forks, every 2 ms until the process ends, a child that lives `ms` without an exec, holding whatever
// the controller had open at that moment. (Each through a child that ends at once, so that none is
// left for the controller to wait for.)
void fork_children(int ms)
{
    std::thread([ms] {
        for (;;) {
            const pid_t between = fork();
            if (between == 0) {
                if (fork() == 0)
                    usleep(static_cast<useconds_t>(ms) * 1000);
                _exit(0);
            }
            waitpid(between, nullptr, 0);
            usleep(2000);
        }
    }).detach();
}

// Starts `path` with the controller's descriptor `fd` (standard input, output or error) closed, as a
// controller may run, and then gives it back: "ok PID" where the start left it free, as it found it.
void start_with_free(int fd, const char* path, const char* number)
{
    const int saved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    hook_host_release(host);
    host = nullptr;
    const hook_host_result result = hook_host_start(path, static_cast<int32_t>(strtol(number, nullptr, 10)), 0, &host);
    const std::string why = result == HOOK_HOST_FAILED ? hook_host_last_error() : "";
    const bool taken = fcntl(fd, F_GETFD) >= 0;
    dup2(saved, fd);
    close(saved);
    if (taken)
        printf("failed the library kept descriptor %d\n", fd);
    else if (result == HOOK_HOST_OK)
        printf("ok %u\n", static_cast<unsigned>(hook_host_process_id(host)));
    else
        printf("failed %s\n", why.c_str());
    fflush(stdout);
}

} // namespace

bool signalled_within(intptr_t waitable, uint32_t ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ended{static_cast<int>(waitable), POLLIN, 0};
        const int count = poll(&ended, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
        if (count >= 0 || errno != EINTR)
            return count == 1;
    }
}

const Command platform_commands[] = {
    // start-with-free-fd FD PATH NUMBER: see start_with_free.
    {"start-with-free-fd", 4, 4, [](char** words, int) { start_with_free(atoi(words[1]), words[2], words[3]); }},
    // Sets the limit of open descriptors to N.
    {"fd-limit", 2, 2,
     [](char** words, int) {
         const rlimit limit{unsigned32(words[1]), unsigned32(words[1])};
         answer(setrlimit(RLIMIT_NOFILE, &limit) == 0 ? HOOK_HOST_OK : HOOK_HOST_FAILED);
     }},
    // Takes all free descriptors but N; without N gives them back.
    {"hold-fds", 1, 2,
     [](char** words, int count) {
         for (const int held : held_descriptors)
             close(held);
         held_descriptors.clear();
         for (int held = 0; count == 2 && (held = dup(STDERR_FILENO)) >= 0;)
             held_descriptors.push_back(held);
         for (uint32_t left = count == 2 ? unsigned32(words[1]) : 0; left > 0 && !held_descriptors.empty(); --left) {
             close(held_descriptors.back());
             held_descriptors.pop_back();
         }
         answer(HOOK_HOST_OK);
     }},
    // "ok N": how many descriptors are open.
    {"fds", 1, 1, [](char**, int) { answer(HOOK_HOST_OK, "ok " + std::to_string(open_descriptors())); }},
    // A wait for any child, the controller's own: "ok PID" of the child it took.
    {"steal", 1, 1, [](char**, int) { answer(HOOK_HOST_OK, "ok " + std::to_string(waitpid(-1, nullptr, 0))); }},
    // A child of ours that gets pid PID and ends with STATUS: "ok PID".
    {"spawn-at", 3, 3,
     [](char** words, int) {
         FILE* last = fopen("/proc/sys/kernel/ns_last_pid", "w");
         if (last) {
             fprintf(last, "%ld", strtol(words[1], nullptr, 10) - 1);
             fclose(last);
         }
         const int status = static_cast<int>(strtol(words[2], nullptr, 10));
         const pid_t child = fork();
         if (child == 0)
             _exit(status);
         answer(HOOK_HOST_OK, "ok " + std::to_string(child));
     }},
    // Closes the host, and closes it again as soon as its queue has gone.
    {"close-as-it-ends", 1, 1,
     [](char**, int) {
         const hook_host_result first = hook_host_close(host, 0);
         while (first == HOOK_HOST_OK && queue_bound(hook_host_process_id(host))) { }
         answer(first == HOOK_HOST_OK ? hook_host_close(host, 0) : first);
     }},
    // Limits the address space to what is in use and a MiB: no new thread can be made.
    {"memory-limit", 1, 1,
     [](char**, int) {
         FILE* status = fopen("/proc/self/status", "re");
         unsigned long kib = 0;
         char field[256];
         while (status && fgets(field, sizeof field, status))
             sscanf(field, "VmSize: %lu", &kib);
         if (status)
             fclose(status);
         const rlimit limit{(kib + 1024) * 1024, (kib + 1024) * 1024};
         answer(setrlimit(RLIMIT_AS, &limit) == 0 ? HOOK_HOST_OK : HOOK_HOST_FAILED);
     }},
    // A forked child starts PATH, closes it with STATUS and waits: the child answers, the parent not.
    {"fork-start", 3, 3,
     [](char** words, int) {
         if (fork() != 0)
             return;
         hook_host* started = nullptr;
         int32_t value = 0;
         hook_host_result result = hook_host_start(words[1], 1, 0, &started);
         if (result == HOOK_HOST_OK && (result = hook_host_close(started, unsigned32(words[2]))) == HOOK_HOST_OK)
             result = hook_host_wait(started, 10000, &value);
         answer(result, "ok " + std::to_string(value));
         _exit(0);
     }},
    // A forked child asks for the host's status, releases it and exits: the child answers with what its
    // wait gave, the parent not, once the child has ended.
    {"fork-release", 1, 1,
     [](char**, int) {
         const pid_t child = fork();
         if (child == 0) {
             int32_t status = 0;
             answer(hook_host_wait(host, 0, &status), "ok " + std::to_string(status));
             hook_host_release(host);
             _exit(0);
         }
         waitpid(child, nullptr, 0);
     }},
    // The main thread answers and ends by pthread_exit.
    {"pthread-exit", 1, 1,
     [](char**, int) {
         answer(HOOK_HOST_OK);
         pthread_exit(nullptr);
     }},
    // Cancels a thread that starts and releases PATH, somewhere inside a start, after MS.
    {"cancel-start", 3, 3,
     [](char** words, int) {
         pthread_t thread;
         pthread_create(&thread, nullptr, start_until_cancelled, words[1]);
         usleep(static_cast<useconds_t>(strtoul(words[2], nullptr, 10)) * 1000);
         pthread_cancel(thread);
         pthread_join(thread, nullptr);
         answer(HOOK_HOST_OK);
     }},
    // CYCLES hosts of PATH under a stream of SIGALRM: "ok N", the handler's runs off the main thread.
    {"signals", 3, 3,
     [](char** words, int) {
         answer(HOOK_HOST_OK,
                "ok " + std::to_string(signal_runs_elsewhere(words[1], static_cast<int>(unsigned32(words[2])))));
     }},
    // Starts PATH with NUMBER from a thread of nice NICE on CPU CPU only: "ok PID".
    {"start-scheduled", 5, 5,
     [](char** words, int) {
         std::thread([words] {
             setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), static_cast<int>(unsigned32(words[3])));
             cpu_set_t one;
             CPU_ZERO(&one);
             CPU_SET(unsigned32(words[4]), &one);
             sched_setaffinity(0, sizeof one, &one);
             host = nullptr; // the one before runs on, and the library's thread with it
             start(words[1], words[2], 0);
         }).join();
     }},
    // Forks children that live MS without an exec, every 2 ms until the process ends.
    {"forkers", 2, 2,
     [](char** words, int) {
         fork_children(static_cast<int>(unsigned32(words[1])));
         answer(HOOK_HOST_OK);
     }},
    {nullptr, 0, 0, nullptr},
};
