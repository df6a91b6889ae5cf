/* An example hook library that really hooks: a TeskShellHook64.dll that installs a global hook and
 * records each call of its hook procedure, in whatever process it runs, as a line appended to
 * hook_calls.txt in the library's own folder. For tests and the benchmark: it is never shipped as
 * the hook library.
 *
 * SetTeskShellHook's argument chooses the hook kind:
 *   1  WH_SHELL        called in each process whose windows the shell is told of
 *   2  WH_CBT          called in each process that makes, moves, activates or destroys a window
 *   3  WH_KEYBOARD_LL  called on the installing thread, the host's main thread, for each key event
 * Any other argument installs nothing.
 *
 * The lines, one a call (ids in decimal):
 *   <process id> <thread id> SetTeskShellHook <argument>     the installation call
 *   <process id> <thread id> failed <error>                  SetWindowsHookExW refused it
 *   <process id> <thread id> <kind> <code>                   a call of the hook procedure
 *
 * How the platform delivers the calls: WH_SHELL and WH_CBT are called inside each 64-bit process
 * they concern, which loads this library for it. Windows calls them for a 32-bit process on the
 * installing thread, as it calls a low-level hook, so those calls too wait for the host's polls;
 * Wine does not call them for a 32-bit process at all. Windows removes a thread's hooks when the
 * thread ends; Wine keeps them until about a second after the installing process has ended. */
#include <windows.h>

#include <stdio.h>

#include "TeskShellHook.h"

static HINSTANCE module;
static wchar_t record_path[MAX_PATH];

/* Appends one line; the file is opened for each, so that every process's lines land whole. */
static void record(const char* what, long long value)
{
    char line[96];
    const int length =
        snprintf(line, sizeof line, "%lu %lu %s %lld\n", GetCurrentProcessId(), GetCurrentThreadId(), what, value);
    const HANDLE file = CreateFileW(record_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

static LRESULT CALLBACK shell_procedure(int code, WPARAM wparam, LPARAM lparam)
{
    record("WH_SHELL", code);
    return CallNextHookEx(NULL, code, wparam, lparam);
}

static LRESULT CALLBACK cbt_procedure(int code, WPARAM wparam, LPARAM lparam)
{
    record("WH_CBT", code);
    return CallNextHookEx(NULL, code, wparam, lparam);
}

static LRESULT CALLBACK keyboard_procedure(int code, WPARAM wparam, LPARAM lparam)
{
    record("WH_KEYBOARD_LL", code);
    return CallNextHookEx(NULL, code, wparam, lparam);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        /* The record sits beside the library, wherever the process that loads it runs. */
        module = instance;
        const DWORD length = GetModuleFileNameW(instance, record_path, MAX_PATH);
        if (length == 0 || length == MAX_PATH)
            return FALSE;
        wchar_t* name = wcsrchr(record_path, L'\\');
        if (!name || (size_t)(name + 1 - record_path) + sizeof L"hook_calls.txt" / sizeof(wchar_t) > MAX_PATH)
            return FALSE;
        wcscpy(name + 1, L"hook_calls.txt");
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

void TESK_SHELL_HOOK_CALL SetTeskShellHook(intptr_t hook_argument)
{
    static const struct {
        int kind;
        HOOKPROC procedure;
    } hooks[] = {{WH_SHELL, shell_procedure}, {WH_CBT, cbt_procedure}, {WH_KEYBOARD_LL, keyboard_procedure}};

    record("SetTeskShellHook", hook_argument);
    if (hook_argument < 1 || hook_argument > (intptr_t)(sizeof hooks / sizeof hooks[0]))
        return;
    /* Global (thread 0), from this module: the platform loads it into the processes it hooks. The hook
     * is never removed: it goes with the host's main thread. */
    if (!SetWindowsHookExW(hooks[hook_argument - 1].kind, hooks[hook_argument - 1].procedure, module, 0))
        record("failed", GetLastError());
}
