// The dynamic linker run to trace a program's loading. Hazards it answers:
// - The linker's work grows with what the images ask (a hundred thousand missing libraries take it
//   many seconds; a looping hash chain, forever): its CPU time is read as it runs, and it is ended
//   past its bound, as it is past a bound of the clock (a library that is a FIFO holds its open).
// - What it writes is read as it comes, a line at a time, never kept whole: a line past 64 KB (a name
//   of a megabyte) keeps its first and last 32 KB, the end saying what became of the name; and the
//   reader may stop it once it has heard enough.
// - Its own variables are set anew, whatever the environment held (LD_DEBUG_OUTPUT would send its
//   debugging to a file); the rest is the environment a start has, LD_LIBRARY_PATH and LD_PRELOAD too.
#include "trace_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr size_t line_part = 32768; // a long line's beginning, and its end, kept
constexpr int poll_ms = 20;

const char* const traced[] = {"LD_TRACE_LOADED_OBJECTS=1", "LD_WARN=yes", "LD_BIND_NOW=1", "LD_DEBUG=files"};
const char* const replaced[] = {
    "LD_TRACE_LOADED_OBJECTS=", "LD_WARN=",    "LD_BIND_NOW=",        "LD_DEBUG=",
    "LD_DEBUG_OUTPUT=",         "LD_VERBOSE=", "LD_LIBRARY_VERSION=", "LD_TRACE_PRELINKING="};

// This process's environment less the linker's variables of `replaced`, with those of `traced`.
std::vector<char*> environment()
{
    std::vector<char*> made;
    for (char** variable = environ; *variable; ++variable) {
        bool kept = true;
        for (const char* name : replaced)
            kept = kept && strncmp(*variable, name, strlen(name)) != 0;
        if (kept)
            made.push_back(*variable);
    }
    for (const char* variable : traced)
        made.push_back(const_cast<char*>(variable));
    made.push_back(nullptr);
    return made;
}

long elapsed_ms(const timespec& since, clockid_t clock)
{
    timespec now{};
    if (clock_gettime(clock, &now) != 0)
        return 0;
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// The linker started, its output on `output`: false, with `why`, where it could not be.
bool spawn(const std::string& linker, const std::string& program, const std::string& folder, pid_t& child, int& output,
           std::string& why)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        why = std::string("no pipe: ") + strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<char*> arguments{const_cast<char*>(linker.c_str()), const_cast<char*>(program.c_str()), nullptr};
    std::vector<char*> variables = environment();
    const int failed = posix_spawn(&child, linker.c_str(), &actions, nullptr, arguments.data(), variables.data());
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        why = std::string("it could not be run: ") + strerror(failed);
        return false;
    }
    output = ends[0];
    return true;
}

} // namespace

TraceEnd trace_loading(const std::string& linker, const std::string& program, const std::string& folder, long cpu_ms,
                       long wall_ms, const std::function<bool(std::string_view)>& line, int& status, std::string& why)
{
    pid_t child = 0;
    int output = -1;
    if (!spawn(linker, program, folder, child, output, why))
        return TraceEnd::failed;
    clockid_t cpu{};
    const bool timed = clock_getcpuclockid(child, &cpu) == 0;
    timespec began{};
    timespec zero{};
    clock_gettime(CLOCK_MONOTONIC, &began);

    TraceEnd end = TraceEnd::ended;
    std::string text;
    char buffer[16384];
    for (bool open = true; open && end == TraceEnd::ended;) {
        if (elapsed_ms(began, CLOCK_MONOTONIC) > wall_ms || (timed && elapsed_ms(zero, cpu) > cpu_ms)) {
            end = TraceEnd::slow;
            break;
        }
        pollfd ready{output, POLLIN, 0};
        if (poll(&ready, 1, poll_ms) <= 0)
            continue;
        const ssize_t got = read(output, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        open = got > 0;
        for (ssize_t i = 0; i < got && end == TraceEnd::ended; ++i) {
            if (buffer[i] == '\n') {
                if (text.size() > 2 * line_part)
                    text.erase(line_part, text.size() - 2 * line_part);
                if (!line(text))
                    end = TraceEnd::stopped;
                text.clear();
            } else {
                text += buffer[i];
                // Its middle dropped a part at a time: each byte is moved at most once.
                if (text.size() == 3 * line_part)
                    text.erase(line_part, line_part);
            }
        }
    }
    if (end == TraceEnd::ended && !text.empty() && !line(text))
        end = TraceEnd::stopped;
    if (end != TraceEnd::ended)
        kill(child, SIGKILL);
    close(output);
    int wait_status = 0;
    while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) { }
    status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -WTERMSIG(wait_status);
    return end;
}
