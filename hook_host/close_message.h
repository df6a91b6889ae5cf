// The message that ends the host: WM_CLOSE, with the exit status in the low 32 bits of wParam.
#pragma once

#include <stdint.h>

inline constexpr uint32_t wm_close = 0x0010;
