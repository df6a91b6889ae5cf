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
//   notify MS                       ok STATUS       (watches the host, waits at most MS for the callback,
//                                                   then takes its status at once; "running" where none came)
//   notify-release MS               ok CALLS        (watches the host, releases it, and counts the callbacks
//                                                   that come within MS)
//   notify-many COUNT PATH          ok STATUS...    (COUNT hosts watched at once, each closed with its place)
//   close-notify-release STATUS     ok CALLS        (closes the host, whose callback releases it from within)
//   notify-each-other unwatch|release  ok CALLS     (closes the host, watched twice: each callback waits a
//                                                   moment for the other, then unwatches it, or the first
//                                                   releases the host; the host is released after)
//   unwatch-twice                   ok RETURNED RETURNED  (closes the host, and once its callback runs, unwatches
//                                                   it from two threads at once: whether the callback had
//                                                   returned when each unwatch did, "yes" or "no")
//   waits STATUS                    ok STATUS ok STATUS (closes, and waits from two threads at once)
//   timed COMMAND...                the command's answer, then a line "took MS": its own time, without
//                                   the round trip to the test
//
// On this machine also, for what the library meets from the controller itself and from neighbours:
//   start-with-free-fd FD PATH NUMBER, fd-limit N, fds, hold-fds [N], steal (a wait for any child),
//   spawn-at PID STATUS, close-as-it-ends, memory-limit, fork-start PATH STATUS, fork-release, pthread-exit,
//   cancel-start PATH MS, signals PATH CYCLES, start-scheduled PATH NUMBER NICE CPU, forkers MS (see
//   each in test_controller_linux.cpp).
//
// Any call may answer "timeout", "gone" or "failed <why>" instead. The host is the last one started;
// a start releases the one before. At the end of its input the controller exits, hosts and all.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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

// How often a watch's callback was called.
struct Told {
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;

    // Whether `count` calls came within `ms`.
    bool within(int count, uint32_t ms)
    {
        std::unique_lock<std::mutex> held(lock);
        return changed.wait_for(held, std::chrono::milliseconds(ms), [&] { return calls >= count; });
    }
};

void HOOK_CONTROL_CALL told(void* context)
{
    Told& told = *static_cast<Told*>(context);
    const std::lock_guard<std::mutex> held(told.lock);
    ++told.calls;
    told.changed.notify_all();
}

// What a wait of at most `ms` for the host gives, as "ok STATUS", or why not.
std::string status_within(hook_host* of, uint32_t ms)
{
    int32_t status = 0;
    const hook_host_result result = hook_host_wait(of, ms, &status);
    return result == HOOK_HOST_OK       ? "ok " + std::to_string(status)
           : result == HOOK_HOST_FAILED ? std::string("failed ") + hook_host_last_error()
                                        : "timeout";
}

void say(const std::string& text)
{
    printf("%s\n", text.c_str());
    fflush(stdout);
}

void notify(uint32_t ms)
{
    Told once;
    if (hook_host_watch(host, told, &once) != HOOK_HOST_OK)
        return answer(HOOK_HOST_FAILED);
    const bool came = once.within(1, ms);
    hook_host_unwatch(host, told, &once);
    say(came ? status_within(host, 0) : "running");
}

void notify_release(uint32_t ms)
{
    Told none;
    if (hook_host_watch(host, told, &none) != HOOK_HOST_OK)
        return answer(HOOK_HOST_FAILED);
    hook_host_release(host);
    host = nullptr;
    none.within(1, ms);
    say("ok " + std::to_string(none.calls));
}

// The host, released by its own callback, and how often that came.
struct ReleasedWithin {
    hook_host* host;
    Told told;
    bool closed = false; // the close has returned: a release overlaps no call
};

void HOOK_CONTROL_CALL release_within(void* context)
{
    ReleasedWithin& within = *static_cast<ReleasedWithin*>(context);
    {
        std::unique_lock<std::mutex> held(within.told.lock);
        within.told.changed.wait(held, [&within] { return within.closed; });
    }
    hook_host_release(within.host); // ends this very watch, from within it
    told(&within.told);
}

void close_notify_release(uint32_t status)
{
    ReleasedWithin within{host, {}, false};
    host = nullptr;
    if (hook_host_watch(within.host, release_within, &within) != HOOK_HOST_OK)
        return answer(HOOK_HOST_FAILED);
    const hook_host_result closed = hook_host_close(within.host, status);
    {
        const std::lock_guard<std::mutex> held(within.told.lock);
        within.closed = true;
        within.told.changed.notify_all();
    }
    if (closed != HOOK_HOST_OK)
        return answer(closed);
    within.told.within(1, 10000);
    within.told.within(2, 500); // a second call would come within this time
    const std::lock_guard<std::mutex> held(within.told.lock);
    say("ok " + std::to_string(within.told.calls));
}

// Two watches of one host whose callbacks end each other, and how often they came.
struct EachOther {
    hook_host* host;
    bool release; // the first callback releases the host
    Told told;    // with `closed`, `released` and `returned`, as ReleasedWithin's
    bool closed = false;
    bool released = false;
    int returned = 0; // callbacks that have returned
};

struct Partner {
    EachOther* both;
    Partner* other;
    bool first;
};

void HOOK_CONTROL_CALL end_the_other(void* context)
{
    const Partner& self = *static_cast<Partner*>(context);
    EachOther& both = *self.both;
    {
        std::unique_lock<std::mutex> held(both.told.lock);
        both.told.changed.wait(held, [&both] { return both.closed; });
    }
    told(&both.told);
    both.told.within(2, 500); // where the platform calls both at once, the other comes meanwhile
    if (both.release && self.first)
        hook_host_release(both.host);
    else
        hook_host_unwatch(both.host, end_the_other, self.other);
    const std::lock_guard<std::mutex> held(both.told.lock);
    both.released = both.released || (both.release && self.first);
    ++both.returned;
    both.told.changed.notify_all();
}

