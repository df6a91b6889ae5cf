#include "last_error.h"

#include <stdarg.h>
#include <stdio.h>

namespace {
thread_local char last_error[512];
}

hook_host_result failed(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above; clang 14 loses it here.
    vsnprintf(last_error, sizeof last_error, format, arguments);
    va_end(arguments);
    return HOOK_HOST_FAILED;
}

extern "C" const char* hook_host_last_error(void)
{
    return last_error;
}
