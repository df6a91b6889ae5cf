// hook_check: says what in a hook host's files would stop it from starting, and what to do; with
// --start, starts it once: for the people who write and place the hook library.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "checks.h"
#include "start.h"

namespace {

const char usage[] =
    "usage: hook_check [--start NUMBER] [HOST]\n"
    "Checks the files of hook host HOST (its executable, or its folder; by default the host beside\n"
    "hook_check): that it binds a hook library, that the library is beside it, built for the host's\n"
    "machine, exports SetTeskShellHook, and that the libraries each imports are found. It reads files\n"
    "only. With --start, it also starts the host once with NUMBER, which runs the library's\n"
    "initialisation and entry, and closes it. Says each problem in a line; exits 0 when there is\n"
    "none, 1 when there is or HOST is no hook host, 2 on wrong arguments.\n";

bool parse_number(const char* text, int32_t& number)
{
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        fprintf(stderr, "hook_check: NUMBER '%s' is not a number from %d to %d\n", text, INT32_MIN, INT32_MAX);
        return false;
    }
    number = static_cast<int32_t>(value);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(usage, stdout);
        return 0;
    }
    bool start = false;
    int32_t number = 0;
    const char* host_argument = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--start") == 0 && !start && i + 1 < argc) {
            if (!parse_number(argv[++i], number))
                return 2;
            start = true;
        } else if (argv[i][0] != '-' && !host_argument) {
            host_argument = argv[i];
        } else {
            fputs(usage, stderr);
            return 2;
        }
    }

    const Platform& platform = this_platform();
    std::string host = host_argument ? full_path(host_argument) : program_folder();
    if (!host_argument || is_folder(host))
        host = beside(platform, host + platform.separator(), platform.host_name());
    Verdict verdict = check_host(platform, host);

    // Only a hook host is started: anything else is not ours to run.
    std::string told;
    const bool started = start && verdict.hook_host && start_once(host, verdict.library, number, told);
    if (start && !started && !told.empty())
        verdict.problems.push_back(told);
    for (const std::string& problem : verdict.problems)
        printf("%s\n", problem.c_str());
    if (started)
        printf("%s\n", told.c_str());
    else if (verdict.problems.empty())
        printf("%s: %s\n", host.c_str(), verdict.checked.c_str());
    return verdict.problems.empty() ? 0 : 1;
}
