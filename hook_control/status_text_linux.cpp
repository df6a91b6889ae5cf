// hook_host_status_text on Linux: the dynamic linker's status, and the signals that end a process
// (hook_host_wait gives minus the signal's number).
#include <signal.h>

#include "hook_control.h"

namespace {

struct StatusText {
    int32_t status;
    const char* text;
};

const StatusText texts[] = {
    {127, "the dynamic linker refused the host: the host, its hook library, a library it needs, or "
          "SetTeskShellHook was not found (it says which on standard error)"},
    {-SIGSEGV, "crashed: an invalid memory access (SIGSEGV)"},
    {-SIGBUS, "crashed: a bad memory access (SIGBUS)"},
    {-SIGILL, "crashed: an illegal instruction (SIGILL)"},
    {-SIGFPE, "crashed: an arithmetic fault, such as a division by zero (SIGFPE)"},
    {-SIGABRT, "aborted: abort(), a failed assertion or a fault the C library found (SIGABRT)"},
    {-SIGTRAP, "crashed: a breakpoint or trap with no debugger (SIGTRAP)"},
    {-SIGSYS, "crashed: a bad system call (SIGSYS)"},
    {-SIGKILL, "killed (SIGKILL)"},
    {-SIGTERM, "ended from outside (SIGTERM)"},
    {-SIGINT, "interrupted (SIGINT)"},
    {-SIGHUP, "its terminal went away (SIGHUP)"},
    {-SIGQUIT, "quit from the terminal (SIGQUIT)"},
};

} // namespace

extern "C" const char* hook_host_status_text(int32_t status)
{
    for (const StatusText& known : texts) {
        if (known.status == status)
            return known.text;
    }
    // Every other signal, realtime ones included.
    return status < 0 && status >= -SIGRTMAX ? "ended by a signal" : "";
}
