// A controller for the end-to-end tests, built on hook_control alone: it takes one command a line on
// standard input and answers each with one line, so that a test can drive it step by step.
//
//   start PATH NUMBER [outlive]     ok PID          start-in-thread PATH NUMBER   ok PID (from a thread that ends)
//   report MS                       ok NUMBER       close STATUS                  ok
//   wait MS                         ok STATUS       release                       ok
//   post PID KIND WPARAM LPARAM     ok
//   starts THREADS COUNT PATH NUMBER     ok REPORTED...   (COUNT starts on each of THREADS threads at
//                                   once, each reported and released; the numbers reported, each once)
//   error-mode [MODE]               ok MODE         (Windows: sets the process's error mode, if given)
//
// On this machine also, for what the library meets from the controller itself and from neighbours:
//   fd-limit N, fds, hold-fds [N], steal (a wait for any child), spawn-at PID STATUS, close-as-it-ends,
//   memory-limit, fork-start PATH STATUS, pthread-exit, cancel-start PATH MS, signals PATH CYCLES,
//   start-scheduled PATH NUMBER NICE CPU, forkers MS (see each below).
//
// Any call may answer "timeout", "gone" or "failed <why>" instead. The host is the last one started;
// a start releases the one before. At the end of its input the controller exits, hosts and all.
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "hook_control.h"

#ifndef _WIN32
// What only this machine's tests ask: neighbours, limits, signals and threads of the controller's own.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int length = snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "hook_host.%u", pid);
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool bound =
        connect(probe, reinterpret_cast<sockaddr*>(&address), offsetof(sockaddr_un, sun_path) + 1 + length) == 0;
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

} // namespace
#endif

namespace {

hook_host* host = nullptr;

void answer(hook_host_result result, const std::string& ok_text = "ok")
{
    switch (result) {
    case HOOK_HOST_OK:
        printf("%s\n", ok_text.c_str());
        break;
    case HOOK_HOST_TIMEOUT:
        puts("timeout");
        break;
    case HOOK_HOST_GONE:
        puts("gone");
        break;
    case HOOK_HOST_FAILED:
        printf("failed %s\n", hook_host_last_error());
        break;
    }
    fflush(stdout);
}

void start(const char* path, const char* number, uint32_t flags)
{
    hook_host_release(host);
    host = nullptr;
    const hook_host_result result =
        hook_host_start(path, static_cast<int32_t>(strtol(number, nullptr, 10)), flags, &host);
    answer(result, result == HOOK_HOST_OK ? "ok " + std::to_string(hook_host_process_id(host)) : "");
}

uint32_t unsigned32(const char* text)
{
    return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

// COUNT starts of PATH on each of THREADS threads at once; every host is reported and released.
void starts(int threads, int count, const char* path, int32_t number)
{
    std::mutex guard;
    std::set<int32_t> reported;
    std::string failure;
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&] {
            for (int i = 0; i < count; ++i) {
                hook_host* started = nullptr;
                int32_t value = 0;
                hook_host_result result = hook_host_start(path, number, 0, &started);
                if (result == HOOK_HOST_OK)
                    result = hook_host_wait_report(started, 30000, &value);
                const std::string why = result == HOOK_HOST_FAILED ? hook_host_last_error() : std::to_string(result);
                hook_host_release(started);
                const std::lock_guard<std::mutex> lock(guard);
                if (result != HOOK_HOST_OK && failure.empty())
                    failure = why;
                reported.insert(value);
            }
        });
    for (std::thread& thread : running)
        thread.join();
    std::string text = failure.empty() ? "ok" : "failed " + failure;
    for (int32_t value : reported)
        text += failure.empty() ? " " + std::to_string(value) : "";
    printf("%s\n", text.c_str());
    fflush(stdout);
}

} // namespace

