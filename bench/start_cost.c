/* What hook_control adds to a host's start: the time from the start to the report line read, through
 * hook_control (job object, handle list, pipe) and through a plain start of the same host, taken in
 * turn. Prints a line a run: "<plain ms> <hook_control ms>". Given a size in MiB, the controller first
 * touches that much memory of its own, as a large controller has it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench_platform.h"
#include "hook_control.h"

static double plain(const char* path)
{
    const double started = now_ms();
    plain_host* host = plain_start(path);
    if (!host || !plain_read_line(host)) {
        fputs("start_cost: no report line from a plain start\n", stderr);
        exit(1);
    }
    const double reported = now_ms();
    plain_kill(host);
    return reported - started;
}

static double through_hook_control(const char* path)
{
    hook_host* host;
    int32_t number;
    const double started = now_ms();
    if (hook_host_start(path, 1, 0, &host) != HOOK_HOST_OK ||
        hook_host_wait_report(host, 10000, &number) != HOOK_HOST_OK) {
        fprintf(stderr, "start_cost: no report line through hook_control: %s\n", hook_host_last_error());
        exit(1);
    }
    const double reported = now_ms();
    hook_host_release(host);
    return reported - started;
}

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        fputs("usage: start_cost RUNS PATH [MIB]\n", stderr);
        return 2;
    }
    const size_t touched = argc == 4 ? (size_t)atoi(argv[3]) << 20 : 0;
    char* memory = touched ? malloc(touched) : NULL;
    if (touched && !memory) {
        fputs("start_cost: cannot allocate the memory to touch\n", stderr);
        return 1;
    }
    if (memory)
        memset(memory, 1, touched);
    for (int run = 0; run < atoi(argv[1]); ++run) {
        /* Each first in every other run, so that neither gains from going second. */
        double plain_ms, library_ms;
        if (run % 2) {
            plain_ms = plain(argv[2]);
            library_ms = through_hook_control(argv[2]);
        } else {
            library_ms = through_hook_control(argv[2]);
            plain_ms = plain(argv[2]);
        }
        printf("%.3f %.3f\n", plain_ms, library_ms);
        fflush(stdout);
        /* What ending a host leaves for the system to do is done before the next start. */
        pause_ms(100);
    }
    free(memory);
    return 0;
}
