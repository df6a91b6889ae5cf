// The test controller's commands for Windows only.
#include <windows.h>

#include <string>

#include "test_controller.h"

// As a window's thread waits: on the host's end and on the thread's messages at once, each message
// handled as it comes; a timer of the thread's own keeps them coming meanwhile.
bool signalled_within(intptr_t waitable, uint32_t ms)
{
    const HANDLE process = reinterpret_cast<HANDLE>(waitable);
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, nullptr);
    const ULONGLONG deadline = GetTickCount64() + ms;
    DWORD woke = WAIT_TIMEOUT;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        woke = MsgWaitForMultipleObjects(1, &process, FALSE, now < deadline ? static_cast<DWORD>(deadline - now) : 0,
                                         QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 1)
            break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    KillTimer(nullptr, timer);
    return woke == WAIT_OBJECT_0;
}

const Command platform_commands[] = {
    // Sets the process's error mode, if given: "ok MODE".
    {"error-mode", 1, 2,
     [](char** words, int count) {
         if (count == 2)
             SetErrorMode(unsigned32(words[1]));
         answer(HOOK_HOST_OK, "ok " + std::to_string(GetErrorMode()));
     }},
    {nullptr, 0, 0, nullptr},
};
