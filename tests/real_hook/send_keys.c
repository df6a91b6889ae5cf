/* Sends COUNT presses of F24 (a key that nothing acts on), the key's down and its up each in a SendInput
 * call of its own, and prints how long each call took: "<down|up> <ms>", a line a call. A low-level
 * keyboard hook's calls are made by SendInput, which returns once the hook's thread has answered. */
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

static int send_key(DWORD flags)
{
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
    if (argc != 2) {
        fputs("usage: send_keys COUNT\n", stderr);
        return 2;
    }
    for (int press = atoi(argv[1]); press > 0; --press)
        if (!send_key(0) || !send_key(KEYEVENTF_KEYUP))
            return 1;
    return 0;
}
