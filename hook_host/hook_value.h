// The reader of the host's one argument, the number it hands to the hook library.
#pragma once

#include <stdint.h>

// Reads the hook value by atol's rules (leading white space, one sign, decimal digits, the rest
// ignored, no digits read as 0), saturated to the signed 32-bit range.
int32_t read_hook_value(const char* text);
