// Posting on Windows: PostThreadMessageW to the process's main thread.
#include <windows.h>

#include <stdio.h>
#include <tlhelp32.h>

#include "post.h"

const uint64_t max_process_id = UINT32_MAX;

namespace {

// The main thread is the earliest created of the process's threads; the loader may add threads of
// its own, and the snapshot's order is not documented. 0 where there is no such process.
DWORD main_thread_of(DWORD pid, bool& denied)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD main = 0;
    ULONGLONG earliest = ~0ull;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        if (!thread) {
            denied = denied || GetLastError() == ERROR_ACCESS_DENIED;
            continue;
        }
        FILETIME created, exited, kernel, user;
        if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
            const ULONGLONG time = ULONGLONG{created.dwHighDateTime} << 32 | created.dwLowDateTime;
            if (time < earliest) {
                earliest = time;
                main = entry.th32ThreadID;
            }
        }
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return main;
}

} // namespace

const char* post_to_main_thread(uint32_t pid, const Message& message)
{
    bool denied = false;
    const DWORD thread = main_thread_of(pid, denied);
    if (!thread)
        return denied ? "access denied" : "no such process";
    if (PostThreadMessageW(thread, message.kind, static_cast<WPARAM>(message.wparam),
                           static_cast<LPARAM>(message.lparam)))
        return nullptr;
    const DWORD error = GetLastError();
    switch (error) {
    case ERROR_INVALID_THREAD_ID: // the thread has no queue
        return "not a hook host (its main thread has no message queue)";
    case ERROR_NOT_ENOUGH_QUOTA:
        return "its message queue is full";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    default:
        static char text[64];
        snprintf(text, sizeof text, "PostThreadMessageW failed with error %lu", error);
        return text;
    }
}
