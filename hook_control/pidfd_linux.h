// Waits on a child through its pidfd, never through its pid number, which a later process may have
// once it has been reaped (as Rust's standard library does on Linux). Each call takes up again where
// a signal cuts it short.
#pragma once

#include <poll.h>
#include <signal.h>
#include <stdint.h>

namespace hook_control_internal {

// CLOCK_MONOTONIC in milliseconds.
int64_t monotonic_ms();

// Polls `fds` until one is ready or `deadline` (of monotonic_ms) has passed; `timeout_ms` of
// HOOK_HOST_NO_LIMIT waits without limit. What poll gives: the count ready, 0 once the time is up,
// -1 with errno.
int poll_until(pollfd* fds, nfds_t count, int64_t deadline, uint32_t timeout_ms);

// Waits at most `timeout_ms` (HOOK_HOST_NO_LIMIT: without limit; 0: not at all) for the process behind
// `pidfd` to end: 1 once it has, 0 while it runs, -1 with errno. Its status is not taken.
int pidfd_wait(int pidfd, uint32_t timeout_ms);

// Sends SIGKILL to the process behind `pidfd` (pidfd_send_signal, Linux 5.1).
void pidfd_kill(int pidfd);

// Takes the status of the child behind `pidfd`, waiting for its end unless `options` holds WNOHANG:
// the process, never a later one of the same pid number (waitid(P_PIDFD), Linux 5.4). 0, or the errno
// of why not: ECHILD where another wait of the process took it first.
int take_status(int pidfd, siginfo_t& info, int options = 0);

} // namespace hook_control_internal
