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
//   watch MS                        ok STATUS       (waits at most MS on the host's waitable, then takes
//                                                   its status at once; "running" where it was not signalled)
//   close-watch STATUS              ok STATUS MS    (closes, then waits on the waitable for at most 10 s;
//                                                   MS from the close's post to the signal)
//
// On this machine also, for what the library meets from the controller itself and from neighbours:
//   start-with-free-fd FD PATH NUMBER, fd-limit N, fds, hold-fds [N], steal (a wait for any child),
//   spawn-at PID STATUS, close-as-it-ends, memory-limit, fork-start PATH STATUS, pthread-exit,
//   cancel-start PATH MS, signals PATH CYCLES, start-scheduled PATH NUMBER NICE CPU, forkers MS (see
//   each in test_controller_linux.cpp).
//
// Any call may answer "timeout", "gone" or "failed <why>" instead. The host is the last one started;
// a start releases the one before. At the end of its input the controller exits, hosts and all.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hook_control.h"
#include "test_controller.h"

hook_host* host = nullptr;

void answer(hook_host_result result, const std::string& ok_text)
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

namespace {

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

// What `watch` and `close-watch` answer: the host's status, taken at once once its waitable is
// signalled within `ms`; after a close with `close_status`, when given, also the milliseconds from its post.
void watch(uint32_t ms, const char* close_status)
{
    const intptr_t waitable = hook_host_waitable(host);
#ifdef _WIN32
    const intptr_t none = 0;
#else
    const intptr_t none = -1;
#endif
    if (waitable == none)
        return answer(HOOK_HOST_FAILED);
    const auto posted = std::chrono::steady_clock::now();
    if (close_status) {
        const hook_host_result closed = hook_host_close(host, unsigned32(close_status));
        if (closed != HOOK_HOST_OK)
            return answer(closed);
    }
    if (!signalled_within(waitable, ms)) {
        puts("running");
        fflush(stdout);
        return;
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - posted);
    int32_t status = 0;
    const hook_host_result result = hook_host_wait(host, 0, &status);
    answer(result, "ok " + std::to_string(status) + (close_status ? " " + std::to_string(took.count()) : ""));
}

const Command commands[] = {
    {"start", 3, 4,
     [](char** words, int count) {
         start(words[1], words[2], count == 4 && strcmp(words[3], "outlive") == 0 ? HOOK_HOST_OUTLIVE_CONTROLLER : 0);
     }},
    {"start-in-thread", 3, 3, [](char** words, int) { std::thread([words] { start(words[1], words[2], 0); }).join(); }},
    {"report", 2, 2,
     [](char** words, int) {
         int32_t reported = 0;
         const hook_host_result result = hook_host_wait_report(host, unsigned32(words[1]), &reported);
         answer(result, "ok " + std::to_string(reported));
     }},
    {"close", 2, 2,
     [](char** words, int) { answer(hook_host_close(host, static_cast<uint32_t>(strtoll(words[1], nullptr, 0)))); }},
    {"wait", 2, 2,
     [](char** words, int) {
         int32_t status = 0;
         const hook_host_result result = hook_host_wait(host, unsigned32(words[1]), &status);
         answer(result, "ok " + std::to_string(status));
     }},
    {"release", 1, 1,
     [](char**, int) {
         hook_host_release(host);
         host = nullptr;
         answer(HOOK_HOST_OK);
     }},
    {"post", 5, 5,
     [](char** words, int) {
         answer(hook_host_post(unsigned32(words[1]), static_cast<uint32_t>(strtoul(words[2], nullptr, 0)),
                               strtoull(words[3], nullptr, 0), strtoull(words[4], nullptr, 0)));
     }},
    {"starts", 5, 5,
     [](char** words, int) {
         starts(atoi(words[1]), atoi(words[2]), words[3], static_cast<int32_t>(strtol(words[4], nullptr, 10)));
     }},
    {"watch", 2, 2, [](char** words, int) { watch(unsigned32(words[1]), nullptr); }},
    {"close-watch", 2, 2, [](char** words, int) { watch(10000, words[1]); }},
    {nullptr, 0, 0, nullptr},
};

// The command of `name` that takes `count` words, in the common table or this platform's.
const Command* find(const char* name, int count)
{
    for (const Command* table : {commands, platform_commands})
        for (const Command* command = table; command->name; ++command)
            if (strcmp(command->name, name) == 0 && count >= command->least_words && count <= command->most_words)
                return command;
    return nullptr;
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
        const Command* command = count ? find(words[0], count) : nullptr;
        if (command) {
            command->run(words, count);
        } else {
            printf("failed no such command: %s\n", count ? words[0] : "");
            fflush(stdout);
        }
    }
    return 0;
}
