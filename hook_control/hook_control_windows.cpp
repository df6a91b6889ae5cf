// The controller's side of the hook host on Windows: CreateProcessW into a job object of the host's
// own, the report line from an overlapped pipe, PostThreadMessageW to the host's main thread.
// Plain Win32 and standard C++: an application may compile it in with its own compiler. It includes
// no C++ library header and throws nothing, so that it brings none of the C++ runtime along.
#include <windows.h>

#include <ntsecapi.h>
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

// The system's text for `error` with its inserts filled, as UTF-8 cut to fit where a character ends,
// without its line end. The texts with an insert are those of a program that cannot be run (193:
// "%1 is not a valid Win32 application.", under Wine "Bad EXE format for %1."): it reads "the program".
void describe(DWORD error, char (&reason)[256])
{
    reason[0] = '\0';
    wchar_t* message = nullptr;
    if (!FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                        nullptr, error, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr))
        return;
    static const wchar_t insert[] = L"the program";
    wchar_t text[sizeof reason];
    int length = 0;
    for (const wchar_t* at = message; *at && length + static_cast<int>(wcslen(insert)) < 256; ++at) {
        if (at[0] != L'%' || at[1] < L'1' || at[1] > L'9') {
            text[length++] = *at;
            continue;
        }
        // %1 to %99, with a printf-like form between '!'s where it has one.
        for (++at; at[1] >= L'0' && at[1] <= L'9'; ++at) { }
        if (at[1] == L'!' && wcschr(at + 2, L'!'))
            at = wcschr(at + 2, L'!');
        wcscpy(text + length, insert);
        length += static_cast<int>(wcslen(insert));
    }
    LocalFree(message);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' '))
        --length;
    // Shortened until it fits, never between the halves of a surrogate pair.
    int size = 0;
    while (length > 0 &&
           (size = WideCharToMultiByte(CP_UTF8, 0, text, length, reason, sizeof reason - 1, nullptr, nullptr)) == 0)
        length -= length > 1 && IS_HIGH_SURROGATE(text[length - 2]) ? 2 : 1;
    reason[size] = '\0';
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

// Handles that a child may be handed; the handle list hands over none but those given.
SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

// A security descriptor whose one entry lets the calling thread's user open the pipe, and nobody else:
// the default one lets Everyone read, and so connect to an inbound pipe and hold its one instance.
struct OwnUserOnly {
    SECURITY_DESCRIPTOR descriptor;
    alignas(DWORD) char list[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
};

bool make_own_user_only(OwnUserOnly& security)
{
    // The pipe is opened with the thread's token, an impersonated user's where it has one.
    Handle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token.value) &&
        (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.value)))
        return false;
    alignas(TOKEN_USER) char user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.value, TokenUser, user_buffer, sizeof user_buffer, &size))
        return false;
    const PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;
    const auto list = reinterpret_cast<ACL*>(security.list);
    return InitializeAcl(list, sizeof security.list, ACL_REVISION) &&
           AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user) &&
           InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&security.descriptor, TRUE, list, FALSE);
}