void notify_each_other(const char* mode)
{
    EachOther both{host, strcmp(mode, "release") == 0, {}};
    Partner first{&both, nullptr, true};
    Partner second{&both, &first, false};
    first.other = &second;
    host = nullptr;
    if (hook_host_watch(both.host, end_the_other, &first) != HOOK_HOST_OK ||
        hook_host_watch(both.host, end_the_other, &second) != HOOK_HOST_OK) {
        answer(HOOK_HOST_FAILED);
        hook_host_release(both.host);
        return;
    }
    const hook_host_result closed = hook_host_close(both.host, 0);
    {
        const std::lock_guard<std::mutex> held(both.told.lock);
        both.closed = true;
        both.told.changed.notify_all();
    }
    both.told.within(1, 10000);
    both.told.within(2, 1000); // a second call would come within this time
    std::unique_lock<std::mutex> held(both.told.lock);
    if (!both.told.changed.wait_for(held, std::chrono::seconds(10),
                                    [&both] { return both.returned == both.told.calls; }))
        return say("failed the callbacks still run");
    if (!both.released)
        hook_host_release(both.host);
    if (closed != HOOK_HOST_OK)
        return answer(closed);
    say("ok " + std::to_string(both.told.calls));
}

// A callback that runs for a moment.
struct Lasting {
    std::atomic<bool> entered{false};
    std::atomic<bool> returned{false};
};

void HOOK_CONTROL_CALL last_a_moment(void* context)
{
    Lasting& lasting = *static_cast<Lasting*>(context);
    lasting.entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lasting.returned = true;
}

void unwatch_twice()
{
    Lasting lasting;
    if (hook_host_watch(host, last_a_moment, &lasting) != HOOK_HOST_OK)
        return answer(HOOK_HOST_FAILED);
    const hook_host_result closed = hook_host_close(host, 0);
    for (int tries = 0; tries < 1000 && !lasting.entered; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool returned[2] = {false, false};
    std::thread other([&] {
        hook_host_unwatch(host, last_a_moment, &lasting);
        returned[1] = lasting.returned;
    });
    hook_host_unwatch(host, last_a_moment, &lasting);
    returned[0] = lasting.returned;
    other.join();
    if (closed != HOOK_HOST_OK || !lasting.entered)
        return answer(closed == HOOK_HOST_OK ? HOOK_HOST_TIMEOUT : closed);
    say(std::string("ok ") + (returned[0] ? "yes" : "no") + " " + (returned[1] ? "yes" : "no"));
}

void notify_many(int count, const char* path)
{
    std::vector<hook_host*> hosts(static_cast<size_t>(count));
    Told all;
    std::string text = "ok";
    for (int place = 1; place <= count && text == "ok"; ++place) {
        hook_host*& one = hosts[static_cast<size_t>(place - 1)];
        if (hook_host_start(path, place, 0, &one) != HOOK_HOST_OK ||
            hook_host_wait_report(one, 30000, nullptr) != HOOK_HOST_OK ||
            hook_host_watch(one, told, &all) != HOOK_HOST_OK)
            text = std::string("failed ") + hook_host_last_error();
    }
    for (int place = 1; place <= count && text == "ok"; ++place)
        hook_host_close(hosts[static_cast<size_t>(place - 1)], static_cast<uint32_t>(place));
    if (text == "ok" && !all.within(count, 30000))
        text = "running";
    const bool all_told = text == "ok";
    for (hook_host* one : hosts) {
        const std::string seen = all_told ? status_within(one, 0) : "";
        if (all_told)
            text += seen.compare(0, 3, "ok ") == 0 ? seen.substr(2) : " (" + seen + ")";
        hook_host_release(one);
    }
    say(text);
}

void waits(uint32_t status)
{
    const hook_host_result closed = hook_host_close(host, status);
    if (closed != HOOK_HOST_OK)
        return answer(closed);
    std::string seen;
    std::thread other([&seen] { seen = status_within(host, 10000); });
    const std::string here = status_within(host, 10000);
    other.join();
    say(here + " " + seen);
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
    {"notify", 2, 2, [](char** words, int) { notify(unsigned32(words[1])); }},
    {"notify-release", 2, 2, [](char** words, int) { notify_release(unsigned32(words[1])); }},
    {"close-notify-release", 2, 2, [](char** words, int) { close_notify_release(unsigned32(words[1])); }},
    {"notify-each-other", 2, 2, [](char** words, int) { notify_each_other(words[1]); }},
    {"unwatch-twice", 1, 1, [](char**, int) { unwatch_twice(); }},
    {"notify-many", 3, 3, [](char** words, int) { notify_many(atoi(words[1]), words[2]); }},
    {"waits", 2, 2, [](char** words, int) { waits(unsigned32(words[1])); }},
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
        const int timed = count > 1 && strcmp(words[0], "timed") == 0;
        const Command* command = count ? find(words[timed], count - timed) : nullptr;
        if (command) {
            const auto started = std::chrono::steady_clock::now();
            command->run(words + timed, count - timed);
            const auto took = std::chrono::steady_clock::now() - started;
            if (timed) {
                printf("took %lld\n",
                       static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
                fflush(stdout);
            }
        } else {
            printf("failed no such command: %s\n", count ? words[0] : "");
            fflush(stdout);
        }
    }
    return 0;
}
