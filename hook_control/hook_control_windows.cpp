// The controller's side of the hook host on Windows: CreateProcessW into a job object of the host's
// own, the report line from an overlapped pipe, PostThreadMessageW to the host's main thread.
// Plain Win32 and standard C++: an application may compile it in with its own compiler. It includes
// no C++ library header and throws nothing, so that it brings none of the C++ runtime along.
#include <windows.h>

#include <tlhelp32.h>

#include <stdarg.h>
#include <string.h>
#include <wchar.h>

#include "hook_control.h"
#include "hook_control_platform.h"
#include "last_error.h"
#include "report_line.h"

static_assert(HOOK_HOST_NO_LIMIT == INFINITE, "a wait without limit is the platform's own");

struct hook_host {
    HANDLE process = nullptr;
    // Held open, so that the main thread's id is not given to another thread once the host has ended.
    HANDLE thread = nullptr;
    HANDLE job = nullptr;    // the job's one handle; none for a host that outlives its controller
    HANDLE output = nullptr; // our end of the host's standard output, read overlapped
    OVERLAPPED reading{};
    bool read_pending = false;
    char buffer[64] = {};
    DWORD process_id = 0;
    DWORD thread_id = 0;
    ReportLine line;
};

namespace {

// A handle closed when it goes out of scope, unless released.
struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (value && value != INVALID_HANDLE_VALUE)
            CloseHandle(value);
    }
    HANDLE release()
    {
        const HANDLE released = value;
        value = nullptr;
        return released;
    }
};

// `count` elements of the process heap, freed when it goes out of scope.
template <typename T> struct Heap {
    T* data;
    explicit Heap(size_t count)
        : data(static_cast<T*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(T))))
    {
    }
    Heap(const Heap&) = delete;
    Heap& operator=(const Heap&) = delete;
    ~Heap()
    {
        if (data)
            HeapFree(GetProcessHeap(), 0, data);
    }
};

// The system's text for `error`, as UTF-8, without its line end.
void describe(DWORD error, char (&reason)[256])
{
    reason[0] = '\0';
    wchar_t* text = nullptr;
    if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr)) {
        if (!WideCharToMultiByte(CP_UTF8, 0, text, -1, reason, sizeof reason, nullptr, nullptr))
            reason[0] = '\0';
        LocalFree(text);
    }
    size_t length = strlen(reason);
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' || reason[length - 1] == ' '))
        reason[--length] = '\0';
}

// Records "<what>: <the system's text> (error N)" and returns HOOK_HOST_FAILED.
hook_host_result failed_with(DWORD error, const char* format, ...)
{
    char what[1025]; // the most that wvsprintfA writes
    va_list arguments;
    va_start(arguments, format);
    wvsprintfA(what, format, arguments);
    va_end(arguments);
    char reason[256];
    describe(error, reason);
    return failed("%s: %s (error %lu)", what, reason, error);
}

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

// Whether process `process_id` is gone, or has ended and is kept only by handles to it.
bool has_ended(DWORD process_id)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// The host's standard output: a pipe whose reading end is ours and overlapped, so that a wait for
// the report line can end at a time or at the host's end; an anonymous pipe cannot be read so.
bool make_output_pipe(Handle& reading, Handle& writing)
{
    static LONG pipes = 0;
    wchar_t name[64];
    wsprintfW(name, L"\\\\.\\pipe\\hook_control.%lu.%ld", GetCurrentProcessId(), InterlockedIncrement(&pipes));
    reading.value = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                     4096, 0, nullptr);
    if (reading.value == INVALID_HANDLE_VALUE)
        return false;
    // Inheritable, as a handle must be to be handed to a child; the handle list hands over no other.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    writing.value = CreateFileW(name, GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
    return writing.value != INVALID_HANDLE_VALUE;
}

// Starts the host suspended, handing it `output` and `error` (where it is given) and nothing else of
// ours.
bool create_suspended(const wchar_t* program, wchar_t* command, const wchar_t* folder, HANDLE output, HANDLE error,
                      DWORD creation, PROCESS_INFORMATION& process)
{
    HANDLE inherited[] = {output, error};
    const DWORD inherited_count = error ? 2 : 1;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    Heap<char> memory(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory.data);
    if (!list || !InitializeProcThreadAttributeList(list, 1, 0, &size))
        return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = error;
    startup.lpAttributeList = list;
    bool created = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                             inherited_count * sizeof(HANDLE), nullptr, nullptr);
    DWORD error_code = GetLastError();
    if (created) {
        // A child takes its parent's error mode: with SEM_FAILCRITICALERRORS a missing hook library
        // ends the host with the loader's status, instead of a dialog on the user's desktop.
        const UINT mode = GetErrorMode();
        SetErrorMode(mode | SEM_FAILCRITICALERRORS);
        // No console at all, and so no window: CREATE_NO_WINDOW still gives the host a hidden console,
        // whose host process costs a start (under Wine 9 ms, half again a plain start).
        created = CreateProcessW(program, command, nullptr, nullptr, TRUE,
                                 creation | CREATE_SUSPENDED | DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 folder, &startup.StartupInfo, &process);
        error_code = GetLastError();
        SetErrorMode(mode);
    }
    DeleteProcThreadAttributeList(list);
    SetLastError(error_code);
    return created;
}

