#include <windows.h>

#include "caller.h"

uint64_t caller_process_id()
{
    return GetCurrentProcessId();
}

uint64_t caller_thread_id()
{
    return GetCurrentThreadId();
}
