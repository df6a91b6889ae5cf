// Why this thread's last call failed, as hook_host_last_error gives it.
#pragma once

#include "hook_control.h"

// Records the reason, printf-style, and returns HOOK_HOST_FAILED. The text kept is valid UTF-8 (a
// byte that is not is written as \xNN), cut where it is too long at a character's boundary.
hook_host_result failed(const char* format, ...);

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
