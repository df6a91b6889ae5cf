// A sound entry in a library bound at once (-z now) that calls a function no library defines.
#include <stdint.h>

void hook_check_nowhere(void);
void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    if (hook_argument == INT64_MIN)
        hook_check_nowhere();
}
