/* hook_control: starts, supervises and ends hook hosts, for the programs that control them.
 *
 * A hook host (hook_host.exe NUMBER, or the 32-bit hook_host32.exe NUMBER) writes the report line
 * "Adding hook for NUMBER", installs the shell hook, and waits until WM_CLOSE is posted to its main
 * thread; the message's wParam becomes its exit status. This library does each step of that protocol
 * the way it must be done: a host that cannot outlive its controller, a close that is never posted
 * too early, a status read from the process itself, and nothing of the controller's handed to the
 * host.
 *
 * Plain C; every call returns, nothing is thrown, and no call waits past its `timeout_ms`. Every call
 * that takes a handle gives HOOK_HOST_FAILED for NULL (hook_host_process_id 0, hook_host_waitable
 * none), with a last error that says so, and stores nothing through a NULL out-pointer. Calls on
 * different hosts may be made from different threads at once. On one host, hook_host_wait,
 * hook_host_process_id, hook_host_waitable, hook_host_watch and hook_host_unwatch may be made from any
 * thread at any time, beside each other and beside the other calls: two waits at once both give the
 * status. The calls that must not overlap on one host: hook_host_wait_report and hook_host_close with
 * each other or themselves (they read the host's output), and hook_host_release with any call.
 *
 * A host belongs to the process that started it. A handle copied into a forked child is another
 * process's there: hook_host_release frees its memory and ends, signals and waits for nothing, and
 * hook_host_process_id works; every other call gives HOOK_HOST_FAILED and says so. (Windows has no
 * fork: no other process can hold a handle of this one's.)
 *
 * Texts are UTF-8. The calls behave alike on both platforms, at the same moments; where a platform
 * differs, the call says so.
 *
 * What a call may wait for, besides its own `timeout_ms`: hook_host_start for the start of the host
 * (on Linux, after the starts that other threads asked for first); hook_host_unwatch and
 * hook_host_release for a callback of the watches they end that is under way on another thread; every
 * call for the library's short holds of its own locks. No call waits for a callback of another watch:
 * a callback may take a lock that the application holds while it makes any call but one that ends
 * that callback's own watch.
 *
 * On Linux the library's thread starts hosts and takes the status of released hosts, and a second
 * thread of the library's, made while there are callbacks of hook_host_watch to call, calls them. Both
 * are made with every signal blocked (the caller's mask is given back), so that no handler of the
 * controller's runs on them. The first lasts while a host it started runs (or a host that has ended is
 * watched), and ends after the last, or within a second once it is the process's last thread (a
 * controller whose main thread called pthread_exit ends as it would without it; where /proc is not
 * mounted it cannot tell, and lasts while a host runs). From the first start it holds two descriptors
 * for good, an eventfd and /proc/self/stat, which tells it whether it is the last thread without
 * opening anything: a shortage of descriptors ends no host. A child that the controller forks keeps
 * none of them, nor of the hosts the thread watched: it gets a thread of its own at its first start.
 * hook_host_start, hook_host_release,
 * hook_host_post, the post of hook_host_close, hook_host_watch and hook_host_unwatch are no
 * cancellation points (a pthread_cancel takes effect after them); the waits are, and leave the host as
 * it was.
 *
 * On Windows it needs Windows 6.0 or later and links KERNEL32, USER32 and ADVAPI32 only. Either
 * controller, 32-bit or 64-bit, starts, reads, closes and waits for either host, the 64-bit
 * hook_host.exe (beside TeskShellHook64.dll) or the 32-bit hook_host32.exe (beside
 * TeskShellHook32.dll), with the same calls. A global hook's library is loaded only into processes of
 * its own architecture, so which processes a hook reaches depends on where its library runs:
 *
 *                          target: 64-bit processes     target: 32-bit processes
 *   64-bit controller      library in its own process   hook_host32.exe
 *                          (or hook_host.exe)
 *   32-bit controller      hook_host.exe                library in its own process
 *                                                       (or hook_host32.exe)
 *
 * For processes of both kinds a controller starts both hosts, each with its own hook_host handle,
 * and closes and waits for each as for one.
 *
 * On Linux (the project's own platform layer, where a thread's queue is a datagram socket) it needs
 * Linux 5.11 or later, glibc 2.34 or later and POSIX threads.
 *
 * It comes as a static library and as a shared one (hook_control.dll, 32-bit and 64-bit, which imports
 * only the system's DLLs; libhook_control.so.1), which exports these calls and nothing else. A program
 * that links the shared library defines HOOK_CONTROL_SHARED before it includes this header (the CMake
 * target hook_control::shared does so for it); one that links the static library defines nothing.
 * Every call uses the C calling convention (cdecl), whatever the compiler's default, and the DLL
 * exports each by its plain name on both architectures ("hook_host_start": no leading underscore, no
 * @N): a program that declares the calls itself (an FFI, GetProcAddress) declares them cdecl.
 */