// The host's standard output: a pipe whose reading end is ours and overlapped, so that a wait for
// the report line can end at a time or at the host's end; an anonymous pipe cannot be read so.
// As Rust's standard library and libuv make theirs: a named pipe of one instance, created with
// FILE_FLAG_FIRST_PIPE_INSTANCE (refused where the name is taken) and opened at once by its other end.
// Unlike theirs the name is not one to guess: 128 bits from the system's generator, fresh for every
// pipe; and where another process took the name first, or connected first (it may list the pipes),
// the next try has a new name. A pipe whose other end we opened is ours alone: it has one instance.
bool make_output_pipe(Handle& reading, Handle& writing)
{
    OwnUserOnly own{};
    if (!make_own_user_only(own))
        return false;
    SECURITY_ATTRIBUTES security{sizeof security, &own.descriptor, FALSE};
    for (int tries = 0; tries < 16; ++tries) {
        ULONG random[4];
        if (!RtlGenRandom(random, sizeof random)) {
            SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        wchar_t name[80];
        wsprintfW(name, L"\\\\.\\pipe\\hook_control.%lu.%08lx%08lx%08lx%08lx", GetCurrentProcessId(), random[0],
                  random[1], random[2], random[3]);
        reading.value = CreateNamedPipeW(
            name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 4096, 0, &security);
        if (reading.value == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_ACCESS_DENIED) // the name is taken
                continue;
            return false;
        }
        writing.value = CreateFileW(name, GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
        if (writing.value != INVALID_HANDLE_VALUE)
            return true;
        if (GetLastError() != ERROR_PIPE_BUSY) // busy: another process connected first
            return false;
        CloseHandle(reading.release());
    }
    SetLastError(ERROR_PIPE_BUSY);
    return false;
}

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

// Starts the host suspended, handing it `output` and `error` (where it is given) and nothing else of
// ours, and inside `job` (where it is given) from its creation where the system takes the job list
// (Windows 10 and later; Wine 8 too): `joined` says whether it did. A child takes its parent's error mode (its thread's
// is not handed on): with SEM_FAILCRITICALERRORS a missing hook library ends the host with the loader's status, instead
// of a dialog on the user's desktop. The flag is added to the process's error mode for the creation, where it is not
// set already, and then taken away again, the rest of the mode as it is then.
bool create_suspended(const wchar_t* program, wchar_t* command, const wchar_t* folder, HANDLE output, HANDLE error,
                      HANDLE job, DWORD creation, PROCESS_INFORMATION& process, bool& joined)
{
    HANDLE inherited[] = {output, error};
    const DWORD inherited_count = error ? 2 : 1;
    HANDLE jobs[] = {job};
    joined = false;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    Heap<char> memory(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory.data);
    if (!list || !InitializeProcThreadAttributeList(list, 2, 0, &size))
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
    joined = created && job &&
             UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs, sizeof jobs, nullptr, nullptr);
    if (created) {
        const HANDLE turn = take_turn();
        const UINT mode = GetErrorMode();
        if (!(mode & SEM_FAILCRITICALERRORS))
            SetErrorMode(mode | SEM_FAILCRITICALERRORS);
        // No console at all, and so no window: CREATE_NO_WINDOW still gives the host a hidden console,
        // whose host process costs a start (under Wine 9 ms, half again a plain start).
        created = CreateProcessW(program, command, nullptr, nullptr, TRUE,
                                 creation | CREATE_SUSPENDED | DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 folder, &startup.StartupInfo, &process);
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

// The host's standard error: the controller's own, as a handle of its own that may be handed over
// (none where it has none); the null device for a host that outlives its controller, which would
// otherwise hold the controller's pipe open after its end (`controller 2>&1 | cat` would wait for it).
HANDLE standard_error(uint32_t flags)
{
    HANDLE error = nullptr;
    if (flags & HOOK_HOST_OUTLIVE_CONTROLLER) {
        error = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                            nullptr);
        return error == INVALID_HANDLE_VALUE ? nullptr : error;
    }
    const HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
    if (own && own != INVALID_HANDLE_VALUE &&
        !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &error, 0, TRUE, DUPLICATE_SAME_ACCESS))
        error = nullptr;
    return error;
}

