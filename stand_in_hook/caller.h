// Who is calling the stand-in, in the platform's own ids.
#pragma once

#include <cstdint>

uint64_t caller_process_id();
uint64_t caller_thread_id();
