// hook_control from several threads at once, each with hosts of its own: some start, read, close and
// wait for hosts; some release hosts while they start; some leave hosts that outlive their handles to
// the library; some make starts that fail. Run under ThreadSanitizer too (the linux-tsan preset).
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

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

void fail_to_start(int32_t)
{
    hook_host* host = nullptr;
    EXPECT_EQ(hook_host_start("/no/such/host", 1, 0, &host), HOOK_HOST_FAILED);
    EXPECT_EQ(host, nullptr);
    EXPECT_NE(strstr(hook_host_last_error(), "No such file"), nullptr) << hook_host_last_error();
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
    for (void (*work)(int32_t) : {close_and_wait, close_and_wait, release_at_once, leave_to_the_library, fail_to_start})
        threads.emplace_back([work, first = static_cast<int32_t>(threads.size() * 100)] {
            for (int round = 0; round < rounds; ++round)
                work(first + round);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(no_child_left()) << "a host is left running, or a zombie";
}
