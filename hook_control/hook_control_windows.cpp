// The controller's side of the hook host on Windows: CreateProcessW into a job object of the host's
// own (create_process_windows.h), the report line from an overlapped pipe (streams_windows.h),
// PostThreadMessageW to the host's main thread (post_windows.h). Plain Win32 and standard C++, as every Windows file
// of hook_control: an application may compile them in with its own compiler. They include no C++
// library header and throw nothing, so that they bring none of the C++ runtime along.
#include <windows.h>

#include <string.h>
#include <wchar.h>

#include "create_process_windows.h"
#include "handle_windows.h"
#include "hook_control.h"
#include "hook_control_platform.h"
#include "last_error.h"
#include "post_windows.h"
#include "report_line.h"
#include "streams_windows.h"
#include "system_error_windows.h"

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
        return failed("cannot start '%s': the path is empty or not UTF-8", shown.text);
    Heap<wchar_t> given(static_cast<size_t>(given_size));
    if (!given.data)
        return failed_with(ERROR_NOT_ENOUGH_MEMORY, "cannot start %s", shown.text);
    MultiByteToWideChar(CP_UTF8, 0, path, -1, given.data, given_size);
    const DWORD full_size = GetFullPathNameW(given.data, 0, nullptr, nullptr);
    if (full_size == 0)
        return failed_with(GetLastError(), "cannot start %s", shown.text);
    if (!command.program.allocate(full_size) || !command.folder.allocate(full_size) ||
        !command.line.allocate(full_size + 16)) // quotes, a blank, the number
        return failed_with(ERROR_NOT_ENOUGH_MEMORY, "cannot start %s", shown.text);
    wchar_t* name = nullptr;
    const DWORD length = GetFullPathNameW(given.data, full_size, command.program.data, &name);
    if (length == 0 || length >= full_size || !name)
        return failed_with(length == 0 ? GetLastError() : ERROR_INVALID_NAME, "cannot start %s", shown.text);
    // A process's current folder, its trailing '\' included, is shorter than MAX_PATH (beyond it
    // CreateProcessW fails, and under Wine it has overrun memory and aborted the controller).
    const size_t folder_length = static_cast<size_t>(name - command.program.data);
    if (folder_length >= MAX_PATH)
        return failed("cannot start %s: its folder is %d characters long, longer than a process's current folder "
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
        return failed_with(GetLastError(), "cannot start %s", shown.text);
    if (!make_output_pipe(streams.output, streams.writing))
        return failed_with(GetLastError(), "cannot start %s: cannot make a pipe for its output", shown.text);
    streams.error.value = standard_error(flags);
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
        return failed_with(GetLastError(), "cannot start %s: cannot make its job object", shown.text);
    return HOOK_HOST_OK;
}

hook_host_result start(const char* path, int32_t number, uint32_t flags, hook_host& host)
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
    PROCESS_INFORMATION process{};
    if (result == HOOK_HOST_OK)
        result = create_in_job({command.program.data, command.line.data, command.folder.data, streams.writing.value,
                                streams.error.value, job.value, shown.text},
                               process);
    if (result != HOOK_HOST_OK)
        return result;
    ResumeThread(process.hThread);

    host.process = process.hProcess;
    host.thread = process.hThread;
    host.process_id = process.dwProcessId;
    host.thread_id = process.dwThreadId;
    host.job = job.release();
    host.output = streams.output.release();
    host.reading.hEvent = streams.read_done.release();
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

hook_host_result wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported)
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

hook_host_result wait_end(hook_host* host, uint32_t timeout_ms, int32_t* status)
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

uint32_t process_id(const hook_host* host)
{
    return host->process_id;
}

const intptr_t no_waitable = 0;

intptr_t waitable(const hook_host* host)
{
    return reinterpret_cast<intptr_t>(host->process);
}

void release_host(hook_host* host)
{
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
