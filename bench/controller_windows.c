/* Times a hook host as a Windows controller sees it. For each run: start the program with a pipe for
 * its standard output, read its report line, wait a random part of a cycle so that the close lands at
 * any phase of the host's poll, post WM_CLOSE to its main thread and wait for the process to end.
 * Prints a line a run: "<start-up ms> <close latency ms> <exit status>". */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "bench_platform.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        fputs("usage: bench_controller RUNS PATH\n", stderr);
        return 2;
    }
    const int runs = atoi(argv[1]);
    srand(GetTickCount());

    for (int run = 0; run < runs; ++run) {
        const double started = now_ms();
        plain_host* host = plain_start(argv[2]);
        if (!host || !plain_read_line(host)) {
            fputs("bench_controller: no report line\n", stderr);
            return 1;
        }
        const double reported = now_ms();

        pause_ms(200 + (unsigned)(rand() % 100));
        const double posted = now_ms();
        if (!PostThreadMessageW(plain_main_thread(host), WM_CLOSE, 0, 0)) {
            fprintf(stderr, "bench_controller: cannot post WM_CLOSE (error %lu)\n", GetLastError());
            return 1;
        }
        const int32_t status = plain_wait(host);
        const double ended = now_ms();
        printf("%.3f %.3f %ld\n", reported - started, ended - posted, (long)status);
        fflush(stdout);
    }
    return 0;
}
