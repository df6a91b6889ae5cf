// hook_check --start: the host started once, as a controller starts it.
#pragma once

#include <stdint.h>

#include <string>

// Starts the host at `host_path` through hook_control with `number`, reads its report line, posts a
// close and waits for its end. True when it ended by that close; `told` says what happened, naming the
// host and its hook library `library_path`, each shown safely (names.h). Runs the library's code: its
// DllMain and SetTeskShellHook.
bool start_once(const std::string& host_path, const std::string& library_path, int32_t number, std::string& told);
