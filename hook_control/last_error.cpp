#include "last_error.h"

char* last_error()
{
    thread_local char text[last_error_size];
    return text;
}

hook_host_result failed(const char* reason)
{
    snprintf(last_error(), last_error_size, "%s", reason);
    return HOOK_HOST_FAILED;
}

extern "C" const char* hook_host_last_error(void)
{
    return last_error();
}
