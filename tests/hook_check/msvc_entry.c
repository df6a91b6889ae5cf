// The entry as MSVC exports a C++ function void SetTeskShellHook(int64_t): under its C++ name
// ?SetTeskShellHook@@YAX_J@Z, given here by msvc_entry.def, as this toolchain names functions otherwise.
#include <stdint.h>

void msvc_entry(int64_t hook_argument);

void msvc_entry(int64_t hook_argument)
{
    (void)hook_argument;
}
