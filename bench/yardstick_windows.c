/* The yardstick: the least C program of the hook host's design, that the benchmark holds the host
 * against. The same queue, report line, installation call and 100 ms poll, and nothing else. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "TeskShellHook.h"

int main(int argc, char** argv)
{
    MSG message;
    if (argc != 2)
        return -1;
    const long value = atol(argv[1]);

    PeekMessageW(&message, NULL, WM_USER, WM_USER, PM_NOREMOVE);
    printf("Adding hook for %ld\n", value);
    fflush(stdout);
    SetTeskShellHook(value);

    for (;;) {
        const BOOL closing = PeekMessageW(&message, NULL, 0, 0, PM_REMOVE) && message.message == WM_CLOSE;
        Sleep(100);
        if (closing)
            return (int)message.wParam;
    }
}
