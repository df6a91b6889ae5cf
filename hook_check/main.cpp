// hook_check: says what in a hook host's files would stop it from starting, and what to do; with
// --start, starts it once: for the people who write and place the hook library.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <new>
#include <string>
#include <vector>

#include "checks.h"
#include "names.h"
#include "start.h"

namespace {

const char usage[] =
    "usage: hook_check [--start NUMBER] [HOST]\n"
    "Checks the files of hook host HOST (its executable, or its folder; by default the host beside\n"
    "hook_check): that it binds a hook library, that the library is beside it, built for the host's\n"
    "machine, exports SetTeskShellHook, and that the libraries each imports are found. It reads files\n"
    "only. With --start, it also starts the host once with NUMBER, which runs the library's\n"
    "initialisation and entry, and closes it. Says each problem in a line (at most 100, and how many\n"
    "more); exits 0 when there is none, 1 when there is or HOST is no hook host, 2 on wrong arguments,\n"
    "3 when it ran out of memory.\n";

bool parse_number(const std::string& text, int32_t& number)
{
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        write_line(stderr, "hook_check: NUMBER '" + text + "' is not a number from " + std::to_string(INT32_MIN) +
                               " to " + std::to_string(INT32_MAX));
        return false;
    }
    number = static_cast<int32_t>(value);
    return true;
}

// hook_check given its arguments as UTF-8.
int check(const std::vector<std::string>& arguments)
{
    if (arguments.size() == 2 && (arguments[1] == "--help" || arguments[1] == "-h")) {
        fputs(usage, stdout);
        return 0;
    }
    bool start = false;
    int32_t number = 0;
    const std::string* host_argument = nullptr;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--start" && !start && i + 1 < arguments.size()) {
            if (!parse_number(arguments[++i], number))
                return 2;
            start = true;
        } else if (arguments[i].rfind('-', 0) != 0 && !host_argument) {
            host_argument = &arguments[i];
        } else {
            fputs(usage, stderr);
            return 2;
        }
    }

    const Platform& platform = this_platform();
    std::string host = host_argument ? full_path(*host_argument) : program_folder();
    if (!host_argument || is_folder(host))
        host = beside(platform, host + platform.separator(), platform.host_name());
    host = real_path(host);
    Verdict verdict = check_host(platform, host);

    // Only a hook host is started: anything else is not ours to run.
    std::string told;
    const bool started = start && verdict.hook_host && start_once(host, verdict.library, number, told);
    if (start && !started && !told.empty())
        verdict.problems.push_back(told);
    for (const std::string& problem : verdict.problems)
        write_line(stdout, problem);
    // A start that the files' problems should have stopped is told as this loader's leniency (Wine
    // binds a stub for a missing function), never as a success of its own.
    if (started)
        write_line(stdout, verdict.problems.empty() ? told
                                                    : told + ", despite the problems above: this system's loader let "
                                                             "them through, and a loader that applies their rule "
                                                             "refuses the start");
    else if (verdict.problems.empty())
        write_line(stdout, shown_path(host) + ": " + verdict.checked);
    return verdict.problems.empty() ? 0 : 1;
}

// Memory running out (an image that asks for more than the system gives) ends the check with a word
// and its own status, not an abort.
int check_within_memory(const std::vector<std::string>& arguments)
{
    try {
        return check(arguments);
    } catch (const std::bad_alloc&) {
        fputs("hook_check: ran out of memory, and could not finish the check\n", stderr);
        return 3;
    }
}

} // namespace

#ifdef _WIN32
// Windows gives the arguments in UTF-16 here, whatever its ANSI code page: a path of any name.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(utf8(argv[i]));
    return check_within_memory(arguments);
}
#else
int main(int argc, char** argv)
{
    return check_within_memory(std::vector<std::string>(argv, argv + argc));
}
#endif
