// An entry that crashes: it writes through a null pointer, which the compiler cannot see is null.
#include <stdint.h>

void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    volatile int* volatile nowhere = 0;
    *nowhere = (int)hook_argument;
}
