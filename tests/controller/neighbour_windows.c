/* A hostile neighbour of every test controller running: for each it takes the output pipe names
 * \\.\pipe\hook_control.PID.1 to .64 (a name once counted from 1) and holds the error mode's mutex
 * named for its process; then, until its standard input ends, it connects to every pipe named
 * hook_control.* that it can list, and to the next counted names, as fast as it can. It prints
 * "ready" once the names are taken, and at its end what it connected to. */
#include <windows.h>

#include <tlhelp32.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

static volatile LONG done;
static LONG connected;

static void take_names(DWORD pid)
{
    wchar_t name[96];
    for (int n = 1; n <= 64; ++n) {
        wsprintfW(name, L"\\\\.\\pipe\\hook_control.%lu.%d", pid, n);
        CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_TYPE_BYTE, 1, 0, 4096, 0,
                         NULL);
    }
    wsprintfW(name, L"Local\\hook_control.error_mode.%lu", pid);
    CreateMutexW(NULL, TRUE, name); /* held by this thread until the end */
}

static void connect_to(const wchar_t* name)
{
    const HANDLE pipe = CreateFileW(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe != INVALID_HANDLE_VALUE)
        InterlockedIncrement(&connected); /* and held */
}

static DWORD WINAPI flood(void* pids_)
{
    const DWORD* pids = pids_;
    while (!done) {
        WIN32_FIND_DATAW found;
        const HANDLE listing = FindFirstFileW(L"\\\\.\\pipe\\*", &found);
        if (listing != INVALID_HANDLE_VALUE) {
            do {
                if (wcsncmp(found.cFileName, L"hook_control.", 13) == 0) {
                    wchar_t name[MAX_PATH + 16];
                    wsprintfW(name, L"\\\\.\\pipe\\%s", found.cFileName);
                    connect_to(name);
                }
            } while (FindNextFileW(listing, &found));
            FindClose(listing);
        }
        for (const DWORD* pid = pids; *pid; ++pid)
            for (int n = 65; n <= 200; ++n) {
                wchar_t name[96];
                wsprintfW(name, L"\\\\.\\pipe\\hook_control.%lu.%d", *pid, n);
                connect_to(name);
            }
    }
    return 0;
}

int main(void)
{
    DWORD pids[64] = {0};
    int count = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && count < 63; more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, L"test_controller.exe") == 0)
            pids[count++] = entry.th32ProcessID;
    for (int i = 0; i < count; ++i)
        take_names(pids[i]);
    printf("ready %d\n", count);
    fflush(stdout);
    const HANDLE flooding = CreateThread(NULL, 0, flood, pids, 0, NULL);
    char line[64];
    while (fgets(line, sizeof line, stdin)) { }
    done = 1;
    WaitForSingleObject(flooding, INFINITE);
    printf("connected %ld\n", connected);
    return 0;
}
