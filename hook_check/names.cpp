#include "names.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

Names::Read Names::read(const unsigned char* at, size_t room, std::string_view& name)
{
    // A place read before is answered from then, unless it ended nowhere in a smaller room.
    const auto known = scans_.find(at);
    if (known != scans_.end() && (known->second.length != std::string_view::npos || known->second.room >= room)) {
        if (known->second.length >= room)
            return Read::unended;
        name = {reinterpret_cast<const char*>(at), known->second.length};
        return Read::again;
    }
    const size_t scanned = std::min(room, left_);
    const void* end = memchr(at, 0, scanned);
    const size_t length = end ? static_cast<size_t>(static_cast<const unsigned char*>(end) - at) : std::string::npos;
    left_ -= end ? length + 1 : scanned;
    if (!end && scanned < room) {
        spent_ = true;
        return Read::spent;
    }
    scans_[at] = {length, room};
    if (!end)
        return Read::unended;
    name = {reinterpret_cast<const char*>(at), length};
    return Read::fresh;
}

bool Names::charge(size_t bytes)
{
    if (bytes > left_) {
        left_ = 0;
        spent_ = true;
        return false;
    }
    left_ -= bytes;
    return true;
}

std::string Names::spent_damage() const
{
    return "the names its tables point at take more than the " + std::to_string(budget_) +
           " bytes of its whole file, as they do only where entries point into long names over and over";
}

bool compare_name(const char* wanted, const unsigned char* at, size_t room, int& order)
{
    for (size_t i = 0;; ++i) {
        if (i == room)
            return false;
        const auto want = static_cast<unsigned char>(wanted[i]);
        if (want != at[i] || want == 0) {
            order = want == at[i] ? 0 : want < at[i] ? -1 : 1;
            return true;
        }
    }
}

namespace {

// `text` with its control bytes, and those from DEL up to `last`, written \xNN.
std::string escaped(std::string_view text, unsigned last)
{
    std::string line;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || (byte >= 0x7F && byte <= last)) {
            char code[8];
            snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned>(byte));
            line += code;
        } else {
            line += c;
        }
    }
    return line;
}

} // namespace

std::string shown(std::string_view name)
{
    constexpr size_t most = 200;
    std::string text = escaped(name.substr(0, most), 0xFF);
    if (name.size() > most)
        text += "... (" + std::to_string(name.size()) + " bytes)";
    return text;
}

std::string shown_path(std::string_view path)
{
    return escaped(path, 0x7F);
}

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text)
{
    std::string each;
    for (const char c : text)
        each += ascii_lower(c);
    return each;
}
