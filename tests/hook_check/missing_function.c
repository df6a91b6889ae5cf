// A sound entry in a library that imports from KERNEL32.dll a function that no system's KERNEL32.dll
// exports, as a library built against a newer system's import library does.
#include <stdint.h>

__declspec(dllimport) void NoSuchFunctionXYZ(void);
void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    if (hook_argument == -1)
        NoSuchFunctionXYZ();
}
