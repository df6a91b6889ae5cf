#include "close_wait.h"

#include "close_message.h"
#include "platform.h"

namespace {
constexpr unsigned pause_ms = 100;
}

int32_t close_wait()
{
    platform::Message message{};
    bool done = false;
    while (!done) {
        // One message a cycle at most; anything but WM_CLOSE is dropped unread.
        done = platform::poll(message) && message.kind == wm_close;
        // The pause follows every poll, the one that removed WM_CLOSE too.
        platform::pause(pause_ms);
    }
    return static_cast<int32_t>(static_cast<uint32_t>(message.wparam));
}
