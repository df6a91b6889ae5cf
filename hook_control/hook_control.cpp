// The calls of hook_control.h that are the same on every platform.
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

extern "C" hook_host_result hook_host_close(hook_host* host, uint32_t status)
{
    // The host's queue exists once its line is out: a close posted before would not reach it.
    int32_t reported = 0;
    const hook_host_result report = hook_host_wait_report(host, HOOK_HOST_CLOSE_REPORT_MS, &reported);
    return report == HOOK_HOST_OK ? post_close(host, status) : report;
}
