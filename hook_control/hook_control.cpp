// The calls of hook_control.h, made of each platform's own (hook_control_platform.h), with what is the
// same on every platform.
#include "hook_control.h"
#include "hook_control_platform.h"
#include "last_error.h"

extern "C" hook_host_result hook_host_start(const char* path, int32_t number, uint32_t flags, hook_host** host)
{
    if (host)
        *host = nullptr;
    if (!path || !host)
        return failed("hook_host_start: no path, or nowhere to store the host");
    if (flags & ~HOOK_HOST_OUTLIVE_CONTROLLER)
        return failed("hook_host_start: unknown flags 0x%x",
                      static_cast<unsigned>(flags & ~HOOK_HOST_OUTLIVE_CONTROLLER));
    return start_host(path, number, flags, host);
}

extern "C" hook_host_result hook_host_wait_report(hook_host* host, uint32_t timeout_ms, int32_t* reported)
{
    return wait_report(host, timeout_ms, reported);
}

extern "C" hook_host_result hook_host_close(hook_host* host, uint32_t status)
{
    // The host's queue exists once its line is out: a close posted before would not reach it.
    int32_t reported = 0;
    const hook_host_result report = wait_report(host, HOOK_HOST_CLOSE_REPORT_MS, &reported);
    return report == HOOK_HOST_OK ? post_close(host, status) : report;
}

extern "C" hook_host_result hook_host_wait(hook_host* host, uint32_t timeout_ms, int32_t* status)
{
    return wait_end(host, timeout_ms, status);
}

extern "C" uint32_t hook_host_process_id(const hook_host* host)
{
    return process_id(host);
}

extern "C" intptr_t hook_host_waitable(const hook_host* host)
{
    if (!host) {
        failed("hook_host_waitable: no host");
        return no_waitable;
    }
    return waitable(host);
}

extern "C" void hook_host_release(hook_host* host)
{
    if (host)
        release_host(host);
}

extern "C" hook_host_result hook_host_post(uint32_t process_id, uint32_t kind, uint64_t wparam, uint64_t lparam)
{
    // Process 0 is the idle process on Windows and the caller's process group to kill() here: neither
    // has a host's queue.
    if (process_id == 0)
        return HOOK_HOST_GONE;
    return post_message(process_id, kind, wparam, lparam);
}
