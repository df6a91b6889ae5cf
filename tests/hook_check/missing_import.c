// A sound entry in a library that imports one more library, which is not beside the host.
#include <stdint.h>

void hook_check_gone(void);
void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
    hook_check_gone();
}
