// The host's platform on Windows: the thread's own message queue and Sleep.
#include <windows.h>

#include "close_message.h"
#include "platform.h"

static_assert(wm_close == WM_CLOSE);

// Read by the C runtime's start-up: hand main the arguments as typed, with no wildcard expansion.
extern "C" {
int _dowildcard = 0;
}

void platform::open_queue()
{
    // A thread gets its queue on its first call into USER32; a peek that removes nothing is the
    // documented way to make it.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

bool platform::poll(Message& message)
{
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        return false;
    message = {msg.message, msg.wParam};
    return true;
}

void platform::pause(unsigned milliseconds)
{
    Sleep(milliseconds);
}
