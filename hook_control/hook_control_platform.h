// What hook_control needs of its platform, one implementation per platform; the calls that are the
// same on every platform are made of these in hook_control.cpp.
#pragma once

#include "hook_control.h"

// hook_host_start, its arguments checked: `path` and `host` are given, and no unknown flag.
hook_host_result start_host(const char* path, int32_t number, uint32_t flags, hook_host** host);

// Posts WM_CLOSE with `status` as wParam to the main thread of `host`, whose report line is read.
hook_host_result post_close(hook_host* host, uint32_t status);

// How long a host whose output has ended is given to end, before it is taken for a program that
// closed its output without reporting.
constexpr uint32_t output_end_grace_ms = 1000;
