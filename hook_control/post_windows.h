// Posting to a host's main thread on Windows, by process id (PostThreadMessageW). Plain Win32.
#pragma once

#include <windows.h>

#include "hook_control.h"

// Records why a post to process `process_id` failed with `error`, and returns HOOK_HOST_FAILED.
hook_host_result refused(DWORD process_id, DWORD error);
