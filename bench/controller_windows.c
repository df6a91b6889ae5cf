/* Times a hook host as a Windows controller sees it. For each run: start the program with a pipe for
 * its standard output, read its report line, wait a random part of a cycle so that the close lands at
 * any phase of the host's poll, post WM_CLOSE to its main thread and wait for the process to end.
 * Prints a line a run: "<start-up ms> <close latency ms> <exit status>". */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static double ms_between(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return (double)(to.QuadPart - from.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

static int fail(const char* what)
{
    fprintf(stderr, "bench_controller: %s (error %lu)\n", what, GetLastError());
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fputs("usage: bench_controller RUNS \"COMMAND LINE\"\n", stderr);
        return 2;
    }
    const int runs = atoi(argv[1]);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    srand(GetTickCount());

    for (int run = 0; run < runs; ++run) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
        HANDLE output, child_output;
        if (!CreatePipe(&output, &child_output, &inherited, 0))
            return fail("cannot make a pipe");
        SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {sizeof startup};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = child_output;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process;
        char command[1024];
        snprintf(command, sizeof command, "%s", argv[2]);

        LARGE_INTEGER started, reported, posted, ended;
        QueryPerformanceCounter(&started);
        if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
            return fail("cannot start the program");
        CloseHandle(child_output);
        char byte = 0;
        DWORD read;
        while (byte != '\n')
            if (!ReadFile(output, &byte, 1, &read, NULL) || read == 0)
                return fail("no report line");
        QueryPerformanceCounter(&reported);

        Sleep(200 + rand() % 100);
        QueryPerformanceCounter(&posted);
        if (!PostThreadMessageW(process.dwThreadId, WM_CLOSE, 0, 0))
            return fail("cannot post WM_CLOSE");
        WaitForSingleObject(process.hProcess, INFINITE);
        QueryPerformanceCounter(&ended);

        DWORD status;
        GetExitCodeProcess(process.hProcess, &status);
        printf("%.3f %.3f %lu\n", ms_between(started, reported, frequency), ms_between(posted, ended, frequency),
               status);
        fflush(stdout);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        CloseHandle(output);
    }
    return 0;
}
