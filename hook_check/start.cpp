// The host started once through hook_control, and its outcome told in the loader's and the system's
// terms (hook_host_status_text).
#include "start.h"

#include <stdio.h>

#include "hook_control.h"
#include "names.h"

namespace {

// A status that no loader, crash or signal gives, so that an end by our close is told from the rest.
constexpr uint32_t close_status = 75;
// A first start under Wine may have to start its server and services first.
constexpr uint32_t report_ms = 30000;
constexpr uint32_t end_ms = 10000;

// A status as its platform writes it: the system's codes in hex (0xC0000135), the rest in decimal.
std::string status_name(int32_t status)
{
    char text[16];
    if (status <= -256)
        snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    else
        snprintf(text, sizeof text, "%d", static_cast<int>(status));
    return text;
}

// "with status S" and what the platform says it means.
std::string ended_with(int32_t status)
{
    const std::string text = hook_host_status_text(status);
    return "with status " + status_name(status) + (text.empty() ? "" : ": " + text);
}

// Releases `host` (ending it, if it runs) and gives `text` as what went wrong: false, the start's outcome.
bool release_and_fail(hook_host* host, const std::string& text, std::string& told)
{
    told = text;
    hook_host_release(host);
    return false;
}

} // namespace

bool start_once(const std::string& host_path, const std::string& library_path, int32_t number, std::string& told)
{
    const std::string host = shown_path(host_path);
    const std::string library = shown_path(library_path);
    hook_host* started = nullptr;
    if (hook_host_start(host_path.c_str(), number, 0, &started) != HOOK_HOST_OK)
        return release_and_fail(started, host + " could not be started: " + hook_host_last_error(), told);

    int32_t reported = 0;
    int32_t status = 0;
    switch (hook_host_wait_report(started, report_ms, &reported)) {
    case HOOK_HOST_OK:
        break;
    case HOOK_HOST_GONE:
        if (hook_host_wait(started, end_ms, &status) != HOOK_HOST_OK)
            return release_and_fail(started, host + " ended before its report line; its status could not be read",
                                    told);
        return release_and_fail(
            started, host + ", with " + library + " beside it, ended before its report line " + ended_with(status),
            told);
    case HOOK_HOST_TIMEOUT:
        return release_and_fail(started,
                                host + " wrote no report line within " + std::to_string(report_ms / 1000) + " s", told);
    case HOOK_HOST_FAILED:
        return release_and_fail(started, host + ": " + hook_host_last_error(), told);
    }
    if (reported != number)
        return release_and_fail(started,
                                host + " reported " + std::to_string(reported) + " where it was started with " +
                                    std::to_string(number) + ": it is not a hook host",
                                told);

    const hook_host_result closed = hook_host_close(started, close_status);
    if (closed == HOOK_HOST_FAILED)
        return release_and_fail(started,
                                host + " reported, but its close could not be posted: " + hook_host_last_error(), told);
    switch (hook_host_wait(started, end_ms, &status)) {
    case HOOK_HOST_OK:
        break;
    case HOOK_HOST_TIMEOUT:
        return release_and_fail(started,
                                host + " reported, but had not ended " + std::to_string(end_ms / 1000) +
                                    " s after its close: " + library +
                                    " has not returned from SetTeskShellHook, and a close waits for it",
                                told);
    default:
        return release_and_fail(started, host + " reported; its end could not be read: " + hook_host_last_error(),
                                told);
    }
    if (status != static_cast<int32_t>(close_status))
        return release_and_fail(started,
                                host + " reported, then ended before its close " + ended_with(status) +
                                    "; the fault is in " + library +
                                    " (in SetTeskShellHook, or in what it left running)",
                                told);
    told = host + " started with " + std::to_string(number) + ", reported it, and ended by its close";
    hook_host_release(started);
    return true;
}
