/* A controller that uses hook_control.dll as an FFI does: it loads the DLL by name and finds each
 * call by its plain name, then starts the host at PATH, reads its report line, posts it a message that
 * it drops, closes it with STATUS and reads the status back. It is linked against nothing of ours. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "hook_control.h"

typedef hook_host_result(HOOK_CONTROL_CALL* start_call)(const char*, int32_t, uint32_t, hook_host**);
typedef hook_host_result(HOOK_CONTROL_CALL* wait_call)(hook_host*, uint32_t, int32_t*);
typedef hook_host_result(HOOK_CONTROL_CALL* close_call)(hook_host*, uint32_t);
typedef uint32_t(HOOK_CONTROL_CALL* process_id_call)(const hook_host*);
typedef void(HOOK_CONTROL_CALL* release_call)(hook_host*);
typedef hook_host_result(HOOK_CONTROL_CALL* post_call)(uint32_t, uint32_t, uint64_t, uint64_t);
typedef const char*(HOOK_CONTROL_CALL* text_call)(void);
typedef uint32_t(HOOK_CONTROL_CALL* version_call)(void);

static HMODULE library;

static FARPROC call(const char* name)
{
    FARPROC found = GetProcAddress(library, name);
    if (!found) {
        fprintf(stderr, "load_by_name: no %s in hook_control.dll (error %lu)\n", name, GetLastError());
        exit(1);
    }
    return found;
}

int main(int argc, char** argv)
{
    hook_host* host;
    int32_t reported;
    int32_t status;
    if (argc != 3) {
        fputs("usage: load_by_name PATH STATUS\n", stderr);
        return 2;
    }
    library = LoadLibraryW(L"hook_control.dll");
    if (!library) {
        fprintf(stderr, "load_by_name: cannot load hook_control.dll (error %lu)\n", GetLastError());
        return 1;
    }
    const start_call start = (start_call)call("hook_host_start");
    const wait_call wait_report = (wait_call)call("hook_host_wait_report");
    const close_call close = (close_call)call("hook_host_close");
    const wait_call wait = (wait_call)call("hook_host_wait");
    const process_id_call process_id = (process_id_call)call("hook_host_process_id");
    const release_call release = (release_call)call("hook_host_release");
    const post_call post = (post_call)call("hook_host_post");
    const text_call last_error = (text_call)call("hook_host_last_error");
    const version_call version = (version_call)call("hook_control_version");

    printf("version 0x%06x\n", (unsigned)version());
    if (start(argv[1], 42, 0, &host) != HOOK_HOST_OK) {
        fprintf(stderr, "load_by_name: %s\n", last_error());
        return 1;
    }
    /* A message that the host drops, posted by its process id, before the close. */
    if (wait_report(host, 10000, &reported) == HOOK_HOST_OK && post(process_id(host), 0, 0, 0) == HOOK_HOST_OK &&
        close(host, (uint32_t)strtoul(argv[2], NULL, 0)) == HOOK_HOST_OK &&
        wait(host, HOOK_HOST_NO_LIMIT, &status) == HOOK_HOST_OK)
        printf("reported %d, ended with %d\n", (int)reported, (int)status);
    release(host);
    return 0;
}
