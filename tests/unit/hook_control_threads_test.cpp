// hook_control from several threads at once, each with hosts of its own: some start, read, close and
// wait for hosts; some release hosts while they start; some leave hosts that outlive their handles to
// the library; some watch hosts' ends, and release some while they are watched; some make starts that
// fail. And two waits at once on one host. Run under ThreadSanitizer too (the linux-tsan preset).
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
