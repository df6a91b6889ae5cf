// A stand-in for the 32-bit host, as hook_check reads it: an x86 program bound by name to
// TeskShellHook32.dll!SetTeskShellHook, and to nothing else (no C library, so that no system library
// of the 32-bit side is needed to read it). It is read, never run.
#include <stdint.h>

__declspec(dllimport) void SetTeskShellHook(intptr_t hook_argument);
int start(void);

int start(void)
{
    SetTeskShellHook(0);
    return 0;
}
