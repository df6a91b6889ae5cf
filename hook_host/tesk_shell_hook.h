// The hook library's one entry, bound by name when the program is loaded.
#pragma once

#include <stdint.h>

// Installs the shell hook for `hook_argument`; whatever it returns is not the host's to judge.
extern "C" void SetTeskShellHook(int64_t hook_argument);
