#include "hook_value.h"

#include <stdlib.h>

int32_t read_hook_value(const char* text)
{
    // strtoll follows atol's rules and saturates at 64 bits where atol would overflow.
    const long long value = strtoll(text, nullptr, 10);
    if (value < INT32_MIN)
        return INT32_MIN;
    if (value > INT32_MAX)
        return INT32_MAX;
    return static_cast<int32_t>(value);
}
