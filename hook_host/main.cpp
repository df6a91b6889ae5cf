// The hook host: installs the shell hook and keeps the installing thread alive until WM_CLOSE.

// C headers, not <cstdio>: the C++ headers switch the Windows toolchain to a printf of its own.
#include <stdio.h>

#include "TeskShellHook.h"
#include "close_wait.h"
#include "hook_value.h"
#include "platform.h"

int main(int argc, char** argv)
{
    // Exactly one argument, or status -1 with nothing printed and nothing installed.
    if (argc != 2)
        return -1;

    // Read the number.
    const int32_t hook_value = read_hook_value(argv[1]);

    // Report it, with the queue already there: a controller may post its close as soon as it
    // reads the line, and the line must be out before the library can hold this thread.
    platform::open_queue();
    printf("Adding hook for %d\n", hook_value);
    fflush(stdout);

    // Install the hook, the value at the pointer's width (on x86-64 widened with its sign).
    SetTeskShellHook(hook_value);

    // Wait for WM_CLOSE; its wParam is the exit status.
    return close_wait();
}
