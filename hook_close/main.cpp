// hook_close: ends a running hook host by posting WM_CLOSE, with the status it is to exit with, to
// its main thread; or posts any other message there.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "close_message.h"
#include "hook_control.h"

namespace {

const char usage[] = "usage: hook_close PID [STATUS]\n"
                     "       hook_close --post KIND WPARAM LPARAM PID\n"
                     "Posts WM_CLOSE with wParam STATUS (default 0), or message KIND, to the main\n"
                     "thread of hook host PID. Numbers are decimal or 0x hex; WPARAM, LPARAM and\n"
                     "STATUS may be negative (two's complement, 64 bits). Exits 0 once the message\n"
                     "is queued; 1 when there is no such process, it is not a hook host, its queue\n"
                     "is full or the post is refused (said on standard error); 2 on wrong arguments.\n";

// Reads all of `text` as a decimal or 0x-hex number from `min` to `max`; where `negative_allowed`,
// a minus sign wraps the value to 64 bits, so that a status of -1 reads as the platform's -1.
bool parse(const char* what, const char* text, bool negative_allowed, uint64_t min, uint64_t max, uint64_t& value)
{
    const bool negative = negative_allowed && *text == '-';
    const char* digits = negative ? text + 1 : text;
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (hex)
        digits += 2;
    char* end = nullptr;
    errno = 0;
    // strtoull would take white space and a sign of its own: the first character must be a digit.
    const bool digit_first =
        hex ? isxdigit(static_cast<unsigned char>(*digits)) : isdigit(static_cast<unsigned char>(*digits));
    const uint64_t magnitude = digit_first ? strtoull(digits, &end, hex ? 16 : 10) : 0;
    if (digit_first && *end == '\0' && errno != ERANGE && magnitude >= min && magnitude <= max &&
        !(negative && magnitude > (uint64_t{1} << 63))) {
        value = negative ? 0 - magnitude : magnitude;
        return true;
    }
    // The range as read above: a minus sign reaches down to -2^63.
    const uint64_t lowest = negative_allowed ? uint64_t{1} << 63 : min;
    fprintf(stderr, "hook_close: %s '%s' is not a number from %s%llu to %llu\n", what, text,
            negative_allowed ? "-" : "", static_cast<unsigned long long>(lowest), static_cast<unsigned long long>(max));
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(usage, stdout);
        return 0;
    }

    uint64_t kind = wm_close;
    uint64_t wparam = 0;
    uint64_t lparam = 0;
    uint64_t pid = 0;
    bool ok;
    if (argc == 6 && strcmp(argv[1], "--post") == 0) {
        ok = parse("KIND", argv[2], false, 0, UINT32_MAX, kind) &&
             parse("WPARAM", argv[3], true, 0, UINT64_MAX, wparam) &&
             parse("LPARAM", argv[4], true, 0, UINT64_MAX, lparam) && parse("PID", argv[5], false, 1, UINT32_MAX, pid);
    } else if ((argc == 2 || argc == 3) && argv[1][0] != '-') {
        ok = parse("PID", argv[1], false, 1, UINT32_MAX, pid) &&
             (argc == 2 || parse("STATUS", argv[2], true, 0, UINT64_MAX, wparam));
    } else {
        fputs(usage, stderr);
        return 2;
    }
    if (!ok)
        return 2;

    switch (hook_host_post(static_cast<uint32_t>(pid), static_cast<uint32_t>(kind), wparam, lparam)) {
    case HOOK_HOST_OK:
        return 0;
    case HOOK_HOST_GONE:
        fprintf(stderr, "hook_close: cannot post to process %u: no such process\n", static_cast<unsigned>(pid));
        return 1;
    default:
        fprintf(stderr, "hook_close: %s\n", hook_host_last_error());
        return 1;
    }
}
