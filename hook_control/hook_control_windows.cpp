// hook_control's primitives on Windows: CreateProcessW into a job object of the host's own
// (create_process_windows.h), the report line from an overlapped pipe (streams_windows.h),
// PostThreadMessageW to the host's main thread (post_windows.h). Plain Win32 and standard C++, as
// every Windows file of hook_control: an application may compile them in with its own compiler. They
// include no C++ library header and throw nothing; compiled without exceptions, as this build compiles
// them, they bring none of the C++ runtime along.
#include <windows.h>

#include <string.h>
#include <wchar.h>

#include "allocation.h"
#include "create_process_windows.h"
#include "handle_windows.h"
#include "hook_control_platform.h"
#include "post_windows.h"
#include "streams_windows.h"

namespace hook_control_internal {

static_assert(HOOK_HOST_NO_LIMIT == INFINITE, "a wait without limit is the platform's own");

struct Process;

// A watch of a host's end: a wait of the system's pool on its process handle, whose callback calls the
// caller's. It is kept, called or not, until it is unwatched, watched again or released, as only an
// unregistration frees the pool's wait; then it is ended, and freed once the pool's callback, which
// may still come after the unregistration, has returned.
struct EndWatch : CAllocated {
    enum State { waiting, calling, called, over }; // over: ended by an unwatch, a release or a new watch
    hook_host_ended ended = nullptr;
    void* context = nullptr;
    const Process* process = nullptr;
    HANDLE wait = nullptr;
    State state = waiting; // under callbacks_lock
    EndWatch* next = nullptr;
};

struct Process : CAllocated {
    HANDLE handle = nullptr; // the process's
    // Held open, so that the main thread's id is not given to another thread once the host has ended.
    HANDLE thread = nullptr;
    HANDLE job = nullptr;    // the job's one handle; none for a host that outlives its controller
    HANDLE output = nullptr; // our end of the host's standard output, read overlapped
    OVERLAPPED reading{};
    bool read_pending = false;
    char buffer[64] = {}; // where the system writes a read, which may outlast the call that began it
    DWORD held = 0;       // bytes of it read and not yet given
    DWORD given = 0;
    DWORD thread_id = 0;
    CRITICAL_SECTION watches_lock; // over `watches`, which any thread may change
    EndWatch* watches = nullptr;
};

namespace {

// The program's full path, its folder and its command line. The full path names the program exactly,
// with no search; its folder becomes the host's current folder, so that no hook library is taken from
// the controller's.
struct Command {
    Heap<wchar_t> program;
    Heap<wchar_t> folder; // its trailing '\' included
    Heap<wchar_t> line;   // "PROGRAM" NUMBER
};

hook_host_result make_command(const char* path, int32_t number, const PathText& shown, Command& command)
{
    const int given_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (given_size <= 1)
        return failed(GetLastError(), "cannot start '%s'", shown.text);
    Heap<wchar_t> given(static_cast<size_t>(given_size));
    if (!given.data)
        return failed(ERROR_NOT_ENOUGH_MEMORY, "cannot start %s", shown.text);
    MultiByteToWideChar(CP_UTF8, 0, path, -1, given.data, given_size);
    const DWORD full_size = GetFullPathNameW(given.data, 0, nullptr, nullptr);
    if (full_size == 0)
        return failed(GetLastError(), "cannot start %s", shown.text);
    if (!command.program.allocate(full_size) || !command.folder.allocate(full_size) ||
        !command.line.allocate(full_size + 16)) // quotes, a blank, the number
        return failed(ERROR_NOT_ENOUGH_MEMORY, "cannot start %s", shown.text);
    wchar_t* name = nullptr;
    const DWORD length = GetFullPathNameW(given.data, full_size, command.program.data, &name);
    if (length == 0 || length >= full_size || !name)
        return failed(length == 0 ? GetLastError() : ERROR_INVALID_NAME, "cannot start %s", shown.text);
    // A process's current folder, its trailing '\' included, is shorter than MAX_PATH (beyond it
    // CreateProcessW fails, and under Wine it has overrun memory and aborted the controller).
    const size_t folder_length = static_cast<size_t>(name - command.program.data);
    if (folder_length >= MAX_PATH)
        return failed(no_reason,
                      "cannot start %s: its folder is %d characters long, longer than a process's current folder "
                      "may be (%d)",
                      shown.text, static_cast<int>(folder_length), MAX_PATH - 1);
    wcsncpy(command.folder.data, command.program.data, folder_length);
    command.folder.data[folder_length] = L'\0';
    wchar_t argument[16];
    wsprintfW(argument, L"\" %ld", static_cast<long>(number));
    wcscpy(command.line.data, L"\"");
    wcscat(command.line.data, command.program.data);
    wcscat(command.line.data, argument);
    return HOOK_HOST_OK;
}

// What the host is handed and what it is read through: its standard output's pipe and its standard
// error, and the event of our reads of its output.
struct Streams {
    Handle output; // ours
    Handle writing;
    Handle error;
    Handle read_done;
};

hook_host_result make_streams(uint32_t flags, const PathText& shown, Streams& streams)
{
    streams.read_done.value = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!streams.read_done.value)
        return failed(GetLastError(), "cannot start %s", shown.text);
    if (!make_output_pipe(streams.output, streams.writing))
        return failed(GetLastError(), "cannot start %s: cannot make a pipe for its output", shown.text);
    if (!standard_error(flags, streams.error))
        return failed(GetLastError(), "cannot start %s: cannot open the null device for its standard error",
                      shown.text);
    return HOOK_HOST_OK;
}

// A job whose one handle ends the host when it is closed, as the controller's end closes it; none for
// a host that outlives its controller.
hook_host_result make_job(uint32_t flags, const PathText& shown, Handle& job)
{
    if (flags & HOOK_HOST_OUTLIVE_CONTROLLER)
        return HOOK_HOST_OK;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    job.value = CreateJobObjectW(nullptr, nullptr);
    if (!job.value || !SetInformationJobObject(job.value, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return failed(GetLastError(), "cannot start %s: cannot make its job object", shown.text);
    return HOOK_HOST_OK;
}

hook_host_result start(const char* path, int32_t number, uint32_t flags, Process& process)
{
    const PathText shown = path_text(path);
    Command command;
    hook_host_result result = make_command(path, number, shown, command);
    Streams streams;
    if (result == HOOK_HOST_OK)
        result = make_streams(flags, shown, streams);
    Handle job;
    if (result == HOOK_HOST_OK)
        result = make_job(flags, shown, job);
    PROCESS_INFORMATION created{};
    if (result == HOOK_HOST_OK)
        result = create_in_job({command.program.data, command.line.data, command.folder.data, streams.writing.value,
                                streams.error.value, job.value, shown.text},
                               created);
    if (result == HOOK_HOST_OK)
        result = run_host(created, shown.text);
    if (result != HOOK_HOST_OK)
        return result;

    process.handle = created.hProcess;
    process.thread = created.hThread;
    process.thread_id = created.dwThreadId;
    process.job = job.release();
    process.output = streams.output.release();
    process.reading.hEvent = streams.read_done.release();
    InitializeCriticalSection(&process.watches_lock);
    return HOOK_HOST_OK;
}

// Gives what a read took and the caller has not had yet.
Output give(Process& process, char* buffer, size_t size, size_t& got)
{
    got = process.held - process.given < size ? process.held - process.given : size;
    memcpy(buffer, process.buffer + process.given, got);
    process.given += static_cast<DWORD>(got);
    return Output::bytes;
}

// Ends a read that is under way and waits until the system no longer writes to the buffer; what it
// took is held.
void cancel_read(Process& process)
{
    if (!process.read_pending)
        return;
    CancelIoEx(process.output, &process.reading);
    DWORD count = 0;
    if (GetOverlappedResult(process.output, &process.reading, &count, TRUE)) {
        process.held = count;
        process.given = 0;
    }
    process.read_pending = false;
}

// The pool calls the callbacks of several watches at once, each on a thread of its own; they are called
// one at a time, as on Linux, so that an unwatch or a release from within one never waits for another.
SRWLOCK one_at_a_time = SRWLOCK_INIT;
// Over every watch's state and the callback being called, which callback_returned tells the end of.
SRWLOCK callbacks_lock = SRWLOCK_INIT;
CONDITION_VARIABLE callback_returned = CONDITION_VARIABLE_INIT;
const EndWatch* calling = nullptr; // whose callback runs, on calling_thread
DWORD calling_thread = 0;

// Whether `watch` is that of `ended` with `context` (any, for a null `ended`).
bool matches(const EndWatch& watch, hook_host_ended ended, void* context)
{
    return !ended || (watch.ended == ended && watch.context == context);
}

VOID CALLBACK tell_end(PVOID watched, BOOLEAN /*timed_out*/)
{
    EndWatch& watch = *static_cast<EndWatch*>(watched);
    AcquireSRWLockExclusive(&one_at_a_time);
    AcquireSRWLockExclusive(&callbacks_lock);
    const bool due = watch.state == EndWatch::waiting; // not ended while this waited for its turn
    if (due) {
        watch.state = EndWatch::calling;
        calling = &watch;
        calling_thread = GetCurrentThreadId();
    }
    ReleaseSRWLockExclusive(&callbacks_lock);
    if (due) {
        watch.ended(watch.context);
        AcquireSRWLockExclusive(&callbacks_lock);
        if (watch.state == EndWatch::calling)
            watch.state = EndWatch::called;
        calling = nullptr;
        calling_thread = 0;
        ReleaseSRWLockExclusive(&callbacks_lock);
        WakeAllConditionVariable(&callback_returned);
    }
    ReleaseSRWLockExclusive(&one_at_a_time);
}

// Unregisters the pool's wait of an ended watch, waiting for its callback to return, and frees it.
DWORD WINAPI free_watch(LPVOID ended)
{
    EndWatch* const watch = static_cast<EndWatch*>(ended);
    UnregisterWaitEx(watch->wait, INVALID_HANDLE_VALUE);
    delete watch;
    return 0;
}

// Ends the watches taken out of a process's list: none is called from now on. Each is freed on a
// thread of the pool, which waits for what the pool still runs of it (its callback may be waiting
// for its turn), so that the caller waits for none of it.
void end_watches(EndWatch* taken)
{
    AcquireSRWLockExclusive(&callbacks_lock);
    for (EndWatch* watch = taken; watch; watch = watch->next)
        watch->state = EndWatch::over;
    ReleaseSRWLockExclusive(&callbacks_lock);
    while (taken) {
        EndWatch* const next = taken->next;
        // Where it cannot be queued, the watch is left ended, never freed.
        QueueUserWorkItem(free_watch, taken, WT_EXECUTEDEFAULT);
        taken = next;
    }
}

// Waits until no callback of `ended` with `context` (any, for a null `ended`) on `process` runs, but on
// the calling thread: another unwatch may have taken its watch out of the list first.
void wait_for_callback(const Process& process, hook_host_ended ended, void* context)
{
    AcquireSRWLockExclusive(&callbacks_lock);
    while (calling && calling_thread != GetCurrentThreadId() && calling->process == &process &&
           matches(*calling, ended, context))
        SleepConditionVariableSRW(&callback_returned, &callbacks_lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&callbacks_lock);
}

// Whether `watch` has not been called and will be.
bool is_waiting(const EndWatch& watch)
{
    AcquireSRWLockShared(&callbacks_lock);
    const bool waiting = watch.state == EndWatch::waiting;
    ReleaseSRWLockShared(&callbacks_lock);
    return waiting;
}

// The link to the next watch of `ended` with `context` in a process's list from `link` on, which points
// to null where there is none; with the list's lock held.
EndWatch** find_watch(EndWatch** link, hook_host_ended ended, void* context)
{
    while (*link && !matches(**link, ended, context))
        link = &(*link)->next;
    return link;
}

// Takes the watches of `ended` with `context` (every one, for a null `ended`) out of the process's list.
EndWatch* take_watches(Process& process, hook_host_ended ended, void* context)
{
    EndWatch* taken = nullptr;
    EnterCriticalSection(&process.watches_lock);
    for (EndWatch** link = &process.watches; *(link = find_watch(link, ended, context));) {
        EndWatch* const watch = *link;
        *link = watch->next;
        watch->next = taken;
        taken = watch;
    }
    LeaveCriticalSection(&process.watches_lock);
    return taken;
}

// Closes what is held for the process but its job.
void close_handles(Process* process)
{
    cancel_read(*process);
    CloseHandle(process->output);
    CloseHandle(process->reading.hEvent);
    CloseHandle(process->thread);
    CloseHandle(process->handle);
    DeleteCriticalSection(&process->watches_lock);
}

} // namespace

uint64_t now_ms()
{
    return GetTickCount64();
}

void pause_ms(uint32_t ms)
{
    Sleep(ms);
}

uint32_t current_process_id()
{
    return GetCurrentProcessId();
}

NoCancel::NoCancel() { }

NoCancel::~NoCancel() { }

hook_host_result create_process(const char* path, int32_t number, uint32_t flags, Process** process,
                                uint32_t* process_id)
{
    Process* made = new Process;
    if (!made)
        return failed(ERROR_NOT_ENOUGH_MEMORY, "cannot start %s", path_text(path).text);
    const hook_host_result result = start(path, number, flags, *made);
    if (result != HOOK_HOST_OK) {
        delete made;
        // NOLINTNEXTLINE(clang-analyzer-unix.Malloc): freed above; clang 14 does not follow CAllocated's delete.
        return result;
    }
    *process = made;
    *process_id = GetProcessId(made->handle);
    return HOOK_HOST_OK;
}

Output read_output(Process& process, char* buffer, size_t size, const Deadline& deadline, size_t& got,
                   SystemError& error)
{
    if (process.given < process.held)
        return give(process, buffer, size, got);
    for (;;) {
        if (!process.read_pending) {
            // Finished at once or not, a read that was begun tells its end through the event.
            if (!ReadFile(process.output, process.buffer, sizeof process.buffer, nullptr, &process.reading)) {
                error = GetLastError();
                if (error == ERROR_BROKEN_PIPE) // the host's end is closed
                    return Output::ended;
                if (error != ERROR_IO_PENDING)
                    return Output::failed;
            }
            process.read_pending = true;
        }
        // The read's event comes first: output written before the host ended is taken before its end.
        const HANDLE events[] = {process.reading.hEvent, process.handle};
        switch (WaitForMultipleObjects(2, events, FALSE, deadline.left())) {
        case WAIT_OBJECT_0: {
            DWORD count = 0;
            process.read_pending = false;
            if (!GetOverlappedResult(process.output, &process.reading, &count, FALSE)) {
                error = GetLastError();
                // A read that a thread began is cancelled when that thread exits (a pool's thread that
                // gave up waiting): it took nothing, and is begun again.
                if (error == ERROR_OPERATION_ABORTED)
                    continue;
                return error == ERROR_BROKEN_PIPE ? Output::ended : Output::failed;
            }
            if (count == 0)
                continue; // a write of nothing
            process.held = count;
            process.given = 0;
            return give(process, buffer, size, got);
        }
        case WAIT_OBJECT_0 + 1:
            // Ended with nothing more to read (another process may still hold the pipe's other end).
            cancel_read(process);
            return process.given < process.held ? give(process, buffer, size, got) : Output::host_ended;
        case WAIT_TIMEOUT:
            return Output::timeout;
        default:
            error = GetLastError();
            return Output::failed;
        }
    }
}

End wait_for_end(Process& process, uint32_t timeout_ms, SystemError& error)
{
    switch (WaitForSingleObject(process.handle, timeout_ms)) {
    case WAIT_OBJECT_0:
        return End::ended;
    case WAIT_TIMEOUT:
        return End::running;
    default:
        error = GetLastError();
        return End::failed;
    }
}

Status take_exit_status(Process& process, int32_t& status, SystemError& error)
{
    DWORD code = 0;
    if (!GetExitCodeProcess(process.handle, &code)) {
        error = GetLastError();
        return Status::failed;
    }
    status = static_cast<int32_t>(code);
    return Status::taken;
}

Post post_close(Process& process, uint32_t status, SystemError& error)
{
    if (PostThreadMessageW(process.thread_id, WM_CLOSE, static_cast<WPARAM>(status), 0))
        return Post::sent;
    error = GetLastError();
    return post_refusal(error);
}

intptr_t waitable(const Process& process)
{
    return reinterpret_cast<intptr_t>(process.handle);
}

const intptr_t no_waitable = 0;

Watch watch_end(Process& process, hook_host_ended ended, void* context, SystemError& error)
{
    // The same pair's watch that waits still is refused; one that has been called (or is being called) is
    // ended and made anew. The look and the add are one hold of the lock, so that an unwatch meanwhile
    // never misses the pair, nor do two watches both add it.
    EnterCriticalSection(&process.watches_lock);
    EndWatch** const before = find_watch(&process.watches, ended, context);
    EndWatch* const called = *before;
    if (called && is_waiting(*called)) {
        LeaveCriticalSection(&process.watches_lock);
        return Watch::already;
    }
    EndWatch* const watch = new EndWatch;
    if (!watch) {
        LeaveCriticalSection(&process.watches_lock);
        error = ERROR_NOT_ENOUGH_MEMORY;
        return Watch::failed;
    }
    if (called) {
        *before = called->next;
        called->next = nullptr;
    }
    watch->ended = ended;
    watch->context = context;
    watch->process = &process;
    // The list first: a callback that comes at once may unwatch it.
    watch->next = process.watches;
    process.watches = watch;
    if (!RegisterWaitForSingleObject(&watch->wait, process.handle, tell_end, watch, INFINITE, WT_EXECUTEONLYONCE)) {
        error = GetLastError();
        process.watches = watch->next;
        LeaveCriticalSection(&process.watches_lock);
        delete watch;
        end_watches(called);
        return Watch::failed;
    }
    LeaveCriticalSection(&process.watches_lock);
    end_watches(called);
    return Watch::watching;
}

void unwatch_end(Process& process, hook_host_ended ended, void* context)
{
    // Out of the list first, then ended without the list's lock, which a callback may take.
    end_watches(take_watches(process, ended, context));
    wait_for_callback(process, ended, context);
}

void release_process(Process* process)
{
    // Closing the job's one handle ends the host, as the controller's own end would.
    if (process->job)
        CloseHandle(process->job);
    close_handles(process);
    delete process;
}

void forget_process(Process* process)
{
    // Windows has no fork: a handle is only ever its own process's. Its job would end the host: kept.
    close_handles(process);
    delete process;
}

} // namespace hook_control_internal
