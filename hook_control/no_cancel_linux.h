// Holds off a pthread_cancel for as long as it lives, so that a call that opens descriptors or changes
// what the library shares between threads is never left half done: the cancel takes effect at the
// next cancellation point after it.
#pragma once

#include <pthread.h>

namespace hook_control_internal {

struct NoCancel {
    int old = 0;
    NoCancel()
    {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    }
    NoCancel(const NoCancel&) = delete;
    NoCancel& operator=(const NoCancel&) = delete;
    ~NoCancel()
    {
        pthread_setcancelstate(old, nullptr);
    }
};

} // namespace hook_control_internal
