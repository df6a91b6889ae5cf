// Posting to a host's main thread, one implementation per platform.
#pragma once

#include <stdint.h>

struct Message {
    uint32_t kind;
    uint64_t wparam;
    uint64_t lparam;
};

// The largest process id the platform has.
extern const uint64_t max_process_id;

// Posts `message` to the main thread of process `pid`: nullptr once it is queued, else why not.
const char* post_to_main_thread(uint32_t pid, const Message& message);
