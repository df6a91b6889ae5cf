// hook_control from several threads at once, each with hosts of its own: some start, read, close and
// wait for hosts; some release hosts while they start; some leave hosts that outlive their handles to
// the library; some watch hosts' ends, and release some while they are watched; some make starts that
// fail. And two waits at once on one host; callbacks that block, wait for the test's lock, or make
// every call; and a forked child. Run under ThreadSanitizer too (the linux-tsan preset).
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hook_control.h"

namespace {

constexpr int rounds = 6;

void close_and_wait(int32_t number)
{
    hook_host* host = nullptr;
    ASSERT_EQ(hook_host_start(HOOK_HOST_PATH, number, 0, &host), HOOK_HOST_OK) << hook_host_last_error();
    int32_t value = 0;
    EXPECT_EQ(hook_host_wait_report(host, 10000, &value), HOOK_HOST_OK);
    EXPECT_EQ(value, number);
    EXPECT_EQ(hook_host_close(host, static_cast<uint32_t>(number)), HOOK_HOST_OK);
    EXPECT_EQ(hook_host_wait(host, 10000, &value), HOOK_HOST_OK);
    EXPECT_EQ(value, number & 0xFF);
    hook_host_release(host);
}

void release_at_once(int32_t number)
{
    hook_host* host = nullptr;
    ASSERT_EQ(hook_host_start(HOOK_HOST_PATH, number, 0, &host), HOOK_HOST_OK) << hook_host_last_error();
    hook_host_release(host);
}

void leave_to_the_library(int32_t number)
{
    hook_host* host = nullptr;
    ASSERT_EQ(hook_host_start(HOOK_HOST_PATH, number, HOOK_HOST_OUTLIVE_CONTROLLER, &host), HOOK_HOST_OK);
    int32_t value = 0;
    EXPECT_EQ(hook_host_wait_report(host, 10000, &value), HOOK_HOST_OK);
    const uint32_t pid = hook_host_process_id(host);
    hook_host_release(host);
    EXPECT_EQ(hook_host_post(pid, 0x10, 0, 0), HOOK_HOST_OK); // WM_CLOSE
}

void HOOK_CONTROL_CALL count_call(void* calls)
{
    ++*static_cast<std::atomic<int>*>(calls);
}

// Watches a host's end, which its callback tells once its status is there; watches another, which its
// release ends untold.
void watch_the_end(int32_t number)
{
    std::atomic<int> calls{0};
    hook_host* host = nullptr;
    ASSERT_EQ(hook_host_start(HOOK_HOST_PATH, number, 0, &host), HOOK_HOST_OK) << hook_host_last_error();
    EXPECT_EQ(hook_host_watch(host, count_call, &calls), HOOK_HOST_OK) << hook_host_last_error();
    EXPECT_EQ(hook_host_close(host, 3), HOOK_HOST_OK);
    for (int tries = 0; tries < 1000 && calls == 0; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int32_t value = 0;
    EXPECT_EQ(hook_host_wait(host, 0, &value), HOOK_HOST_OK) << "the status is there once told";
    EXPECT_EQ(value, 3);
    hook_host_release(host);
    ASSERT_EQ(hook_host_start(HOOK_HOST_PATH, number, 0, &host), HOOK_HOST_OK) << hook_host_last_error();
    EXPECT_EQ(hook_host_watch(host, count_call, &calls), HOOK_HOST_OK) << hook_host_last_error();
    hook_host_release(host);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls, 1) << "told once, and not of a release";
}

void fail_to_start(int32_t)
{
    hook_host* host = nullptr;
    EXPECT_EQ(hook_host_start("/no/such/host", 1, 0, &host), HOOK_HOST_FAILED);
    EXPECT_EQ(host, nullptr);
    EXPECT_NE(strstr(hook_host_last_error(), "No such file"), nullptr) << hook_host_last_error();
}

// A watch's callback that starts a host once another thread's start has surely queued behind it.
struct StartWithin {
    std::atomic<bool> done{false};
    hook_host_result result = HOOK_HOST_FAILED;
};

void HOOK_CONTROL_CALL start_within(void* call)
{
    StartWithin& within = *static_cast<StartWithin*>(call);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hook_host* host = nullptr;
    within.result = hook_host_start(HOOK_HOST_PATH, 1, 0, &host);
    hook_host_release(host);
    within.done = true;
}

// Whether every child of this process has ended and been waited for, within a few seconds.
bool no_child_left()
{
    for (int tries = 0; tries < 100; ++tries) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD)
            return true;
        usleep(50000);
    }
    return false;
}

