// A position-independent program that exports the entry: it runs, but is no library.
#include <stdint.h>

void SetTeskShellHook(int64_t hook_argument);

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
}

int main(void)
{
    return 0;
}
