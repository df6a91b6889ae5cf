// Why this thread's last call failed, as hook_host_last_error gives it.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "hook_control.h"

constexpr size_t last_error_size = 512;

// The calling thread's text.
char* last_error();

// Records the reason and returns HOOK_HOST_FAILED.
hook_host_result failed(const char* reason);

// Records the reason, printf-style, and returns HOOK_HOST_FAILED.
template <typename... Arguments> hook_host_result failed(const char* format, Arguments... arguments)
{
    snprintf(last_error(), last_error_size, format, arguments...);
    return HOOK_HOST_FAILED;
}
