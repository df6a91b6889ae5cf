// The entry exported only under a hidden version (SetTeskShellHook@V2, not @@V2): a host that asks
// for no version never binds it.
#include <stdint.h>

void hidden_entry(int64_t hook_argument);

void hidden_entry(int64_t hook_argument)
{
    (void)hook_argument;
}
__asm__(".symver hidden_entry, SetTeskShellHook@V2");
