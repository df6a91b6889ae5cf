// The names that an image's tables point at, read within bounds, and shown safely. Hazards it answers:
// - Many entries may point at one long name, or into it at every offset: a place is read once however
//   many entries point at it, and every byte scanned counts against a budget of the file's size, so
//   that an image's names cost no more than its file.
// - A name is the file's bytes, not text: shown, its control and non-ASCII bytes are escaped (\x1b),
//   so that none reaches a terminal as a command, and a long one is cut.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>
#include <unordered_map>

class Names {
public:
    explicit Names(size_t budget)
        : budget_(budget)
        , left_(budget)
    {
    }

    // The name at `at` read: the first time from that place, or again (the two that give a name, and
    // order first); not ended within its room; or not read, the budget being spent.
    enum class Read { fresh, again, unended, spent };
    // The zero-terminated name at `at`, which must end within `room` bytes.
    Read read(const unsigned char* at, size_t room, std::string_view& name);
    // `bytes` more of names copied, for a name read again or one kept for many entries: counted against
    // the budget; false, and the budget spent, where they take more than is left.
    bool charge(size_t bytes);
    // Whether a read or a charge found the budget spent: what that leaves unread is damage, said once.
    bool spent() const
    {
        return spent_;
    }
    std::string spent_damage() const;

private:
    struct Scan {
        size_t length; // up to its zero, or npos where none was found in `room`
        size_t room;
    };
    std::unordered_map<const unsigned char*, Scan> scans_;
    size_t budget_;
    size_t left_;
    bool spent_ = false;
};

// How the name at `at` orders against `wanted` (negative where `wanted` comes first), as the loaders'
// strcmp orders them, reading no more of it than `wanted` takes: false where it runs past `room` first.
bool compare_name(const char* wanted, const unsigned char* at, size_t room, int& order);

// `name` as a line shows it: control and non-ASCII bytes written \xNN, cut past 200 bytes with its
// length said.
std::string shown(std::string_view name);
// A path (UTF-8) as a line shows it: whole, its characters as they are, but its control bytes written
// \xNN, so that a newline in a folder's name cannot split a line in two.
std::string shown_path(std::string_view path);

// `c`, or `text`, with the ASCII letters in lowercase: how Windows' loader compares library names.
char ascii_lower(char c);
std::string lowered(std::string_view text);
