// What hook_check reads of the files it checks: one implementation of Platform per platform
// (image_windows.cpp, image_linux.cpp) over a reader of that platform's image format written without
// any system service (pe_image.h, elf_image.h), and a fake in the unit tests. It only reads files: no
// library's code runs.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <string_view>
#include <vector>

enum class Machine { x86_64, x86, other };

// The library's one entry, as the host binds it.
constexpr const char entry_name[] = "SetTeskShellHook";
// No hint: the importer gives none, or does not import the entry.
constexpr uint32_t no_hint = UINT32_MAX;

// What the loader's own lookup of the entry in a library finds: not named at all; found, and bound to
// the library's code; found, but not bound (`entry_why` says why: it is forwarded, or lies outside
// the image's sections); or missed though the image names it, a damage said in `damage`.
enum class Entry { absent, bound, unbound, missed };

// What a program or library image says to the loader.
struct Image {
    Machine machine = Machine::other;
    std::string machine_name;         // as the image names it, for display
    std::vector<std::string> exports; // where the entry is not found: the names it exports, each once
    Entry entry = Entry::absent;
    std::string entry_why;
    uint32_t entry_hint = no_hint;    // where it imports the entry by name (PE): the import's hint
    std::vector<std::string> imports; // the libraries the loader must find for it, as it asks for them
    // A function it binds from one of those when it is loaded (PE): its library, an index into
    // `imports`; its name, kept in `function_names` once for each place of the file that holds one,
    // with the importer's hint; or, where it has no name, its ordinal.
    struct Function {
        static constexpr uint32_t by_ordinal = UINT32_MAX;
        uint32_t library;
        uint32_t name_at;
        uint32_t name_length; // by_ordinal where it is imported by its ordinal
        uint32_t hint_or_ordinal;
    };
    std::vector<Function> functions;
    std::string function_names;
    std::string_view name_of(const Function& function) const
    {
        return std::string_view(function_names).substr(function.name_at, function.name_length);
    }
    // Whether the loader looks for those in the image's own folder: on Windows always (the program's
    // folder, the host's), on Linux only where its RUNPATH or RPATH names $ORIGIN.
    bool imports_beside = true;
    // What else in the file the loader refuses, each said whole ("its import directory ... lies
    // outside the file's data").
    std::vector<std::string> damage;
};

// A file read: an image; not there; no image at all; an image whose headers the loader refuses, so
// that nothing more of it can be read; or a file that could not be read whole (it changed meanwhile).
enum class ImageRead { ok, missing, not_an_image, damaged, unreadable };

// A hook library that a host binds, by its file name, and the machine of the hosts that bind it.
struct HookLibrary {
    const char* name;
    Machine machine;
    const char* definition; // the .def that exports its entry as the host binds it
};

class Platform {
public:
    Platform() = default;
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;
    virtual ~Platform() = default;

    // The file name of the host that a folder names, and the separator of a path's parts.
    virtual const char* host_name() const = 0;
    virtual char separator() const = 0;
    // The hook libraries that hosts of this platform bind, one an architecture.
    virtual std::vector<HookLibrary> hook_libraries() const = 0;

    // Whether `path` (UTF-8) is a file (not a folder).
    virtual bool exists(const std::string& path) const = 0;
    // `path` read as a program or library image, the entry looked up in it as the loader looks it up
    // for an importer whose import carries `entry_hint`; where it is not one, is damaged, or cannot be
    // read, `why` says how.
    virtual ImageRead read(const std::string& path, uint32_t entry_hint, Image& image, std::string& why) const = 0;
    // Whether the loader finds the library `name` among the system's own for a program of `machine`,
    // without any beside the host. Throws std::runtime_error where it cannot tell (no system folder
    // found): nothing is looked for elsewhere in its place.
    virtual bool system_library(const std::string& name, Machine machine) const = 0;
};

// This platform's.
const Platform& this_platform();

// The folder hook_check runs from; `path` made absolute; whether `path` is a folder. Paths are UTF-8.
std::string program_folder();
std::string full_path(const std::string& path);
bool is_folder(const std::string& path);
// Writes `line` (UTF-8) and a line's end to `stream`, in a Windows console as its characters.
void write_line(FILE* stream, const std::string& line);
#ifdef _WIN32
// A UTF-16 text of the system's as UTF-8.
std::string utf8(const wchar_t* text);
#endif
