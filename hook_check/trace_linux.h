// The dynamic linker run to trace a program's loading, within bounds of time and output.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// How a trace ended: the linker ended by itself (`status` its exit status, or minus its signal);
// `line` stopped it; it took more than its bounds of time and was ended; or it could not be run.
enum class TraceEnd { ended, stopped, slow, failed };

// Runs the dynamic linker at `linker` on the program at `program`, in the folder `folder`, in this
// process's environment with the linker told to trace the loading rather than run it, binding every
// symbol now and saying each it cannot bind, and which file needs each library (LD_TRACE_LOADED_OBJECTS,
// LD_BIND_NOW, LD_WARN, LD_DEBUG=files). Gives each line it writes on either stream, in order and
// without its end (one past 64 KB less its middle), to `line` until that returns false. It is ended past
// `cpu_ms` of its CPU time or `wall_ms` of the clock. `why` says why it could not be run.
TraceEnd trace_loading(const std::string& linker, const std::string& program, const std::string& folder, long cpu_ms,
                       long wall_ms, const std::function<bool(std::string_view)>& line, int& status, std::string& why);
