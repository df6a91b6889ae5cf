// The system's text for an error code on Windows, as failed() adds it to a failure.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "last_error.h"

namespace hook_control_internal {

namespace {

// The system's text for `error` with its inserts filled, as UTF-8 cut to fit where a character ends,
// without its line end. The texts with an insert are those of a program that cannot be run (193:
// "%1 is not a valid Win32 application.", under Wine "Bad EXE format for %1."): it reads "the program".
// The text is formatted into a buffer of ours: the ARM64 Wine's LocalFree returns with x18, the
// register that holds the thread's TEB, overwritten, and the next thread-local read faults.
void system_text(DWORD error, char* reason, int size)
{
    reason[0] = '\0';
    wchar_t message[2048]; // far more than any system text; a longer one gives none, and the number stays
    if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, message,
                        sizeof message / sizeof message[0], nullptr))
        return;
    static const wchar_t insert[] = L"the program";
    wchar_t text[256];
    int length = 0;
    for (const wchar_t* at = message; *at && length + static_cast<int>(wcslen(insert)) < 256; ++at) {
        if (at[0] != L'%' || at[1] < L'1' || at[1] > L'9') {
            text[length++] = *at;
            continue;
        }
        // %1 to %99, with a printf-like form between '!'s where it has one.
        for (++at; at[1] >= L'0' && at[1] <= L'9'; ++at) { }
        if (at[1] == L'!' && wcschr(at + 2, L'!'))
            at = wcschr(at + 2, L'!');
        wcscpy(text + length, insert);
        length += static_cast<int>(wcslen(insert));
    }
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' '))
        --length;
    // Shortened until it fits, never between the halves of a surrogate pair.
    int written = 0;
    while (length > 0 &&
           (written = WideCharToMultiByte(CP_UTF8, 0, text, length, reason, size - 1, nullptr, nullptr)) == 0)
        length -= length > 1 && IS_HIGH_SURROGATE(text[length - 2]) ? 2 : 1;
    reason[written] = '\0';
}

} // namespace

void describe(SystemError error, char* text, size_t size)
{
    char reason[256 - sizeof " (error 4294967295)"]; // the number always fits after it
    system_text(error, reason, sizeof reason);
    snprintf(text, size, "%s (error %lu)", reason, error);
}

void leave_system_error(SystemError error)
{
    SetLastError(error);
}

} // namespace hook_control_internal