hook_host_result start(const char* path, int32_t number, uint32_t flags, hook_host& host)
{
    // The full path names the program exactly, with no search; its folder becomes the host's current
    // folder, so that no hook library is taken from the controller's.
    const PathText shown = path_text(path);
    const int given_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (given_size <= 1)
        return failed("cannot start '%s': the path is empty or not UTF-8", shown.text);
    Heap<wchar_t> given(static_cast<size_t>(given_size));
    const DWORD size = given.data ? MultiByteToWideChar(CP_UTF8, 0, path, -1, given.data, given_size) : 0;
    const DWORD full_size = size ? GetFullPathNameW(given.data, 0, nullptr, nullptr) : 0;
    Heap<wchar_t> program(full_size);
    Heap<wchar_t> folder(full_size);
    Heap<wchar_t> command(full_size + 16); // quotes, a blank, the number
    if (!program.data || !folder.data || !command.data)
        return failed_with(full_size ? ERROR_NOT_ENOUGH_MEMORY : GetLastError(), "cannot start %s", shown.text);
    wchar_t* name = nullptr;
    const DWORD length = GetFullPathNameW(given.data, full_size, program.data, &name);
    if (length == 0 || length >= full_size || !name)
        return failed_with(length == 0 ? GetLastError() : ERROR_INVALID_NAME, "cannot start %s", shown.text);
    // A process's current folder, its trailing '\' included, is shorter than MAX_PATH (beyond it
    // CreateProcessW fails, and under Wine it has overrun memory and aborted the controller).
    if (name - program.data >= MAX_PATH)
        return failed("cannot start %s: its folder is %d characters long, longer than a process's current folder "
                      "may be (%d)",
                      shown.text, static_cast<int>(name - program.data), MAX_PATH - 1);
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
        return failed_with(GetLastError(), "cannot start %s", shown.text);
    if (!make_output_pipe(output, writing))
        return failed_with(GetLastError(), "cannot start %s: cannot make a pipe for its output", shown.text);
    error.value = standard_error(flags);

    if (!(flags & HOOK_HOST_OUTLIVE_CONTROLLER)) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        job.value = CreateJobObjectW(nullptr, nullptr);
        if (!job.value ||
            !SetInformationJobObject(job.value, JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return failed_with(GetLastError(), "cannot start %s: cannot make its job object", shown.text);
    }

    // The host runs no code of its own before it is in its job: a controller that dies at any moment of
    // the start leaves nothing running. Where the controller's job refuses a job inside it
    // (ERROR_ACCESS_DENIED, as Windows 6.0 and 6.1 always do), the host starts outside that job, if
    // that job allows. Any other refusal is final.
    PROCESS_INFORMATION process{};
    bool joined = false;
    if (!create_suspended(program.data, command.data, folder.data, writing.value, error.value, job.value, 0, process,
                          joined)) {
        const DWORD create_error = GetLastError();
        if (!job.value || create_error != ERROR_ACCESS_DENIED || !in_a_job())
            return failed_with(create_error, "cannot start %s", shown.text);
        if (!create_suspended(program.data, command.data, folder.data, writing.value, error.value, job.value,
                              CREATE_BREAKAWAY_FROM_JOB, process, joined))
            return failed_with(GetLastError(), "cannot start %s in a job of its own", shown.text);
    }
    // A system without the job list: the host joins its job suspended. A controller that dies before
    // it has joined leaves it suspended and in no job, for ever (the header says so).
    if (job.value && !joined && !AssignProcessToJobObject(job.value, process.hProcess)) {
        const DWORD assign_error = GetLastError();
        discard(process);
        if (assign_error != ERROR_ACCESS_DENIED)
            return failed_with(assign_error, "cannot start %s in a job of its own", shown.text);
        if (!create_suspended(program.data, command.data, folder.data, writing.value, error.value, nullptr,
                              CREATE_BREAKAWAY_FROM_JOB, process, joined))
            return failed_with(GetLastError(), "cannot start %s in a job of its own", shown.text);
        if (!AssignProcessToJobObject(job.value, process.hProcess)) {
            const DWORD breakaway_error = GetLastError();
            discard(process);
            return failed_with(breakaway_error, "cannot start %s in a job of its own", shown.text);
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

// The host's output has ended before a whole report line: its end closes it, and so does a program
// that closes its standard output and runs on, which is not a host.
hook_host_result output_ended(const hook_host& host)
{
    switch (WaitForSingleObject(host.process, output_end_grace_ms)) {
    case WAIT_OBJECT_0:
        return HOOK_HOST_GONE;
    case WAIT_TIMEOUT:
        return ReportLine::closed_without_line(host.process_id);
    default:
        return failed_with(GetLastError(), "cannot wait for process %lu", host.process_id);
    }
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
        return failed_with(ERROR_NOT_ENOUGH_MEMORY, "cannot start %s", path_text(path).text);
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
                if (error == ERROR_BROKEN_PIPE) // the host's end is closed
                    return output_ended(*host);
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
                    return output_ended(*host);
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
