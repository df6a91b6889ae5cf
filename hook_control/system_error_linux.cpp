// The system's text for an errno value on Linux, as failed() adds it to a failure.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "last_error.h"

namespace hook_control_internal {

void describe(SystemError error, char* text, size_t size)
{
    // strerror's text may be shared between threads; this one is not.
    const char* known = strerrordesc_np(static_cast<int>(error));
    snprintf(text, size, "%s", known ? known : "unknown error");
}

void leave_system_error(SystemError error)
{
    errno = static_cast<int>(error);
}

} // namespace hook_control_internal
