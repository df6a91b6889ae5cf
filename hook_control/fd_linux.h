// A descriptor held by scope, as hook_control's Linux files hold theirs.
#pragma once

#include <unistd.h>

namespace hook_control_internal {

// Closed when it goes out of scope, unless released. Any number is a descriptor, 0 included: a
// controller may have closed its standard input.
struct Fd {
    int value = -1;
    Fd() = default;
    explicit Fd(int held)
        : value(held)
    {
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        reset();
    }
    void reset()
    {
        if (value >= 0)
            close(value);
        value = -1;
    }
    int release()
    {
        const int released = value;
        value = -1;
        return released;
    }
};

} // namespace hook_control_internal
