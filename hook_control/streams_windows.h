// The host's standard output and error on Windows, as it is handed them. Plain Win32.
#pragma once

#include <windows.h>

#include "handle_windows.h"
#include "hook_control.h"

namespace hook_control_internal {

// A pipe for the host's standard output: `reading` ours and overlapped, `writing` inheritable. False
// with the last error set where it cannot be made.
bool make_output_pipe(Handle& reading, Handle& writing);

// The host's standard error, inheritable, in `error`: the controller's own (none where it has none), or
// the null device for a host that outlives its controller (`flags`). False with the last error set
// where the null device cannot be opened.
bool standard_error(uint32_t flags, Handle& error);

} // namespace hook_control_internal
