/* hook_control: starts, supervises and ends hook hosts, for the programs that control them.
 *
 * A hook host (hook_host.exe NUMBER) writes the report line "Adding hook for NUMBER", installs the
 * shell hook, and waits until WM_CLOSE is posted to its main thread; the message's wParam becomes its
 * exit status. This library does each step of that protocol the way it must be done: a host that
 * cannot outlive its controller, a close that is never posted too early, a status read from the
 * process itself, and nothing of the controller's handed to the host.
 *
 * Plain C; every call returns, nothing is thrown. Calls on different hosts may be made from different
 * threads at once; calls on one host must not overlap. Texts are UTF-8.
 *
 * On Windows it needs Windows 6.0 or later and links KERNEL32, USER32 and ADVAPI32 only; a 32-bit controller
 * starts and ends the 64-bit host like a 64-bit one. On Linux (the project's own platform layer, where
 * a thread's queue is a datagram socket) it needs Linux 5.11 or later, glibc 2.34 or later and POSIX
 * threads.
 */
#ifndef HOOK_CONTROL_H
#define HOOK_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hook_host hook_host;

typedef enum hook_host_result {
    HOOK_HOST_OK = 0,
    HOOK_HOST_TIMEOUT = 1, /* the time ran out first; the host is still running */
    HOOK_HOST_GONE = 2,    /* the host has ended (or, for a post, there is no such host) */
    HOOK_HOST_FAILED = 3   /* refused or failed: hook_host_last_error() says what and why */
} hook_host_result;

/* Flag for hook_host_start: the host goes on after its controller has ended or released it. */
#define HOOK_HOST_OUTLIVE_CONTROLLER 0x1u

/* A timeout without limit, for hook_host_wait_report and hook_host_wait. */
#define HOOK_HOST_NO_LIMIT UINT32_MAX

/* How long hook_host_close waits for a report line that has not been read yet: 10 s. */
#define HOOK_HOST_CLOSE_REPORT_MS 10000u

/* Starts the host executable at `path` (relative to the current folder) with `number` as its one
 * argument, and on HOOK_HOST_OK stores a new handle in *host, to be released by hook_host_release.
 *
 * The host runs in its executable's own folder, so that it never loads a hook library from the
 * controller's current folder; with no console, and so no console window; its standard output read
 * by this library; its standard error the controller's own, so that what a loader says reaches the
 * controller's log; and with no other handle, file or pipe of the controller's. A host started with
 * HOOK_HOST_OUTLIVE_CONTROLLER gets the null device as its standard error instead, on both platforms,
 * so that it holds none of the controller's pipes open after the controller's end.
 *
 * Unless `flags` holds HOOK_HOST_OUTLIVE_CONTROLLER, the host is ended by the system as soon as the
 * controller process ends, however it ends (a crash, TerminateProcess, SIGKILL), or when its handle is
 * released. On Windows it runs in a job object of its own with JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE,
 * assigned before the host runs any code, whose one handle this library holds (inside a job the
 * controller is already in, too; on Windows 6.0 and 6.1, which cannot nest jobs, that job must allow
 * breakaway). On Linux it gets SIGKILL when the controller ends; a host started from a thread that then
 * ends lives on, since hosts are started from a thread of this library's that lasts as long as the
 * process. A host that outlives its controller still belongs to any job the controller is in.
 *
 * A host whose hook library is missing is started all the same: the loader ends it, and
 * hook_host_wait_report then gives HOOK_HOST_GONE and hook_host_wait the loader's status (Windows:
 * STATUS_DLL_NOT_FOUND, 0xC0000135, with no error dialog on the user's desktop; Linux: 127).
 * HOOK_HOST_FAILED when the program cannot be started at all (no such file, not an executable, a path
 * that is not UTF-8, an unknown flag; on Windows a folder of MAX_PATH characters or more, the most a
 * process's current folder may have); *host is then NULL, and no process of it is left.
 *
 * On Windows the host's output pipe has a name made of 128 random bits, fresh for every start, and
 * only the controller's user may open it: nothing that another process names or opens stops a start.
 * The host is created with SEM_FAILCRITICALERRORS in its error mode, which a child takes from the
 * process's: for the moment of the creation the library adds the flag to the process's error mode,
 * where it is not set already, and then takes it away again. Starts from several threads, and from
 * several copies of this library in one process, take turns at that moment, and the error mode is
 * left as it was. An application's own SetErrorMode, made on another thread while a start is under
 * way, keeps its other flags but not what it did to SEM_FAILCRITICALERRORS: an application that sets
 * that flag for good before its first start (as Windows advises every application to do) has its
 * error mode never touched.
 *
 * Costs one process start, a pipe, and on Windows a job object: under Wine what a plain start costs.
 * On Linux the host is forked, which copies the controller's page tables (0.4 ms more than a plain
 * start from a small controller), and the first start also starts the library's thread. */
