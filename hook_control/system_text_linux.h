// The system's text for an errno value, as this machine's error texts give it.
#pragma once

#include <string.h>

// strerror's text may be shared between threads; this one is not.
inline const char* system_text(int error)
{
    const char* text = strerrordesc_np(error);
    return text ? text : "unknown error";
}
