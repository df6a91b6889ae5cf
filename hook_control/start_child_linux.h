// The host's start on this machine: a child cloned into the controller's memory that sets itself up
// and execs the host. See start_child_linux.cpp for the hazards it answers.
#pragma once

#include <sched.h>
#include <sys/types.h>

namespace hook_control_internal {

// What the child needs, all made before it is started: it shares the controller's memory until its
// exec, and writes why its set-up failed into `failed_step` ("" for the exec itself) and `error`,
// which the parent reads once the child has left that memory.
struct Child {
    const char* program;
    char* const* argv;
    char* const* envp;
    const char* folder;
    int input;        // /dev/null
    int output;       // the writing end of the report pipe
    int error_output; // /dev/null for a host that outlives the controller, else -1: the controller's
    pid_t controller;
    bool outlive;
    cpu_set_t affinity{}; // the asking thread's, as its nice value (take_scheduling)
    bool has_affinity = false;
    int nice = 0;
    bool has_nice = false;
    const char* failed_step = nullptr;
    int error = 0;
};

// Takes the calling thread's CPU affinity and nice value into `child`, for the host: the thread that
// clones it has its own.
void take_scheduling(Child& child);

// Moves a new descriptor above standard input, output and error, which a controller may have closed,
// so that the child's setting up of those cannot overwrite it; the descriptor given is closed. The
// one that serves, or -1 with errno.
int above_standard(int fd);

// Starts the child on this thread, which must block every signal, one child at a time: its pidfd, or
// -errno. When it returns, the child has exec'd, or has ended with `failed_step` and `error` set.
int clone_child(Child& child, pid_t& pid);

} // namespace hook_control_internal