#ifndef HOOK_CONTROL_H
#define HOOK_CONTROL_H

#include <stdint.h>

#if defined(HOOK_CONTROL_SHARED) && defined(_WIN32)
#ifdef HOOK_CONTROL_BUILDING
#define HOOK_CONTROL_API __declspec(dllexport)
#else
#define HOOK_CONTROL_API __declspec(dllimport)
#endif
#elif defined(HOOK_CONTROL_SHARED)
#define HOOK_CONTROL_API __attribute__((visibility("default")))
#else
#define HOOK_CONTROL_API
#endif
#ifdef _WIN32
#define HOOK_CONTROL_CALL __cdecl
#else
#define HOOK_CONTROL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hook_host hook_host;

typedef enum hook_host_result {
    HOOK_HOST_OK = 0,
    HOOK_HOST_TIMEOUT = 1, /* the time ran out first; the host is still running */
    HOOK_HOST_GONE = 2,    /* the host has ended (or, for a post, there is no such host): hook_host_last_error()
                              says how */
    HOOK_HOST_FAILED = 3   /* refused or failed: hook_host_last_error() says what and why */
} hook_host_result;

/* Flag for hook_host_start: the host goes on after its controller has ended or released it. */
#define HOOK_HOST_OUTLIVE_CONTROLLER 0x1u

/* A timeout without limit, for hook_host_wait_report and hook_host_wait. */
#define HOOK_HOST_NO_LIMIT UINT32_MAX

/* How long hook_host_close waits for a report line that has not been read yet: 10 s. */
#define HOOK_HOST_CLOSE_REPORT_MS 10000u

/* What hook_host_watch calls once a host has ended, with the context it was given. */
typedef void(HOOK_CONTROL_CALL* hook_host_ended)(void* context);

/* Starts the host executable at `path` (relative to the current folder) with `number` as its one
 * argument, and on HOOK_HOST_OK stores a new handle in *host, to be released by hook_host_release.
 *
 * The host runs in its executable's own folder, so that it never loads a hook library from the
 * controller's current folder; with no console, and so no console window; its standard output read
 * by this library; its standard error the controller's own, so that what a loader says reaches the
 * controller's log; and with no other handle, file or pipe of the controller's. A host started with
 * HOOK_HOST_OUTLIVE_CONTROLLER gets the null device as its standard error instead, on both platforms,
 * so that it holds none of the controller's pipes open after the controller's end. On Linux it takes
 * the CPU affinity and nice value of the thread that asks for the start (a nice value lower than the
 * library thread's only where the system allows the host to raise its priority).
 *
 * Unless `flags` holds HOOK_HOST_OUTLIVE_CONTROLLER, the host is ended by the system as soon as the
 * controller process ends, however it ends (a crash, TerminateProcess, SIGKILL), or when its handle is
 * released. On Windows it runs in a job object of its own with JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE,
 * whose one handle this library holds (inside a job the controller is already in, too; on Windows 6.0
 * and 6.1, which cannot nest jobs, that job must allow breakaway). On Windows 10 and later the host is
 * created inside it (PROC_THREAD_ATTRIBUTE_JOB_LIST), so that a controller that ends at any moment of
 * a start leaves no host. Older systems refuse that: there the host is created suspended and assigned
 * to its job before it runs any code, and a controller that ends in the moment between the two (a
 * process creation's time) leaves a suspended host, in no job, for ever. On Linux it gets SIGKILL when the controller
 * ends; a host started from a thread that then ends lives on, since hosts are started from the library's thread. A host
 * that outlives its controller still belongs to any job the controller is in.
 *
 * A host whose hook library is missing is started all the same: the loader ends it, and
 * hook_host_wait_report then gives HOOK_HOST_GONE and hook_host_wait the loader's status (Windows:
 * STATUS_DLL_NOT_FOUND, 0xC0000135, with no error dialog on the user's desktop; Linux: 127).
 * HOOK_HOST_FAILED when the program cannot be started at all (no such file, not an executable, a path
 * that is not UTF-8, an unknown flag; on Windows a folder of MAX_PATH characters or more, the most a
 * process's current folder may have; on Linux a set-up of the child that fails before its exec, with
 * its reason); *host is then NULL, and nothing of the attempt is left open or running.
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
 * On Linux the host is started by a child that shares the controller's memory until its exec, as
 * posix_spawn does, so that a start costs the same from a small controller as from a large one; a
 * start while no host runs also starts the library's thread. */