hook_host_result hook_host_start(const char* path, int32_t number, uint32_t flags, hook_host** host);

/* Reads the host's report line, waiting at most `timeout_ms` for it, and stores its number in
 * *reported. Once read, the line's number is given at once on every later call. Takes the line in
 * whatever pieces it arrives, ending in LF or CR LF; nothing after it is read.
 * HOOK_HOST_GONE: the host ended without a report (the loader refused it: a missing hook library).
 * HOOK_HOST_FAILED: its first line is not a report line, or it closed its standard output without one
 * and still runs 1 s later (the program is not a hook host). Where the output ends without a line, the
 * host is given that second to end, even past `timeout_ms`. */
hook_host_result hook_host_wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported);

/* Posts WM_CLOSE with `status` as wParam to the host's main thread; the host ends 100 to 200 ms
 * later with exit status `status`. The host's queue exists once its report line is out, so where the
 * line has not been read yet this first waits for it, for at most HOOK_HOST_CLOSE_REPORT_MS: a close
 * asked for at once after the start is delivered, never refused or lost.
 * HOOK_HOST_TIMEOUT: no report line within that time; nothing was posted. HOOK_HOST_GONE: the host has
 * ended (and nothing was posted). HOOK_HOST_FAILED: the post was refused (a full queue: see
 * hook_host_post), or the program is not a hook host, as hook_host_wait_report says it (nothing was
 * posted). */
hook_host_result hook_host_close(hook_host* host, uint32_t status);

/* Waits at most `timeout_ms` (HOOK_HOST_NO_LIMIT: for ever) for the host to end, and stores its exit
 * status in *status. It waits on the process itself: a status of 259 (STILL_ACTIVE) is a status like
 * any other. Windows gives all 32 bits of it. Linux keeps the low 8 bits of a status, so a close with
 * -1 gives 255; a host ended by a signal gives minus the signal's number (SIGKILL: -9). Once the host
 * has ended, every later call gives the same status at once.
 * HOOK_HOST_FAILED on Linux when the status was taken by a wait of the controller's own (a wait for
 * any child, or SIGCHLD set to be ignored). */
hook_host_result hook_host_wait(hook_host* host, uint32_t timeout_ms, int32_t* status);

/* The host's process id, as hook_host_post and the close tool take it. */
uint32_t hook_host_process_id(const hook_host* host);

/* Frees what the library holds for `host` (NULL is allowed). A host that still runs and was started
 * without HOOK_HOST_OUTLIVE_CONTROLLER is ended with it, as if its controller had ended (on Linux
 * this waits for it to end, which takes a moment). One that was started with it runs on, and leaves
 * nothing behind once it ends: on Linux a thread of the library's waits for its end, so that it is
 * not left as a zombie. */
void hook_host_release(hook_host* host);

/* Posts message `kind` with `wparam` and `lparam` to the main thread of process `process_id`, a host
 * this controller did not start (to end a host of its own, use hook_host_close). On Windows the main
 * thread is the earliest created of the process's threads. A 32-bit build posts the low 32 bits of
 * `wparam` and `lparam`, the width of its WPARAM and LPARAM; a close status needs no more, as the
 * host reads only the low 32 bits of WM_CLOSE's wParam.
 * HOOK_HOST_OK once the message is queued. HOOK_HOST_GONE: no such process. HOOK_HOST_FAILED: the
 * process is not a host (it has no message queue), its queue is full, or the post is refused (access
 * denied; on Linux, a process of another user). */
hook_host_result hook_host_post(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam);

/* What the calling thread's last HOOK_HOST_FAILED was, with the system's own reason; "" if there was
 * none. Valid until the thread's next HOOK_HOST_FAILED. */
const char* hook_host_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
