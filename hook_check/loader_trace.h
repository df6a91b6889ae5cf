// What glibc's dynamic linker writes when it traces a program's loading instead of running it
// (LD_TRACE_LOADED_OBJECTS, with LD_WARN, LD_BIND_NOW and LD_DEBUG=files), read a line at a time.
#pragma once

#include <string>
#include <string_view>

#include "image.h"

// `line` (without its end) of the trace of the program at `program`, as the path the linker was given:
// false where it reports nothing that bears on the start (an address, the linker's own debugging).
bool read_trace_line(std::string_view line, std::string_view program, LoaderReport& report);
