/* What the benchmark's controllers need of their platform: a clock, a pause, and a plain start of a
 * host, as a controller makes it without hook_control (the program with the argument 1, its standard
 * output on an inherited pipe, nothing else arranged), the baseline. One implementation per platform. */
#ifndef BENCH_PLATFORM_H
#define BENCH_PLATFORM_H

#include <stdint.h>

typedef struct plain_host plain_host;

/* A monotonic clock, in milliseconds. */
double now_ms(void);

/* Suspends the calling thread. */
void pause_ms(unsigned milliseconds);

/* Starts the program at `path`; NULL where it cannot, with the reason on standard error. */
plain_host* plain_start(const char* path);

/* Reads the host's output up to the end of its first line; 0 where the output ended first. */
int plain_read_line(plain_host* host);

/* The thread that a close is posted to. */
uint32_t plain_main_thread(const plain_host* host);

/* Waits for the host to end and frees what it holds; gives its exit status. */
int32_t plain_wait(plain_host* host);

/* Ends the host by force, waits for its end and frees what it holds. */
void plain_kill(plain_host* host);

#endif
