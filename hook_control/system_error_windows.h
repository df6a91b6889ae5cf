// Failure texts with the system's own reason, as hook_control's Windows files give them.
#pragma once

#include <windows.h>

#include "hook_control.h"

// Records "<what>: <the system's text> (error N)", <what> made by wvsprintfA from `format`, and
// returns HOOK_HOST_FAILED.
hook_host_result failed_with(DWORD error, const char* format, ...);
