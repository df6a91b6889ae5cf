// The pidfd helpers against children of the test's own: a child's end is seen and its status taken
// through its pidfd, also where another wait took it first, and a wait's deadline holds through
// signals that cut its poll short.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hook_control.h"
#include "pidfd_linux.h"

using namespace hook_control_internal;

namespace {

// A child that ends with `status` once its pipe's other end is written to or closed.
struct Child {
    pid_t pid = -1;
    int pidfd = -1;
    int release = -1;

    explicit Child(int status)
    {
        int ends[2];
        if (pipe(ends) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            char byte;
            close(ends[1]);
            static_cast<void>(read(ends[0], &byte, 1));
            _exit(status);
        }
        close(ends[0]);
        release = ends[1];
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child()
    {
        close(release);
        close(pidfd);
        waitpid(pid, nullptr, WNOHANG);
    }
    void end()
    {
        close(release);
        release = -1;
    }
};

TEST(Pidfd, SeesTheEndAndTakesTheStatusOfItsProcessOnce)
{
    Child child(7);
    ASSERT_GE(child.pidfd, 0);
    siginfo_t info;
    EXPECT_EQ(pidfd_wait(child.pidfd, 0), 0);
    EXPECT_EQ(pidfd_wait(child.pidfd, 20), 0);
    EXPECT_EQ(take_status(child.pidfd, info, WNOHANG), 0);
    EXPECT_EQ(info.si_pid, 0) << "nothing taken from a running child";

    child.end();
    EXPECT_EQ(pidfd_wait(child.pidfd, 10000), 1);
    ASSERT_EQ(take_status(child.pidfd, info), 0);
    EXPECT_EQ(info.si_pid, child.pid);
    EXPECT_EQ(info.si_code, CLD_EXITED);
    EXPECT_EQ(info.si_status, 7);
    EXPECT_EQ(take_status(child.pidfd, info, WNOHANG), ECHILD) << "taken once";
}

TEST(Pidfd, KillsItsProcessAndSaysWhenAnotherWaitTookItsStatus)
{
    Child killed(0);
    ASSERT_GE(killed.pidfd, 0);
    pidfd_kill(killed.pidfd);
    siginfo_t info;
    ASSERT_EQ(take_status(killed.pidfd, info), 0);
    EXPECT_EQ(info.si_code, CLD_KILLED);
    EXPECT_EQ(info.si_status, SIGKILL);

    Child stolen(3);
    ASSERT_GE(stolen.pidfd, 0);
    stolen.end();
    EXPECT_EQ(waitpid(-1, nullptr, 0), stolen.pid); // a wait for any child, as a controller may make
    EXPECT_EQ(pidfd_wait(stolen.pidfd, 0), 1);
    EXPECT_EQ(take_status(stolen.pidfd, info), ECHILD);
}

void ignore(int) { }

TEST(Pidfd, AWaitEndsAtItsDeadlineThroughSignalsAndNotBefore)
{
    struct sigaction action { };
    action.sa_handler = ignore; // no SA_RESTART: each signal cuts the poll short with EINTR
    struct sigaction before { };
    sigaction(SIGALRM, &action, &before);
    const itimerval every{{0, 2000}, {0, 2000}};
    setitimer(ITIMER_REAL, &every, nullptr);

    Child child(0);
    pollfd ended{child.pidfd, POLLIN, 0};
    for (const uint32_t timeout_ms : {0U, 30U, 200U}) {
        const int64_t started = monotonic_ms();
        EXPECT_EQ(poll_until(&ended, 1, started + timeout_ms, timeout_ms), 0) << timeout_ms;
        EXPECT_GE(monotonic_ms() - started, timeout_ms);
        EXPECT_LT(monotonic_ms() - started, timeout_ms + 1000);
    }
    child.end();
    EXPECT_EQ(poll_until(&ended, 1, 0, HOOK_HOST_NO_LIMIT), 1) << "no limit, whatever the deadline";

    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &before, nullptr);
}

} // namespace
