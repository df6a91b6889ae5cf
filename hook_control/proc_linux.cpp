#include "proc_linux.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Whether the process or thread whose stat file is `path` has ended: the file is gone, or its state
// is zombie or dead. Where it cannot be read for another reason, it is taken to run.
bool stat_shows_ended(const char* path)
{
    FILE* stat = fopen(path, "re");
    if (!stat)
        return errno == ENOENT;
    char line[512];
    const bool read = fgets(line, sizeof line, stat) != nullptr;
    fclose(stat);
    // "pid (name) state ...": the name may hold anything but ends at the last ')'.
    const char* name_end = read ? strrchr(line, ')') : nullptr;
    return name_end && (name_end[2] == 'Z' || name_end[2] == 'X');
}

} // namespace

bool process_has_ended(pid_t pid)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    return stat_shows_ended(path);
}

bool alone()
{
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return false;
    const long self = syscall(SYS_gettid);
    bool others = false;
    while (const dirent* task = readdir(tasks)) {
        const long tid = strtol(task->d_name, nullptr, 10);
        if (tid <= 0 || tid == self)
            continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/self/task/%ld/stat", tid);
        if (!stat_shows_ended(path)) {
            others = true;
            break;
        }
    }
    closedir(tasks);
    return !others;
}
