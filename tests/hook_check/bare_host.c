// A stand-in for a host of another machine (the 32-bit host, the ARM64 host), as hook_check reads it:
// a program bound by name to its hook library's SetTeskShellHook, which the import library it is
// linked with names, and to nothing else (no C library, so that no system library of that machine
// is needed to read it). It is read, never run.
#include <stdint.h>

__declspec(dllimport) void SetTeskShellHook(intptr_t hook_argument);
int start(void);

int start(void)
{
    SetTeskShellHook(0);
    return 0;
}
