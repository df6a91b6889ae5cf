// The message that ends the host: WM_CLOSE, with the exit status in the low 32 bits of wParam.
// For C and C++ alike: the host, everything that posts to it, and the benchmark's yardstick.
#pragma once

#include <stdint.h>

static const uint32_t wm_close = 0x0010;
