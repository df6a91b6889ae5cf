#include "last_error.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace hook_control_internal {

namespace {

thread_local char last_error[512];

// The most a path takes of an error text, and what stands for the start cut from a longer one.
constexpr size_t path_most = 160;
constexpr char cut_start[] = "...";

// The length of the valid UTF-8 character that `text` (`left` bytes) begins with; 0 where it begins
// with a byte that is not one (a stray continuation, an overlong form, a surrogate, past U+10FFFF).
size_t character_length(const unsigned char* text, size_t left)
{
    const unsigned lead = text[0];
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    if ((lead & 0xE0) == 0xC0)
        length = 2;
    else if ((lead & 0xF0) == 0xE0)
        length = 3;
    else if ((lead & 0xF8) == 0xF0)
        length = 4;
    if (length == 0 || length > left)
        return 0;
    unsigned long code = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (text[i] & 0x3Fu);
    }
    const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

// The bytes of `text` (`left` of them) that its next piece takes; `written` is what it takes once
// written: a valid character as it is, a byte that is not one as \xNN.
size_t next_piece(const char* text, size_t left, size_t& written)
{
    const size_t length = character_length(reinterpret_cast<const unsigned char*>(text), left);
    written = length ? length : 4;
    return length ? length : 1;
}

// Writes `text` (`length` bytes) to `out` as valid UTF-8, as much of it as `room` holds with a NUL
// after it, ending at a character's boundary.
void write_valid(char* out, size_t room, const char* text, size_t length)
{
    size_t at = 0;
    for (size_t read = 0; read < length;) {
        size_t written = 0;
        const size_t taken = next_piece(text + read, length - read, written);
        if (at + written >= room)
            break;
        if (written == taken)
            memcpy(out + at, text + read, taken);
        else
            snprintf(out + at, room - at, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(text[read])));
        at += written;
        read += taken;
    }
    out[at] = '\0';
}

} // namespace

bool is_utf8(const char* text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t left = strlen(text), length = 0; left > 0; bytes += length, left -= length)
        if ((length = character_length(bytes, left)) == 0)
            return false;
    return true;
}

hook_host_result failed(SystemError why, const char* format, ...)
{
    char text[2 * sizeof last_error]; // more than is kept: what is cut is cut below, at a boundary
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above; clang 14 loses it here.
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (why != no_reason) {
        char reason[256];
        describe(why, reason, sizeof reason);
        const size_t length = strlen(text);
        snprintf(text + length, sizeof text - length, ": %s", reason);
    }
    write_valid(last_error, sizeof last_error, text, strlen(text));
    leave_system_error(why);
    return HOOK_HOST_FAILED;
}

PathText path_text(const char* path)
{
    PathText shown{};
    const size_t length = strlen(path);
    size_t size = 0; // as written
    for (size_t read = 0, written = 0; read < length; size += written)
        read += next_piece(path + read, length - read, written);
    if (size <= path_most) {
        write_valid(shown.text, sizeof shown.text, path, length);
        return shown;
    }
    // The start is cut, piece by piece, until the rest fits after "...".
    size_t start = 0;
    while (size > path_most - strlen(cut_start)) {
        size_t written = 0;
        start += next_piece(path + start, length - start, written);
        size -= written;
    }
    memcpy(shown.text, cut_start, strlen(cut_start));
    write_valid(shown.text + strlen(cut_start), sizeof shown.text - strlen(cut_start), path + start, length - start);
    return shown;
}

} // namespace hook_control_internal

extern "C" const char* hook_host_last_error(void)
{
    return hook_control_internal::last_error;
}
