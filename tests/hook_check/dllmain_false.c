// A library whose initialisation fails: its DllMain returns FALSE when it is loaded, and the loader
// then refuses the start.
#include <stdint.h>
#include <windows.h>

void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    return reason != DLL_PROCESS_ATTACH;
}
