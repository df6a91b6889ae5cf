#include "create_process_windows.h"

#include "handle_windows.h"
#include "last_error.h"

namespace hook_control_internal {

namespace {

// The process's error mode is one for all its threads and for every copy of this library in it (an
// application's and a plugin's): starts take turns at it, inside a copy by a lock of its own, and
// between copies by a mutex named for the process. Where another process took that name, or holds the
// mutex for long, a copy's own lock serves alone from then on: a start is never stopped by it.
SRWLOCK own_turn = SRWLOCK_INIT;
HANDLE shared_turn = nullptr; // guarded by own_turn
bool shared_turn_looked_for = false;

// Takes the turn; gives the mutex taken, if one was.
HANDLE take_turn()
{
    AcquireSRWLockExclusive(&own_turn);
    if (!shared_turn_looked_for) {
        shared_turn_looked_for = true;
        wchar_t name[64];
        wsprintfW(name, L"Local\\hook_control.error_mode.%lu", GetCurrentProcessId());
        shared_turn = CreateMutexW(nullptr, FALSE, name); // none where the name is another kind of object's
    }
    if (!shared_turn)
        return nullptr;
    // Another copy holds it only for a process creation, and abandoned (its thread ended) it is free.
    if (WaitForSingleObject(shared_turn, 5000) != WAIT_TIMEOUT)
        return shared_turn;
    CloseHandle(shared_turn);
    shared_turn = nullptr;
    return nullptr;
}

void give_turn(HANDLE taken)
{
    if (taken)
        ReleaseMutex(taken);
    ReleaseSRWLockExclusive(&own_turn);
}

// The SDK defines it for Windows 10 and later only; older systems refuse it at run time.
#ifndef PROC_THREAD_ATTRIBUTE_JOB_LIST
#define PROC_THREAD_ATTRIBUTE_JOB_LIST ProcThreadAttributeValue(13, FALSE, TRUE, FALSE)
#endif

// Starts the host suspended, handing it its output and error (where it is given) and nothing else of
// ours, and inside `job` (where it is given) from its creation where the system takes the job list
// (Windows 10 and later; Wine 8 too): `joined` says whether it did. A child takes its parent's error
// mode (its thread's is not handed on): with SEM_FAILCRITICALERRORS a missing hook library ends the
// host with the loader's status, instead of a dialog on the user's desktop. The flag is added to the
// process's error mode for the creation, where it is not set already, and then taken away again, the
// rest of the mode as it is then.
bool create_suspended(const HostStart& start, HANDLE job, DWORD creation, PROCESS_INFORMATION& process, bool& joined)
{
    HANDLE inherited[] = {start.output, start.error};
    const DWORD inherited_count = start.error ? 2 : 1;
    HANDLE jobs[] = {job};
    joined = false;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    Heap<char> memory(size);
    auto* const list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory.data);
    if (!list) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY); // HeapAlloc says nothing
        return false;
    }
    if (!InitializeProcThreadAttributeList(list, 2, 0, &size))
        return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = start.output;
    startup.StartupInfo.hStdError = start.error;
    startup.lpAttributeList = list;
    bool created = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                             inherited_count * sizeof(HANDLE), nullptr, nullptr);
    DWORD error_code = GetLastError();
    joined = created && job &&
             UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs, sizeof jobs, nullptr, nullptr);
    if (created) {
        const HANDLE turn = take_turn();
        const UINT mode = GetErrorMode();
        if (!(mode & SEM_FAILCRITICALERRORS))
            SetErrorMode(mode | SEM_FAILCRITICALERRORS);
        // No console at all, and so no window: CREATE_NO_WINDOW still gives the host a hidden console,
        // whose host process costs a start (under Wine 9 ms, half again a plain start).
        created = CreateProcessW(start.program, start.command, nullptr, nullptr, TRUE,
                                 creation | CREATE_SUSPENDED | DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 start.folder, &startup.StartupInfo, &process);
        error_code = GetLastError();
        if (!(mode & SEM_FAILCRITICALERRORS))
            SetErrorMode(GetErrorMode() & ~SEM_FAILCRITICALERRORS);
        give_turn(turn);
    }
    DeleteProcThreadAttributeList(list);
    SetLastError(error_code);
    return created;
}

// Whether the controller runs inside a job.
bool in_a_job()
{
    BOOL in_job = FALSE;
    return IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && in_job;
}

// Ends a host that has not run yet, and lets go of it once it has ended: nothing of it is left.
void discard(const PROCESS_INFORMATION& process)
{
    TerminateProcess(process.hProcess, ERROR_ACCESS_DENIED);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

} // namespace

hook_host_result create_in_job(const HostStart& start, PROCESS_INFORMATION& process)
{
    // The host runs no code of its own before it is in its job: a controller that dies at any moment
    // of the start leaves nothing running. Where the controller's job refuses a job inside it
    // (ERROR_ACCESS_DENIED, as Windows 6.0 and 6.1 always do), the host starts outside that job, if
    // that job allows. Any other refusal is final.
    bool joined = false;
    if (!create_suspended(start, start.job, 0, process, joined)) {
        const DWORD create_error = GetLastError();
        if (!start.job || create_error != ERROR_ACCESS_DENIED || !in_a_job())
            return failed(create_error, "cannot start %s", start.shown);
        if (!create_suspended(start, start.job, CREATE_BREAKAWAY_FROM_JOB, process, joined))
            return failed(GetLastError(), "cannot start %s in a job of its own", start.shown);
    }
    // A system without the job list: the host joins its job suspended. A controller that dies before
    // it has joined leaves it suspended and in no job, for ever (the header says so).
    if (!start.job || joined || AssignProcessToJobObject(start.job, process.hProcess))
        return HOOK_HOST_OK;
    const DWORD assign_error = GetLastError();
    discard(process);
    if (assign_error != ERROR_ACCESS_DENIED)
        return failed(assign_error, "cannot start %s in a job of its own", start.shown);
    if (!create_suspended(start, nullptr, CREATE_BREAKAWAY_FROM_JOB, process, joined))
        return failed(GetLastError(), "cannot start %s in a job of its own", start.shown);
    if (!AssignProcessToJobObject(start.job, process.hProcess)) {
        const DWORD breakaway_error = GetLastError();
        discard(process);
        return failed(breakaway_error, "cannot start %s in a job of its own", start.shown);
    }
    return HOOK_HOST_OK;
}

hook_host_result run_host(const PROCESS_INFORMATION& process, const char* shown)
{
    if (ResumeThread(process.hThread) != static_cast<DWORD>(-1))
        return HOOK_HOST_OK;
    const DWORD error = GetLastError();
    discard(process);
    return failed(error, "cannot start %s: cannot let it run", shown);
}

} // namespace hook_control_internal
