#include "pidfd_linux.h"

#include <errno.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "hook_control.h"

namespace hook_control_internal {

namespace {

// What poll takes as the time left until `deadline`; -1 for no limit.
int left_until(int64_t deadline, uint32_t timeout_ms)
{
    if (timeout_ms == HOOK_HOST_NO_LIMIT)
        return -1;
    const int64_t left = deadline - monotonic_ms();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, std::numeric_limits<int>::max()));
}

} // namespace

int64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

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

int pidfd_wait(int pidfd, uint32_t timeout_ms)
{
    pollfd ended{pidfd, POLLIN, 0};
    return poll_until(&ended, 1, monotonic_ms() + timeout_ms, timeout_ms);
}

void pidfd_kill(int pidfd)
{
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
}

int take_status(int pidfd, siginfo_t& info, int options)
{
    info = {};
    while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | options) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

} // namespace hook_control_internal
