// Posting to a thread's queue on Windows (PostThreadMessageW). Plain Win32.
#pragma once

#include <windows.h>

#include "hook_control_platform.h"

namespace hook_control_internal {

// What a post that PostThreadMessageW refused with `error` found.
Post post_refusal(DWORD error);

} // namespace hook_control_internal