// Ends a host that has not run yet, and lets go of it.
void discard(const PROCESS_INFORMATION& process)
{
    TerminateProcess(process.hProcess, ERROR_ACCESS_DENIED);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

hook_host_result start(const char* path, int32_t number, uint32_t flags, hook_host& host)
{
    // The full path names the program exactly, with no search; its folder becomes the host's current
    // folder, so that no hook library is taken from the controller's.
    const int given_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (given_size <= 1)
        return failed("cannot start '%s': the path is empty or not UTF-8", path);
    Heap<wchar_t> given(static_cast<size_t>(given_size));
    const DWORD size = given.data ? MultiByteToWideChar(CP_UTF8, 0, path, -1, given.data, given_size) : 0;
    const DWORD full_size = size ? GetFullPathNameW(given.data, 0, nullptr, nullptr) : 0;
    Heap<wchar_t> program(full_size);
    Heap<wchar_t> folder(full_size);
    Heap<wchar_t> command(full_size + 16); // quotes, a blank, the number
    if (!program.data || !folder.data || !command.data)
        return failed_with(full_size ? ERROR_NOT_ENOUGH_MEMORY : GetLastError(), "cannot start %s", path);
    wchar_t* name = nullptr;
    const DWORD length = GetFullPathNameW(given.data, full_size, program.data, &name);
    if (length == 0 || length >= full_size || !name)
        return failed_with(length == 0 ? GetLastError() : ERROR_INVALID_NAME, "cannot start %s", path);
    wcsncpy(folder.data, program.data, static_cast<size_t>(name - program.data));
    folder.data[name - program.data] = L'\0';
    wchar_t argument[16];
    wsprintfW(argument, L"\" %ld", static_cast<long>(number));
    wcscpy(command.data, L"\"");
    wcscat(command.data, program.data);
    wcscat(command.data, argument);

    Handle output, writing, error, job, read_done;
    read_done.value = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!read_done.value)
        return failed_with(GetLastError(), "cannot start %s", path);
    if (!make_output_pipe(output, writing))
        return failed_with(GetLastError(), "cannot start %s: cannot make a pipe for its output", path);
    // Our standard error, as a handle of its own that may be handed over; none where we have none.
    const HANDLE own_error = GetStdHandle(STD_ERROR_HANDLE);
    if (own_error && own_error != INVALID_HANDLE_VALUE &&
        !DuplicateHandle(GetCurrentProcess(), own_error, GetCurrentProcess(), &error.value, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        error.value = nullptr;

    if (!(flags & HOOK_HOST_OUTLIVE_CONTROLLER)) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        job.value = CreateJobObjectW(nullptr, nullptr);
        if (!job.value ||
            !SetInformationJobObject(job.value, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return failed_with(GetLastError(), "cannot start %s: cannot make its job object", path);
    }

    PROCESS_INFORMATION process{};
    if (!create_suspended(program.data, command.data, folder.data, writing.value, error.value, 0, process))
        return failed_with(GetLastError(), "cannot start %s", path);
    // Suspended, the host has run nothing of its own yet when it joins its job.
    if (job.value && !AssignProcessToJobObject(job.value, process.hProcess)) {
        // Windows 6.0 and 6.1 cannot nest jobs: where the controller is in a job, start the host
        // outside it, if that job allows.
        discard(process);
        if (!create_suspended(program.data, command.data, folder.data, writing.value, error.value,
                              CREATE_BREAKAWAY_FROM_JOB, process))
            return failed_with(GetLastError(), "cannot start %s in a job of its own", path);
        if (!AssignProcessToJobObject(job.value, process.hProcess)) {
            const DWORD assign_error = GetLastError();
            discard(process);
            return failed_with(assign_error, "cannot start %s in a job of its own", path);
        }
    }
    ResumeThread(process.hThread);

    host.process = process.hProcess;
    host.thread = process.hThread;
    host.process_id = process.dwProcessId;
    host.thread_id = process.dwThreadId;
    host.job = job.release();
    host.output = output.release();
    host.reading.hEvent = read_done.release();
    return HOOK_HOST_OK;
}

// Ends a read that is under way and waits until the system no longer writes to the buffer.
void cancel_read(hook_host& host)
{
    if (!host.read_pending)
        return;
    CancelIoEx(host.output, &host.reading);
    DWORD count = 0;
    if (GetOverlappedResult(host.output, &host.reading, &count, TRUE))
        host.line.take(host.buffer, count);
    host.read_pending = false;
}

DWORD left_until(ULONGLONG deadline, uint32_t timeout_ms)
{
    if (timeout_ms == HOOK_HOST_NO_LIMIT)
        return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

} // namespace

hook_host_result start_host(const char* path, int32_t number, uint32_t flags, hook_host** host)
{
    // A fresh host, copied into the process heap: the C++ runtime's new is not needed.
    const hook_host fresh{};
    auto* made = static_cast<hook_host*>(HeapAlloc(GetProcessHeap(), 0, sizeof fresh));
    if (!made)
        return failed_with(ERROR_NOT_ENOUGH_MEMORY, "cannot start %s", path);
    memcpy(made, &fresh, sizeof fresh);
    const hook_host_result result = start(path, number, flags, *made);
    if (result != HOOK_HOST_OK) {
        HeapFree(GetProcessHeap(), 0, made);
        return result;
    }
    *host = made;
    return HOOK_HOST_OK;
}

extern "C" hook_host_result hook_host_wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported)
{
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (host->line.state() == ReportLine::State::incomplete) {
        if (!host->read_pending) {
            // Finished at once or not, a read that was begun tells its end through the event.
            if (!ReadFile(host->output, host->buffer, sizeof host->buffer, nullptr, &host->reading)) {
                const DWORD error = GetLastError();
                if (error == ERROR_BROKEN_PIPE) // the host's end is closed: it has ended
                    return HOOK_HOST_GONE;
                if (error != ERROR_IO_PENDING)
                    return failed_with(error, "cannot read the report line of process %lu", host->process_id);
            }
            host->read_pending = true;
        }
        // The read's event comes first: output written before the host ended is taken before its end.
        const HANDLE events[] = {host->reading.hEvent, host->process};
        switch (WaitForMultipleObjects(2, events, FALSE, left_until(deadline, timeout_ms))) {
        case WAIT_OBJECT_0: {
            DWORD count = 0;
            host->read_pending = false;
            if (!GetOverlappedResult(host->output, &host->reading, &count, FALSE)) {
                const DWORD error = GetLastError();
                if (error == ERROR_BROKEN_PIPE)
                    return HOOK_HOST_GONE;
                return failed_with(error, "cannot read the report line of process %lu", host->process_id);
            }
            host->line.take(host->buffer, count);
            break;
        }
        case WAIT_OBJECT_0 + 1:
            // Ended with nothing more to read (another process may still hold the pipe's other end).
            cancel_read(*host);
            if (host->line.state() == ReportLine::State::incomplete)
                return HOOK_HOST_GONE;
            break;
        case WAIT_TIMEOUT:
            return HOOK_HOST_TIMEOUT;
        default:
            return failed_with(GetLastError(), "cannot wait for the report line of process %lu", host->process_id);
        }
    }
    return host->line.outcome(static_cast<unsigned long>(host->process_id), reported);
}

hook_host_result post_close(hook_host* host, uint32_t status)
{
    if (PostThreadMessageW(host->thread_id, WM_CLOSE, static_cast<WPARAM>(status), 0))
        return HOOK_HOST_OK;
    const DWORD error = GetLastError();
    if (WaitForSingleObject(host->process, 0) == WAIT_OBJECT_0)
        return HOOK_HOST_GONE;
    return refused(host->process_id, error);
}

extern "C" hook_host_result hook_host_wait(hook_host* host, uint32_t timeout_ms, int32_t* status)
{
    // On the process itself, not on GetExitCodeProcess alone, which gives STILL_ACTIVE (259) for a
    // process that runs and for one that ended with 259.
    switch (WaitForSingleObject(host->process, timeout_ms)) {
    case WAIT_OBJECT_0: {
        DWORD code = 0;
        if (!GetExitCodeProcess(host->process, &code))
            return failed_with(GetLastError(), "cannot read the exit status of process %lu", host->process_id);
        *status = static_cast<int32_t>(code);
        return HOOK_HOST_OK;
    }
    case WAIT_TIMEOUT:
        return HOOK_HOST_TIMEOUT;
    default:
        return failed_with(GetLastError(), "cannot wait for process %lu", host->process_id);
    }
}

extern "C" uint32_t hook_host_process_id(const hook_host* host)
{
    return host->process_id;
}

extern "C" void hook_host_release(hook_host* host)
{
    if (!host)
        return;
    cancel_read(*host);
    // Closing the job's one handle ends the host, as the controller's own end would.
    if (host->job)
        CloseHandle(host->job);
    CloseHandle(host->output);
    CloseHandle(host->reading.hEvent);
    CloseHandle(host->thread);
    CloseHandle(host->process);
    HeapFree(GetProcessHeap(), 0, host);
}

extern "C" hook_host_result hook_host_post(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    if (process_id == 0) // the idle process, which has no message queue of anyone's
        return HOOK_HOST_GONE;
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
    return error == ERROR_INVALID_PARAMETER && has_ended(process_id) ? HOOK_HOST_GONE : refused(process_id, error);
}
