/* A controller as an application writes one, in C, against the installed hook_control: it starts the
 * host at PATH, reads its report line, closes it with STATUS and reads the status back. Where the host
 * does not report, it says how the host ended. */
#include <stdio.h>
#include <stdlib.h>

#include "hook_control.h"

int main(int argc, char** argv)
{
    hook_host* host;
    int32_t reported;
    int32_t status;
    if (argc != 3) {
        fputs("usage: controller PATH STATUS\n", stderr);
        return 2;
    }
    if (hook_host_start(argv[1], 42, 0, &host) != HOOK_HOST_OK) {
        fprintf(stderr, "controller: %s\n", hook_host_last_error());
        return 1;
    }
    if (hook_host_wait_report(host, 10000, &reported) != HOOK_HOST_OK) {
        if (hook_host_wait(host, 10000, &status) == HOOK_HOST_OK)
            fprintf(stderr, "controller: the host ended before its report, with status %ld: %s\n", (long)status,
                    hook_host_status_text(status));
        else
            fprintf(stderr, "controller: no report line: %s\n", hook_host_last_error());
        hook_host_release(host);
        return 1;
    }
    if (hook_host_close(host, (uint32_t)strtoul(argv[2], NULL, 0)) != HOOK_HOST_OK ||
        hook_host_wait(host, HOOK_HOST_NO_LIMIT, &status) != HOOK_HOST_OK) {
        fprintf(stderr, "controller: %s\n", hook_host_last_error());
        hook_host_release(host);
        return 1;
    }
    printf("reported %d, ended with %d\n", (int)reported, (int)status);
    hook_host_release(host);
    return 0;
}
