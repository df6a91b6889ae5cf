#include <unistd.h>

#include "caller.h"

uint64_t caller_process_id()
{
    return static_cast<uint64_t>(getpid());
}

// The main thread's id is the process id.
uint64_t caller_thread_id()
{
    return static_cast<uint64_t>(gettid());
}
