// What hook_control needs of its platform: each platform's file (hook_control_linux.cpp,
// hook_control_windows.cpp, chosen by the build) defines every call below, and hook_control.cpp makes
// the calls of hook_control.h of them, with what is the same on every platform: the arguments'
// checks, and a close as a wait for the report line and a post. Each call has the contract of the
// public call it serves (see hook_control.h), its arguments checked.
#pragma once

#include "hook_control.h"

// hook_host_start: `path` and `host` are given, and no unknown flag.
hook_host_result start_host(const char* path, int32_t number, uint32_t flags, hook_host** host);

// hook_host_wait_report.
hook_host_result wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported);

// Posts WM_CLOSE with `status` as wParam to the main thread of `host`, whose report line is read.
hook_host_result post_close(hook_host* host, uint32_t status);

// hook_host_wait.
hook_host_result wait_end(hook_host* host, uint32_t timeout_ms, int32_t* status);

// hook_host_process_id.
uint32_t process_id(const hook_host* host);

// hook_host_waitable: `host` is given.
intptr_t waitable(const hook_host* host);

// What hook_host_waitable gives for no host.
extern const intptr_t no_waitable;

// hook_host_release: `host` is given.
void release_host(hook_host* host);

// hook_host_post: `process_id` is not 0, which names no process that has a message queue.
hook_host_result post_message(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam);

// How long a host whose output has ended is given to end, before it is taken for a program that
// closed its output without reporting.
constexpr uint32_t output_end_grace_ms = 1000;
