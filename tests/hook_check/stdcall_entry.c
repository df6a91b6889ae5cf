// The entry declared __stdcall, built for x86: GCC exports it as SetTeskShellHook@4, and a caller
// that calls it __cdecl, as the 32-bit host does, finds its stack unbalanced.
#include <stdint.h>

__declspec(dllexport) void __stdcall SetTeskShellHook(intptr_t hook_argument);

__declspec(dllexport) void __stdcall SetTeskShellHook(intptr_t hook_argument)
{
    (void)hook_argument;
}