// Runs `work` on a thread of its own, for at most `seconds`: a library that waits for good would hold
// up every test after, so the run ends then.
template <typename Work> void within_seconds(int seconds, const char* what, Work work)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    for (int tries = 0; tries < seconds * 100 && !done; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {
        ADD_FAILURE() << what << ": still waiting after " << seconds << " s";
        _Exit(EXIT_FAILURE);
    }
    worker.join();
}

hook_host* started_host(int32_t number)
{
    hook_host* host = nullptr;
    EXPECT_EQ(hook_host_start(HOOK_HOST_PATH, number, 0, &host), HOOK_HOST_OK) << hook_host_last_error();
    int32_t reported = 0;
    EXPECT_EQ(hook_host_wait_report(host, 10000, &reported), HOOK_HOST_OK);
    return host;
}

// A callback under way, which holds on until `go` is set: it first lets the test know, and then, where
// `lock` is given, waits for the test's lock.
struct HeldCallback {
    std::atomic<bool> entered{false};
    std::atomic<bool> go{false};
    std::atomic<bool> returned{false};
    std::mutex* lock = nullptr;
};

void HOOK_CONTROL_CALL hold_on(void* call)
{
    HeldCallback& held = *static_cast<HeldCallback*>(call);
    held.entered = true;
    if (held.lock) {
        held.lock->lock();
        held.lock->unlock();
    }
    while (!held.go)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    held.returned = true;
}

// Starts a host whose watch's callback `held` is under way when it returns.
hook_host* with_callback_under_way(HeldCallback& held)
{
    hook_host* host = started_host(1);
    EXPECT_EQ(hook_host_watch(host, hold_on, &held), HOOK_HOST_OK) << hook_host_last_error();
    EXPECT_EQ(hook_host_close(host, 0), HOOK_HOST_OK);
    while (!held.entered)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return host;
}

// Every call on `host` (its report read), which it ends: the results of the calls that answer.
std::vector<hook_host_result> every_call(hook_host* host, hook_host* other)
{
    std::atomic<int> calls{0};
    std::vector<hook_host_result> results;
    int32_t value = 0;
    results.push_back(hook_host_watch(host, count_call, &calls));
    results.push_back(hook_host_watch(other, count_call, &calls));
    results.push_back(hook_host_unwatch(other, count_call, &calls));
    results.push_back(hook_host_process_id(host) != 0 && hook_host_waitable(host) >= 0 ? HOOK_HOST_OK
                                                                                       : HOOK_HOST_FAILED);
    results.push_back(hook_host_wait_report(host, 0, &value));
    results.push_back(hook_host_post(hook_host_process_id(host), 0x400, 0, 0)); // WM_USER: dropped
    results.push_back(hook_host_close(host, 5));
    results.push_back(hook_host_wait(host, 10000, &value));
    results.push_back(hook_host_unwatch(host, count_call, &calls));
    results.push_back(hook_host_status_text(value)[0] == '\0' && hook_host_last_error() ? HOOK_HOST_OK
                                                                                        : HOOK_HOST_FAILED);
    return results;
}

const std::vector<hook_host_result> every_call_answers(10, HOOK_HOST_OK);

// A watch's callback that makes every call on a host it starts, on another host, and on its own,
// which it releases.
struct CallsWithin {
    hook_host* own = nullptr;
    hook_host* other = nullptr;
    std::vector<hook_host_result> results;
    std::atomic<bool> done{false};
};

void HOOK_CONTROL_CALL call_within(void* call)
{
    CallsWithin& within = *static_cast<CallsWithin*>(call);
    hook_host* started = started_host(2);
    within.results = every_call(started, within.other);
    hook_host_release(started);
    int32_t status = -1;
    within.results.push_back(hook_host_wait(within.own, 0, &status));
    within.results.push_back(hook_host_unwatch(within.own, call_within, call));
    hook_host_release(within.own);
    within.done = true;
}

