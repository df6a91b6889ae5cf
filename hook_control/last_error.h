// Why this thread's last call failed, as hook_host_last_error gives it.
#pragma once

#include "hook_control.h"

// Records the reason, printf-style, and returns HOOK_HOST_FAILED.
hook_host_result failed(const char* format, ...);