HOOK_CONTROL_API hook_host_result HOOK_CONTROL_CALL hook_host_start(const char* path, int32_t number, uint32_t flags,
                                                                    hook_host** host);

/* Reads the host's report line, waiting at most `timeout_ms` for it, and stores its number in
 * *reported (where `reported` is not NULL). Takes the line in whatever pieces it arrives, ending in LF
 * or CR LF; nothing after it is looked at.
 * HOOK_HOST_GONE: the host ended without a report (the loader refused it: a missing hook library).
 * HOOK_HOST_FAILED: its first line is not a report line, or it closed its standard output without one
 * and still runs 1 s later (the program is not a hook host). Where the output ends without a line, the
 * host is given that second to end; a call whose time runs out first gives HOOK_HOST_TIMEOUT, and a
 * later call waits for what is left of the second. A verdict once reached (the number, or that the
 * program is no host) is given at once on every later call. */
HOOK_CONTROL_API hook_host_result HOOK_CONTROL_CALL hook_host_wait_report(hook_host* host, uint32_t timeout_ms,
                                                                          int32_t* reported);

/* Posts WM_CLOSE with `status` as wParam to the host's main thread; the host ends 100 to 200 ms
 * later with exit status `status`. The host's queue exists once its report line is out, so where the
 * line has not been read yet this first waits for it, for at most HOOK_HOST_CLOSE_REPORT_MS: a close
 * asked for at once after the start is delivered, never refused or lost.
 * HOOK_HOST_TIMEOUT: no report line within that time; nothing was posted. HOOK_HOST_GONE: the host has
 * ended, or is ending (its queue is gone and it ends within 1 s), and nothing reached it; nothing is
 * posted once the host has ended, so whatever has its id or its queue's name since gets nothing.
 * HOOK_HOST_FAILED: the post was refused (a full queue: see hook_host_post), or the program is not a
 * hook host, as hook_host_wait_report says it or as hook_host_post does (nothing was posted). Costs at
 * most HOOK_HOST_CLOSE_REPORT_MS and that second. */
HOOK_CONTROL_API hook_host_result HOOK_CONTROL_CALL hook_host_close(hook_host* host, uint32_t status);

/* Waits at most `timeout_ms` (HOOK_HOST_NO_LIMIT: for ever) for the host to end, and stores its exit
 * status in *status (where `status` is not NULL). It waits on the process itself: a status of 259
 * (STILL_ACTIVE) is a status like any other. Windows gives all 32 bits of it. Linux keeps the low 8
 * bits of a status, so a close with -1 gives 255; a host ended by a signal gives minus the signal's
 * number (SIGKILL: -9). Once the host has ended, every later call gives the same status at once.
 * HOOK_HOST_FAILED on Linux when the status was taken by a wait of the controller's own (a wait for
 * any child, or SIGCHLD set to be ignored), on this call and every later one, at once: the host is
 * waited for through its pidfd, never through its pid number, which a later process may have.
 * The host has ended once its status can be taken. On Linux a tracer (a debugger, strace) that
 * watches the host takes its end first: until it has, the host's waitable is signalled but its status
 * cannot be taken yet, and this call looks for it again (after 1 ms, then less and less often, at
 * most every 50 ms) until its time runs out: HOOK_HOST_TIMEOUT at `timeout_ms` at the latest, at once
 * for 0. Two waits at once, from any threads, both give the status (see above). */
