// hook_check --start: the host started once, as a controller starts it.
#pragma once

#include <stdint.h>

#include <string>

// Starts the host at `host` through hook_control with `number`, reads its report line, posts a close
// and waits for its end. True when it ended by that close; `told` says what happened, naming `host`
// and its hook library `library`. Runs the library's code: its DllMain and SetTeskShellHook.
bool start_once(const std::string& host, const std::string& library, int32_t number, std::string& told);
