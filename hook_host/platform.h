// What the host needs of its platform: the main thread's message queue and a pause.
// One implementation per platform, chosen by the build; tests bring a fake.
#pragma once

#include <stdint.h>

namespace platform {

struct Message {
    uint32_t kind;
    uint64_t wparam;
};

// Makes the calling thread's queue exist, so that messages posted from now on are kept, and readies
// the process to report: a report line that nobody reads must not end it.
void open_queue();

// Removes the next waiting message into `message` and says whether there was one; never blocks.
// Where it returns false, `message` holds nothing of meaning.
bool poll(Message& message);

// Suspends the calling thread.
void pause(unsigned milliseconds);

} // namespace platform
