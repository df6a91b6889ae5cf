// The checks that a hook host's files let it start, made of what the platform reads of them: the
// host, which hook library it binds, that library beside it, its machine, its entry, and the
// libraries each imports.
#pragma once

#include <string>
#include <vector>

#include "image.h"

// The path of the file `name` in the folder of `path`.
std::string beside(const Platform& platform, const std::string& path, const std::string& name);

// What the files of the host at `host` (an absolute path) show.
struct Verdict {
    // Whether `host` is a hook host: a program that binds the hook library of its own machine.
    bool hook_host = false;
    // The path of that library, beside the host.
    std::string library;
    // Each problem in the files that would stop the host from starting, one line each, naming the file,
    // what is wrong and what to do.
    std::vector<std::string> problems;
    // Where there is none: what was checked, said in a line.
    std::string checked;
};

// Reads only files: no library's code runs, so what a library does when it is loaded is not seen.
Verdict check_host(const Platform& platform, const std::string& host);
