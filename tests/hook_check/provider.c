// A library that defines the entry for a hook library that needs it and lacks it.
#include <stdint.h>

void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
}
