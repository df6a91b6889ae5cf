/* The benchmark's platform on this machine; the plain start is posix_spawn, the pipe's writing end
 * as standard output. */
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bench_platform.h"

extern char** environ;

struct plain_host {
    pid_t pid;
    int output;
};

double now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

void pause_ms(unsigned milliseconds)
{
    const struct timespec pause = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

plain_host* plain_start(const char* path)
{
    plain_host* host = calloc(1, sizeof *host);
    int ends[2];
    if (!host || pipe(ends) != 0) {
        perror("plain_start: cannot make a pipe");
        exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    posix_spawn_file_actions_addclose(&actions, ends[1]);
    char* const argv[] = {(char*)path, "1", NULL};
    const int error = posix_spawn(&host->pid, path, &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    host->output = ends[0];
    if (error != 0) {
        fprintf(stderr, "plain_start: cannot start %s: %s\n", path, strerror(error));
        close(host->output);
        free(host);
        return NULL;
    }
    return host;
}

int plain_read_line(plain_host* host)
{
    char byte = 0;
    while (byte != '\n')
        if (read(host->output, &byte, 1) != 1)
            return 0;
    return 1;
}

uint32_t plain_main_thread(const plain_host* host)
{
    return (uint32_t)host->pid;
}

int32_t plain_wait(plain_host* host)
{
    int status = 0;
    waitpid(host->pid, &status, 0);
    close(host->output);
    free(host);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void plain_kill(plain_host* host)
{
    kill(host->pid, SIGKILL);
    plain_wait(host);
}
