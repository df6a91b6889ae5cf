/* The benchmark's platform on Windows; the plain start is CreateProcessA, inheriting the pipe's
 * writing end. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "bench_platform.h"

struct plain_host {
    PROCESS_INFORMATION process;
    HANDLE output;
};

double now_ms(void)
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

void pause_ms(unsigned milliseconds)
{
    Sleep(milliseconds);
}

plain_host* plain_start(const char* path)
{
    plain_host* host = calloc(1, sizeof *host);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE child_output;
    char command[1024];
    snprintf(command, sizeof command, "\"%s\" 1", path);
    if (!host || !CreatePipe(&host->output, &child_output, &inherited, 0)) {
        fprintf(stderr, "plain_start: cannot make a pipe (error %lu)\n", GetLastError());
        exit(1);
    }
    SetHandleInformation(host->output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = child_output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const BOOL started = CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &host->process);
    CloseHandle(child_output);
    if (!started) {
        fprintf(stderr, "plain_start: cannot start %s (error %lu)\n", path, GetLastError());
        CloseHandle(host->output);
        free(host);
        return NULL;
    }
    return host;
}

int plain_read_line(plain_host* host)
{
    char byte = 0;
    DWORD read;
    while (byte != '\n')
        if (!ReadFile(host->output, &byte, 1, &read, NULL) || read == 0)
            return 0;
    return 1;
}

uint32_t plain_main_thread(const plain_host* host)
{
    return host->process.dwThreadId;
}

int32_t plain_wait(plain_host* host)
{
    DWORD status = 0;
    WaitForSingleObject(host->process.hProcess, INFINITE);
    GetExitCodeProcess(host->process.hProcess, &status);
    CloseHandle(host->process.hThread);
    CloseHandle(host->process.hProcess);
    CloseHandle(host->output);
    free(host);
    return (int32_t)status;
}

void plain_kill(plain_host* host)
{
    TerminateProcess(host->process.hProcess, 1);
    plain_wait(host);
}
