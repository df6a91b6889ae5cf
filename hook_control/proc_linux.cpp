#include "proc_linux.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace hook_control_internal {

namespace {

// The state field of `line`, a stat file's "pid (name) state ...": the name may hold anything but ends
// at the last ')'. Null where the line has none.
const char* state_of(const char* line)
{
    const char* name_end = strrchr(line, ')');
    return name_end && name_end[1] == ' ' ? name_end + 2 : nullptr;
}

bool is_ended(char state)
{
    return state == 'Z' || state == 'X';
}

// Whether process `pid`, whose stat file is `path`, has ended: it is gone, or its state is zombie or
// dead. Where the file cannot be read for another reason, it is taken to run; where /proc is not
// mounted, a zombie is too.
bool stat_shows_ended(pid_t pid, const char* path)
{
    FILE* stat = fopen(path, "re");
    if (!stat)
        return errno == ENOENT && kill(pid, 0) != 0 && errno == ESRCH;
    char line[512];
    const bool read = fgets(line, sizeof line, stat) != nullptr;
    fclose(stat);
    const char* state = read ? state_of(line) : nullptr;
    return state && is_ended(*state);
}

} // namespace

bool process_has_ended(pid_t pid)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    return stat_shows_ended(pid, path);
}

bool alone(int stat)
{
    char line[1024] = {};
    const ssize_t size = pread(stat, line, sizeof line - 1, 0);
    if (size <= 0)
        return false;
    // num_threads is the 17th field after the state.
    const char* state = state_of(line);
    if (!state)
        return false;
    const char* field = state;
    for (int skipped = 0; skipped < 17 && field; ++skipped)
        field = strchr(field + 1, ' ');
    const long threads = field ? strtol(field + 1, nullptr, 10) : 0;
    return threads == 1 || (threads == 2 && is_ended(*state));
}

} // namespace hook_control_internal
