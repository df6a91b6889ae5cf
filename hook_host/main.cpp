// The hook host: installs the shell hook and keeps the installing thread alive until WM_CLOSE.

// C headers, not <cstdio>: the C++ headers switch the Windows toolchain to a printf of its own.
#include <stdio.h>

#include "TeskShellHook.h"
#include "close_wait.h"
#include "hook_value.h"
#include "platform.h"

int main(int argc, char** argv)
{
    // A start with any other arguments is a controller's mistake: status -1, with no line that it could
    // take for a report and no hook left behind.
    if (argc != 2)
        return -1;

    // By atol's rules, which controllers rely on: no text is refused, so every start reports.
    const int32_t hook_value = read_hook_value(argv[1]);

    // The queue comes before the line: a controller may post its close as soon as it reads the line,
    // and the line must be out before the library can hold this thread.
    platform::open_queue();
    printf("Adding hook for %d\n", hook_value);
    fflush(stdout);

    // The library takes a value of the pointer's width: on x86-64 the number is widened with its sign,
    // so -1 stays -1.
    SetTeskShellHook(hook_value);

    // Only WM_CLOSE ends the wait, on this thread, which the hook needs alive; its wParam is the exit
    // status the controller chose.
    return close_wait();
}
