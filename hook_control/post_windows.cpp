#include "post_windows.h"

#include <tlhelp32.h>

#include "hook_control_platform.h"
#include "system_error_windows.h"

namespace {

// The main thread is the earliest created of the process's threads; the loader may add threads of
// its own, and the snapshot's order is not documented. 0 where there is no such process.
DWORD main_thread_of(DWORD process_id, bool& denied)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD main = 0;
    ULONGLONG earliest = ~0ull;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != process_id)
            continue;
        const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        if (!thread) {
            denied = denied || GetLastError() == ERROR_ACCESS_DENIED;
            continue;
        }
        FILETIME created;
        FILETIME exited;
        FILETIME kernel;
        FILETIME user;
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

// Whether process `process_id` is gone, or has ended and is kept only by handles to it.
bool process_has_ended(DWORD process_id)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

} // namespace

hook_host_result refused(DWORD process_id, DWORD error)
{
    switch (error) {
    case ERROR_INVALID_THREAD_ID: // the thread exists but has no queue
        return failed_with(error, "cannot post to process %lu: not a hook host (its main thread has no message queue)",
                           process_id);
    case ERROR_NOT_ENOUGH_QUOTA: // 10,000 messages wait in the queue
        return failed_with(error, "cannot post to process %lu: its message queue is full", process_id);
    case ERROR_ACCESS_DENIED: // a process of higher integrity
        return failed_with(error, "cannot post to process %lu: access denied", process_id);
    default:
        return failed_with(error, "cannot post to process %lu", process_id);
    }
}

hook_host_result post_message(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    // The thread found may end before the post reaches it (ERROR_INVALID_PARAMETER: no such thread,
    // seen under Wine): the process's threads are looked at again.
    DWORD error = ERROR_INVALID_PARAMETER;
    for (int look = 0; look < 3 && error == ERROR_INVALID_PARAMETER; ++look) {
        bool denied = false;
        const DWORD thread = main_thread_of(process_id, denied);
        if (!thread)
            return denied ? failed_with(ERROR_ACCESS_DENIED, "cannot post to process %lu: access denied",
                                        static_cast<unsigned long>(process_id))
                          : HOOK_HOST_GONE;
        // A 32-bit WPARAM and LPARAM take the low 32 bits.
        if (PostThreadMessageW(thread, kind, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam)))
            return HOOK_HOST_OK;
        error = GetLastError();
    }
    return error == ERROR_INVALID_PARAMETER && process_has_ended(process_id) ? HOOK_HOST_GONE
                                                                             : refused(process_id, error);
}
