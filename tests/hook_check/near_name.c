// The entry exported in another case than the host binds.
#include <stdint.h>

void setTeskShellHook(int64_t hook_argument);

void setTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
}
