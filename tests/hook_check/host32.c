// A stand-in for the 32-bit host, as hook_check reads it: an x86 program bound by name to
// TeskShellHook32.dll!SetTeskShellHook. It is read, never run.
#include <stdint.h>

__declspec(dllimport) void SetTeskShellHook(intptr_t hook_argument);

int main(void)
{
    SetTeskShellHook(0);
    return 0;
}
