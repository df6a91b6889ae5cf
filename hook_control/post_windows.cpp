// Posts on Windows: to the main thread of a process by its id, and what a refused post means. Plain
// Win32.
#include "post_windows.h"

#include <tlhelp32.h>

namespace hook_control_internal {

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

} // namespace

Post post_refusal(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_THREAD_ID: // the thread exists but has no queue
    case ERROR_INVALID_PARAMETER: // no such thread (any more)
        return Post::no_queue;
    case ERROR_NOT_ENOUGH_QUOTA: // 10,000 messages wait in the queue
        return Post::queue_full;
    case ERROR_ACCESS_DENIED: // a process of higher integrity
        return Post::denied;
    default:
        return Post::failed;
    }
}

Post post_message(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam, SystemError& error)
{
    // The thread found may end before the post reaches it (ERROR_INVALID_PARAMETER: no such thread,
    // seen under Wine): the process's threads are looked at again.
    DWORD refusal = ERROR_INVALID_PARAMETER;
    for (int look = 0; look < 3 && refusal == ERROR_INVALID_PARAMETER; ++look) {
        bool denied = false;
        const DWORD thread = main_thread_of(process_id, denied);
        if (!thread) {
            error = denied ? ERROR_ACCESS_DENIED : no_reason;
            return denied ? Post::denied : Post::no_process;
        }
        // A 32-bit WPARAM and LPARAM take the low 32 bits.
        if (PostThreadMessageW(thread, kind, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam)))
            return Post::sent;
        refusal = GetLastError();
    }
    error = refusal;
    return post_refusal(refusal);
}

// Gone, or ended and kept only by handles to it.
bool has_ended(uint32_t process_id)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

} // namespace hook_control_internal
