/* Programs that a controller may start as if they were hosts, chosen by the one number given:
 *   1  closes its standard output without a line and runs on for 20 s: not a host;
 *   2  reports its own error mode in place of the number ("Adding hook for MODE") and runs on for
 *      20 s, as a host waits: the error mode it was started with;
 *   3  closes its standard output without a line and ends 200 ms later with 3, as a host that a
 *      loader or a crash ends. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    switch (argc == 2 ? atoi(argv[1]) : 0) {
    case 1:
    case 3:
        fclose(stdout);
        CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
        if (atoi(argv[1]) == 3) {
            Sleep(200);
            return 3;
        }
        break;
    case 2:
        printf("Adding hook for %u\n", GetErrorMode());
        fflush(stdout);
        break;
    default:
        return 2;
    }
    Sleep(20000);
    return 0;
}