// What of the library's kind this process holds open: "PIDFDS EVENTFDS STAT-FILES", and the stat files'
// process ids.
std::string library_descriptors()
{
    int counts[3] = {0, 0, 0};
    std::string stats;
    DIR* listed = opendir("/proc/self/fd");
    for (const dirent* entry; listed && (entry = readdir(listed));) {
        char path[64];
        char target[256] = {};
        snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        if (readlink(path, target, sizeof target - 1) <= 0)
            continue;
        const std::string link = target;
        if (link == "anon_inode:[pidfd]")
            ++counts[0];
        else if (link == "anon_inode:[eventfd]")
            ++counts[1];
        else if (link.size() > 5 && link.compare(link.size() - 5, 5, "/stat") == 0) {
            ++counts[2];
            stats += " " + link;
        }
    }
    if (listed)
        closedir(listed);
    return std::to_string(counts[0]) + " " + std::to_string(counts[1]) + " " + std::to_string(counts[2]) + stats;
}

} // namespace

TEST(HookControlThreads, HostsOfTheirOwnFromManyThreadsAtOnce)
{
    std::vector<std::thread> threads;
    for (void (*work)(int32_t) :
         {close_and_wait, close_and_wait, release_at_once, leave_to_the_library, watch_the_end, fail_to_start})
        threads.emplace_back([work, first = static_cast<int32_t>(threads.size() * 100)] {
            for (int round = 0; round < rounds; ++round)
                work(first + round);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(no_child_left()) << "a host is left running, or a zombie";
}

// A callback starts a host while another thread starts hosts one after another: each start is made,
// neither waits for the other for good.
TEST(HookControlThreads, ACallbackStartsAHostWhileAnotherThreadStarts)
{
    std::atomic<bool> stop{false};
    std::thread starter([&stop] {
        for (int32_t number = 0; !stop; ++number)
            release_at_once(number);
    });
    for (int32_t run = 0; run < 10; ++run) {
        StartWithin within;
        hook_host* host = nullptr;
        ASSERT_EQ(hook_host_start(HOOK_HOST_PATH, run, 0, &host), HOOK_HOST_OK) << hook_host_last_error();
        EXPECT_EQ(hook_host_watch(host, start_within, &within), HOOK_HOST_OK) << hook_host_last_error();
        EXPECT_EQ(hook_host_close(host, 0), HOOK_HOST_OK);
        for (int tries = 0; tries < 1000 && !within.done; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!within.done) { // the library's thread waits for good: no test after could run
            ADD_FAILURE() << "the callback's start and the other thread's wait for each other";
            _Exit(EXIT_FAILURE);
        }
        EXPECT_EQ(within.result, HOOK_HOST_OK);
        hook_host_release(host);
    }
    stop = true;
    starter.join();
    EXPECT_TRUE(no_child_left()) << "a host is left running, or a zombie";
}

// Two waits at once on one host, as two event loops make them: both give the status, and a known end
// is never taken for one that a wait of the controller's own took.
TEST(HookControlThreads, TwoWaitsAtOnceBothGiveTheStatus)
{
    for (int32_t run = 0; run < 40; ++run) {
        hook_host* host = nullptr;
        ASSERT_EQ(hook_host_start(HOOK_HOST_PATH, run, 0, &host), HOOK_HOST_OK) << hook_host_last_error();
        int32_t values[2] = {-1, -1};
        hook_host_result results[2] = {HOOK_HOST_FAILED, HOOK_HOST_FAILED};
        std::thread other([&] { results[1] = hook_host_wait(host, 10000, &values[1]); });
        EXPECT_EQ(hook_host_close(host, static_cast<uint32_t>(run)), HOOK_HOST_OK);
        results[0] = hook_host_wait(host, 10000, &values[0]);
        other.join();
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(results[i], HOOK_HOST_OK) << run << ": " << hook_host_last_error();
            EXPECT_EQ(values[i], run);
        }
        hook_host_release(host);
    }
}

// A callback that blocks holds up no start: hosts are started elsewhere than where callbacks run.
TEST(HookControlThreads, ACallbackUnderWayHoldsUpNoStart)
{
    HeldCallback held;
    hook_host* host = with_callback_under_way(held);
    within_seconds(10, "a start beside a callback under way", [] {
        const auto begun = std::chrono::steady_clock::now();
        hook_host* other = nullptr;
        EXPECT_EQ(hook_host_start(HOOK_HOST_PATH, 1, 0, &other), HOOK_HOST_OK) << hook_host_last_error();
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
        hook_host_release(other);
    });
    held.go = true;
    hook_host_release(host);
    EXPECT_TRUE(held.returned) << "the release waited for the callback under way";
}

// A callback waits for a lock that the test holds while it makes every call on another host: none
// waits for the callback.
TEST(HookControlThreads, EveryCallIsMadeWhileACallbackWaitsForTheCallersLock)
{
    std::mutex lock;
    HeldCallback held;
    held.lock = &lock;
    held.go = true; // once it has the lock
    std::unique_lock<std::mutex> taken(lock);
    hook_host* host = with_callback_under_way(held);
    within_seconds(20, "the calls beside a callback that waits for the caller's lock", [] {
        hook_host* one = started_host(3);
        hook_host* other = started_host(4);
        EXPECT_EQ(every_call(one, other), every_call_answers);
        hook_host_release(one);
        hook_host_release(other);
    });
    taken.unlock();
    hook_host_release(host);
    EXPECT_TRUE(held.returned);
}

// A callback makes every call: on a host it starts, on another, and on its own host, which it releases.
TEST(HookControlThreads, ACallbackMakesEveryCallOnItsOwnAndOtherHosts)
{
    CallsWithin within;
    within.own = started_host(5);
    within.other = started_host(6);
    ASSERT_EQ(hook_host_watch(within.own, call_within, &within), HOOK_HOST_OK) << hook_host_last_error();
    EXPECT_EQ(hook_host_close(within.own, 7), HOOK_HOST_OK);
    within_seconds(20, "a callback that makes every call", [&within] {
        while (!within.done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    std::vector<hook_host_result> answers = every_call_answers;
    answers.insert(answers.end(), {HOOK_HOST_OK, HOOK_HOST_OK});
    EXPECT_EQ(within.results, answers);
    hook_host_release(within.other);
    EXPECT_TRUE(no_child_left()) << "a host is left running, or a zombie";
}

// A child forked while the parent's hosts run keeps none of the descriptors that the library holds for
// them, once it has released its copies of their handles; after a start of its own, it holds that
// host's and its own thread's alone.
TEST(HookControlThreads, AForkedChildKeepsNoneOfItsParentsDescriptors)
{
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
    GTEST_SKIP() << "ThreadSanitizer ends a child of a process with threads that makes a thread";
#endif
#endif
    std::vector<hook_host*> hosts;
    for (int32_t number = 0; number < 5; ++number)
        hosts.push_back(started_host(number));
    int answer[2];
    ASSERT_EQ(pipe(answer), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (hook_host* host : hosts)
            hook_host_release(host);
        std::string seen = library_descriptors() + " / ";
        hook_host* own = nullptr;
        if (hook_host_start(HOOK_HOST_PATH, 9, 0, &own) == HOOK_HOST_OK)
            seen += library_descriptors();
        hook_host_release(own);
        seen += "\n";
        const bool written = write(answer[1], seen.data(), seen.size()) == static_cast<ssize_t>(seen.size());
        _exit(written ? 0 : 1);
    }
    close(answer[1]);
    char seen[512] = {};
    const ssize_t got = read(answer[0], seen, sizeof seen - 1);
    close(answer[0]);
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_GT(got, 0);
    // The host's pidfd and the one its thread watches, the thread's eventfd, and the child's own stat file.
    EXPECT_EQ(std::string(seen), "0 0 0 / 2 1 1 /proc/" + std::to_string(child) + "/stat\n");
    for (hook_host* host : hosts)
        hook_host_release(host);
}