HOOK_CONTROL_API hook_host_result HOOK_CONTROL_CALL hook_host_wait(hook_host* host, uint32_t timeout_ms,
                                                                   int32_t* status);

/* The host's process id, as hook_host_post and the close tool take it; 0 for NULL. */
HOOK_CONTROL_API uint32_t HOOK_CONTROL_CALL hook_host_process_id(const hook_host* host);

/* An object the system signals once the host has ended, for the controller's own event loop: on
 * Windows the host's process handle, a HANDLE to wait on (WaitForSingleObject,
 * MsgWaitForMultipleObjects beside window messages, RegisterWaitForSingleObject); on Linux a
 * descriptor that polls readable (POLLIN) from the host's end on, its pidfd, to poll, to add to an
 * epoll set or to an event loop's readers. Both are the library's own: wait on them, never close,
 * read or duplicate them for good. It stays valid, and the same, until hook_host_release; once it is
 * signalled, hook_host_wait(host, 0, &status) gives the status at once (or, on Linux, FAILED where a
 * wait of the controller's own took it), but on Linux where a tracer holds the host's end: then
 * HOOK_HOST_TIMEOUT until the tracer has taken it (hook_host_watch waits for that). Any thread may
 * ask for it and wait on it at any time, beside the calls on that host; it costs nothing and allocates
 * nothing. For a NULL host: -1 on Linux, NULL (0) on Windows, with the last error set. */
HOOK_CONTROL_API intptr_t HOOK_CONTROL_CALL hook_host_waitable(const hook_host* host);

/* Calls `ended(context)` once the host has ended, however it ends, from another thread, so that a
 * program with a loop of its own (an event loop, a binding's future) learns of the end without a
 * thread of its own that waits. The host has ended as hook_host_wait says it: once its status can be
 * taken, or was taken by a wait of the controller's own; a call of hook_host_wait(host, 0, &status)
 * then gives it at once. A host that has ended already is told of at once, the same way.
 * The callbacks of a process are called one at a time: on Windows on a thread of the system's pool
 * (RegisterWaitForSingleObject, one registered wait for each watch), on Linux on the library's thread
 * for callbacks, with signals blocked. A callback under way holds up the others, never a start, so it
 * should do little and return (post to the program's loop, set an event). It may make any call of
 * this library, on any host, itself included: hook_host_unwatch or hook_host_release of any host from
 * within it waits for no callback, and no callback of a watch so ended is called after it.
 * A host may be watched with several callbacks, or one callback with several contexts, at once; a pair
 * that watches it already is refused. HOOK_HOST_FAILED also for a NULL `ended`, and where the watch
 * cannot be made (Windows: the pool's wait; Linux: the library's thread cannot be made, or, for a host
 * that has ended, a copy of its pidfd). Costs a registered wait on Windows (freed by a work item
 * of the pool once the watch has ended) and, on Linux, a few bytes and a wake of the library's thread
 * (for a host that has ended, a descriptor until the callback; while callbacks are due, the thread
 * that calls them). */
HOOK_CONTROL_API hook_host_result HOOK_CONTROL_CALL hook_host_watch(hook_host* host, hook_host_ended ended,
                                                                    void* context);

/* Ends the watch of `ended` with `context` on `host`, where there is one: when it returns, the callback
 * is not running, unless on the calling thread (a call from within it), and is never called for this
 * watch. It waits for a callback under way on another thread to return, and for nothing else.
 * HOOK_HOST_OK also where nothing watched (the callback has been called already); HOOK_HOST_FAILED for
 * a NULL `ended`. hook_host_release ends every watch of its host the same way. */
HOOK_CONTROL_API hook_host_result HOOK_CONTROL_CALL hook_host_unwatch(hook_host* host, hook_host_ended ended,
                                                                      void* context);

/* Frees what the library holds for `host` (NULL is allowed), without waiting for the host, its watches
 * ended first as hook_host_unwatch ends them (no callback tells of the end that a release brings; a
 * callback under way on another thread is waited for). A host that still runs and was started without
 * HOOK_HOST_OUTLIVE_CONTROLLER is ended with it, as if its controller had ended: the system ends it a
 * moment later. One that was started with it runs on. Either leaves nothing behind once it ends: on
 * Linux the library's thread, which watches every host it started, takes its status, so that it is not
 * left as a zombie (and where no thread can be made, a host that has ended has its status taken at
 * once). In a forked child a release frees memory only (see above). */
