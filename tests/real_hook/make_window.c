/* Makes a top-level window, shows it and destroys it: what a global WH_CBT hook sees in this process as
 * HCBT_CREATEWND and HCBT_DESTROYWND, and WH_SHELL as HSHELL_WINDOWCREATED and HSHELL_WINDOWDESTROYED.
 * Prints "<process id> <thread id>" first, so that its calls can be told from others'. */
#include <windows.h>

#include <stdio.h>

int main(void)
{
    printf("%lu %lu\n", GetCurrentProcessId(), GetCurrentThreadId());
    fflush(stdout);
    const HWND window =
        CreateWindowExW(0, L"STATIC", L"make_window", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL, NULL, NULL, NULL);
    if (!window) {
        fprintf(stderr, "make_window: no window (error %lu)\n", GetLastError());
        return 1;
    }
    ShowWindow(window, SW_SHOWNOACTIVATE);
    DestroyWindow(window);
    return 0;
}
