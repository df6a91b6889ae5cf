// The entry declared without extern "C": exported under the compiler's C++ name for it
// (_Z16SetTeskShellHookx from mingw-w64, _Z16SetTeskShellHookl here), which the host does not bind.
#include <stdint.h>

void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
}