int main()
{
    char line[4096];
    while (fgets(line, sizeof line, stdin)) {
        char* words[6] = {};
        int count = 0;
        for (char* word = strtok(line, " \r\n"); word && count < 6; word = strtok(nullptr, " \r\n"))
            words[count++] = word;
        const std::string command = count ? words[0] : "";
        int32_t value = 0;
        if (command == "start" && count >= 3) {
            start(words[1], words[2],
                  count == 4 && strcmp(words[3], "outlive") == 0 ? HOOK_HOST_OUTLIVE_CONTROLLER : 0);
        } else if (command == "start-in-thread" && count == 3) {
            std::thread([&words] { start(words[1], words[2], 0); }).join();
        } else if (command == "report" && count == 2) {
            const hook_host_result result = hook_host_wait_report(host, unsigned32(words[1]), &value);
            answer(result, "ok " + std::to_string(value));
        } else if (command == "close" && count == 2) {
            answer(hook_host_close(host, static_cast<uint32_t>(strtoll(words[1], nullptr, 0))));
        } else if (command == "wait" && count == 2) {
            const hook_host_result result = hook_host_wait(host, unsigned32(words[1]), &value);
            answer(result, "ok " + std::to_string(value));
        } else if (command == "release" && count == 1) {
            hook_host_release(host);
            host = nullptr;
            answer(HOOK_HOST_OK);
        } else if (command == "post" && count == 5) {
            answer(hook_host_post(unsigned32(words[1]), static_cast<uint32_t>(strtoul(words[2], nullptr, 0)),
                                  strtoull(words[3], nullptr, 0), strtoull(words[4], nullptr, 0)));
#ifndef _WIN32
        } else if (command == "fd-limit" && count == 2) {
            const rlimit limit{unsigned32(words[1]), unsigned32(words[1])};
            answer(setrlimit(RLIMIT_NOFILE, &limit) == 0 ? HOOK_HOST_OK : HOOK_HOST_FAILED);
        } else if (command == "hold-fds" && count <= 2) { // takes all free descriptors but N; without N gives them back
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
        } else if (command == "fds" && count == 1) {
            answer(HOOK_HOST_OK, "ok " + std::to_string(open_descriptors()));
        } else if (command == "steal" && count == 1) { // a wait for any child, the controller's own
            answer(HOOK_HOST_OK, "ok " + std::to_string(waitpid(-1, nullptr, 0)));
        } else if (command == "spawn-at" && count == 3) { // a child of ours that gets pid PID, ends with STATUS
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
        } else if (command == "close-as-it-ends" && count == 1) {
            const hook_host_result first = hook_host_close(host, 0);
            while (first == HOOK_HOST_OK && queue_bound(hook_host_process_id(host))) { }
            answer(first == HOOK_HOST_OK ? hook_host_close(host, 0) : first);
        } else if (command == "memory-limit" && count == 1) { // no new thread can be made
            FILE* status = fopen("/proc/self/status", "re");
            unsigned long kib = 0;
            char field[256];
            while (status && fgets(field, sizeof field, status))
                sscanf(field, "VmSize: %lu", &kib);
            if (status)
                fclose(status);
            const rlimit limit{(kib + 1024) * 1024, (kib + 1024) * 1024};
            answer(setrlimit(RLIMIT_AS, &limit) == 0 ? HOOK_HOST_OK : HOOK_HOST_FAILED);
        } else if (command == "fork-start" && count == 3) { // the child answers; the parent says nothing
            if (fork() == 0) {
                hook_host* started = nullptr;
                hook_host_result result = hook_host_start(words[1], 1, 0, &started);
                if (result == HOOK_HOST_OK && (result = hook_host_close(started, unsigned32(words[2]))) == HOOK_HOST_OK)
                    result = hook_host_wait(started, 10000, &value);
                answer(result, "ok " + std::to_string(value));
                _exit(0);
            }
        } else if (command == "pthread-exit" && count == 1) {
            answer(HOOK_HOST_OK);
            pthread_exit(nullptr);
        } else if (command == "cancel-start" && count == 3) { // cancels a thread inside a start after MS
            pthread_t thread;
            pthread_create(&thread, nullptr, start_until_cancelled, words[1]);
            usleep(static_cast<useconds_t>(strtoul(words[2], nullptr, 10)) * 1000);
            pthread_cancel(thread);
            pthread_join(thread, nullptr);
            answer(HOOK_HOST_OK);
        } else if (command == "signals" && count == 3) {
            answer(HOOK_HOST_OK,
                   "ok " + std::to_string(signal_runs_elsewhere(words[1], static_cast<int>(unsigned32(words[2])))));
        } else if (command == "start-scheduled" && count == 5) { // from a thread of nice NICE on CPU CPU only
            std::thread([&words] {
                setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)),
                            static_cast<int>(unsigned32(words[3])));
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(unsigned32(words[4]), &one);
                sched_setaffinity(0, sizeof one, &one);
                host = nullptr; // the one before runs on, and the library's thread with it
                start(words[1], words[2], 0);
            }).join();
        } else if (command == "forkers" && count == 2) {
            fork_children(static_cast<int>(unsigned32(words[1])));
            answer(HOOK_HOST_OK);
#endif
        } else if (command == "starts" && count == 5) {
            starts(atoi(words[1]), atoi(words[2]), words[3], static_cast<int32_t>(strtol(words[4], nullptr, 10)));
#ifdef _WIN32
        } else if (command == "error-mode" && count <= 2) {
            if (count == 2)
                SetErrorMode(unsigned32(words[1]));
            answer(HOOK_HOST_OK, "ok " + std::to_string(GetErrorMode()));
#endif
        } else {
            printf("failed no such command: %s\n", command.c_str());
            fflush(stdout);
        }
    }
    return 0;
}
