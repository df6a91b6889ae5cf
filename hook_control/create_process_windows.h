// The host's process on Windows: created suspended, handed no handle of ours but its streams, and in
// a job of its own where it has one, before it runs anything of its own. Plain Win32.
#pragma once

#include <windows.h>

#include "hook_control.h"

namespace hook_control_internal {

// What the host is started with.
struct HostStart {
    const wchar_t* program; // the full path, which names it exactly, with no search
    wchar_t* command;       // its command line, which CreateProcessW may write to
    const wchar_t* folder;  // its current folder
    HANDLE output;          // its standard output, inheritable
    HANDLE error;           // its standard error, inheritable, or null for none
    HANDLE job;             // the job it joins, or null for none
    const char* shown;      // its path as error texts show it
};

// Creates the host suspended and in its job (from its creation, where the system takes the job list):
// the handles of `process` are the caller's, the host's thread to resume. Starts of several threads, and of several
// copies of this library in the process, take turns at the process's error mode, which the creation changes for a
// moment (see the .cpp).
hook_host_result create_in_job(const HostStart& start, PROCESS_INFORMATION& process);

// Lets the host created by create_in_job run. Where its thread cannot be resumed, it is ended and let
// go of, and the start fails with the reason.
hook_host_result run_host(const PROCESS_INFORMATION& process, const char* shown);

} // namespace hook_control_internal
