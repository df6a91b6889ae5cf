// The checks that a hook host will start, made of what the platform reads of its files: the host,
// its hook library beside it, the library's machine, its entry, and the libraries it imports.
#pragma once

#include <string>
#include <vector>

#include "image.h"

// The library's one entry, as the host binds it.
constexpr const char entry_name[] = "SetTeskShellHook";

// The path of the file `name` in the folder of `path`.
std::string beside(const Platform& platform, const std::string& path, const std::string& name);

// Each problem that would stop the host at `host` (an absolute path) from starting, one line each,
// naming the file, what is wrong and what to do; none when it will start.
std::vector<std::string> check_host(const Platform& platform, const std::string& host);
