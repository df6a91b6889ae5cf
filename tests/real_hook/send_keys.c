/* Sends COUNT presses of F24 (a key that nothing acts on), the key's down and its up each in a SendInput
 * call of its own, and prints how long each call took: "<down|up> <ms>", a line a call. A low-level
 * keyboard hook's calls are made by SendInput, which returns once the hook's thread has answered.
 * With MAX_GAP_MS, each call comes after a random pause of up to that long, so that the calls land at
 * any phase of the hook thread's cycle; without it they follow each other at once. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

static double now_ms(void)
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static int send_key(DWORD flags, int max_gap_ms)
{
    if (max_gap_ms > 0)
        Sleep((DWORD)(rand() % (max_gap_ms + 1)));
    INPUT input = {0};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = VK_F24;
    input.ki.dwFlags = flags;
    const double started = now_ms();
    if (SendInput(1, &input, sizeof input) != 1) {
        fprintf(stderr, "send_keys: SendInput failed (error %lu)\n", GetLastError());
        return 0;
    }
    printf("%s %.3f\n", flags & KEYEVENTF_KEYUP ? "up" : "down", now_ms() - started);
    fflush(stdout);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        fputs("usage: send_keys COUNT [MAX_GAP_MS]\n", stderr);
        return 2;
    }
    const int max_gap_ms = argc == 3 ? atoi(argv[2]) : 0;
    srand(GetTickCount());
    for (int press = atoi(argv[1]); press > 0; --press)
        if (!send_key(0, max_gap_ms) || !send_key(KEYEVENTF_KEYUP, max_gap_ms))
            return 1;
    return 0;
}