HOOK_CONTROL_API void HOOK_CONTROL_CALL hook_host_release(hook_host* host);

/* Posts message `kind` with `wparam` and `lparam` to the main thread of process `process_id`, a host
 * this controller did not start (to end a host of its own, use hook_host_close). On Windows the main
 * thread is the earliest created of the process's threads. A 32-bit build posts the low 32 bits of
 * `wparam` and `lparam`, the width of its WPARAM and LPARAM; a close status needs no more, as the
 * host reads only the low 32 bits of WM_CLOSE's wParam.
 * On Linux the message goes only to a queue that is the process's own: any user may bind the name of
 * the queue of a process that has none, and the socket behind the name is looked for among the
 * process's descriptors first (through sock_diag and /proc/<pid>/fd; three descriptors for the moment):
 * where /proc is not mounted, nothing is sent, and the post (and a close) fails and says so.
 * HOOK_HOST_OK once the message is queued. HOOK_HOST_GONE: no such process. HOOK_HOST_FAILED: the
 * process is not a host (it has no message queue; on Linux also where its queue's name is bound by
 * another process, which then gets nothing), its queue is full, or the post is refused (access denied;
 * on Linux, a process of another user). */
HOOK_CONTROL_API hook_host_result HOOK_CONTROL_CALL hook_host_post(uint32_t process_id, uint32_t kind, uint64_t wparam,
                                                                   uint64_t lparam);

/* What the calling thread's last HOOK_HOST_FAILED was, with the system's own reason, or what its last
 * HOOK_HOST_GONE found: the host's process id and its exit status with what the status means where it
 * can be read at once ("process 123 has ended with status 0xC0000135: the hook library ... was not
 * found ..."; a status a close chose has no meaning added), or for a post that there is no such
 * process. "" if there was none. Valid until the thread's next HOOK_HOST_FAILED or HOOK_HOST_GONE. A
 * call that gives HOOK_HOST_FAILED also returns with the system's code of that reason as the thread's
 * errno (Linux) or GetLastError() (Windows), 0 where the reason is not the system's (a refused
 * argument): ERROR_FILE_NOT_FOUND or ENOENT (both 2) for a host that is not there. */
HOOK_CONTROL_API const char* HOOK_CONTROL_CALL hook_host_last_error(void);

/* The version of the library, major << 16 | minor << 8 | patch (1.0.0 is 0x010000), so that a program
 * that loads the shared library by name can check what it loaded: the calls keep their meaning within
 * a major version. Any thread, at any time; it only returns a constant. */
HOOK_CONTROL_API uint32_t HOOK_CONTROL_CALL hook_control_version(void);

/* A short English text, for a controller's log, of what a host's exit status `status` (as
 * hook_host_wait gives it) means when the loader or the system chose it: the host did not start, or
 * it crashed. "" for any other status, which is the one a close chose. A close may choose any status,
 * one of these too; the text says what the status means when the host did not end by its close.
 * Windows: the loader's refusals (STATUS_DLL_NOT_FOUND, 0xC0000135: the hook library or a library it
 * needs was not found, which is also what Wine gives for a library of the wrong architecture;
 * STATUS_INVALID_IMAGE_FORMAT, 0xC000007B: a library of the wrong architecture, as Windows gives it;
 * STATUS_ENTRYPOINT_NOT_FOUND, 0xC0000139; STATUS_DLL_INIT_FAILED, 0xC0000142: a library's DllMain
 * failed) and the common crash codes (0xC0000005 and others). Linux: 127, the dynamic linker's (the
 * host, its hook library, a library it needs or SetTeskShellHook not found), and a death by a signal
 * (minus the signal's number). The texts are static and never change while the process runs: any
 * thread may call this at any time; it allocates nothing and cannot fail. */
HOOK_CONTROL_API const char* HOOK_CONTROL_CALL hook_host_status_text(int32_t status);

#ifdef __cplusplus
}
#endif

#endif
