// The host's wait for its close: the main thread's queue polled until WM_CLOSE comes.
#pragma once

#include <stdint.h>

// Polls the main thread's queue until WM_CLOSE is removed, pausing after every poll,
// and returns the low 32 bits of that message's wParam.
int32_t close_wait();
