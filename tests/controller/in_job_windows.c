/* Runs a program inside a job object, as a controller that was itself started inside a job (by a
 * service manager, a debugger, a desktop's launcher): in_job PROGRAM [ARGUMENT...]. The program gets
 * this one's standard handles; in_job ends with its status. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    char command[8192] = "";
    for (int i = 1; i < argc; ++i) {
        if (strlen(command) + strlen(argv[i]) + 4 > sizeof command)
            return 2;
        strcat(command, "\"");
        strcat(command, argv[i]);
        strcat(command, "\" ");
    }
    if (argc < 2) {
        fputs("usage: in_job PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    /* The job ends all in it with this process, as such jobs do. */
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    const HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        fprintf(stderr, "in_job: cannot make or enter a job (error %lu)\n", GetLastError());
        return 1;
    }
    /* The standard handles are handed over by name: a console program started without them from one
     * that has no console gets a console of its own, and under Wine then at times (once in many runs,
     * on a prefix whose server has just started) that console's handles in place of the inherited
     * ones, so that its output went nowhere. */
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, DETACHED_PROCESS, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "in_job: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    return (int)status;
}
