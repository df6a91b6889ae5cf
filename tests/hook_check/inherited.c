// A sound entry in a library that needs another, which needs a third beside them: found through the
// hook library's DT_RPATH, which the one between inherits, and not through a DT_RUNPATH, which it does not.
#include <stdint.h>

void hook_check_middle(void);
void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
    hook_check_middle();
}
