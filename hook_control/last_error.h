// Why this thread's last call failed, as hook_host_last_error gives it.
#pragma once

#include <stddef.h>

#include "hook_control.h"

namespace hook_control_internal {

// The system's code of why a call failed: errno, or GetLastError's; no_reason for none.
typedef unsigned long SystemError;
constexpr SystemError no_reason = 0;

// Records what failed, printf-style, followed by ": " and the system's text for `why` unless it is
// no_reason, and returns HOOK_HOST_FAILED: the one way every call records a failure. The text kept is
// valid UTF-8 (a byte that is not is written as \xNN), cut where it is too long at a character's
// boundary. `why` is left as the thread's errno or GetLastError, for a binding that passes the code on.
hook_host_result failed(SystemError why, const char* format, ...);

// The system's text for `error` in `text` (`size` bytes, NUL included), as failed() adds it: given by
// each platform's file (system_error_linux.cpp, system_error_windows.cpp).
void describe(SystemError error, char* text, size_t size);

// Makes `error` the thread's errno (Linux) or GetLastError (Windows): given by the same files.
void leave_system_error(SystemError error);

// Whether `text` is valid UTF-8 throughout, by the same rule as the texts above keep to.
bool is_utf8(const char* text);

// A path as an error text shows it.
struct PathText {
    char text[168];
};

// `path` fit for an error text: valid UTF-8 (a byte that is not is written as \xNN) and at most 160
// bytes, a longer one cut at its start to "...", so that the reason and the error number that follow
// it are never lost.
PathText path_text(const char* path);

} // namespace hook_control_internal
