// What hook_check reads of the files it checks: one implementation of Platform per platform
// (image_windows.cpp, image_linux.cpp) over a reader of that platform's image format written without
// any system service (pe_image.h, elf_image.h), and a fake in the unit tests. It only reads files: no
// library's code runs.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class Machine { x86_64, x86, arm64, other };

// The library's one entry, as the host binds it.
constexpr const char entry_name[] = "SetTeskShellHook";
// No hint: the importer gives none, or does not import the entry.
constexpr uint32_t no_hint = UINT32_MAX;

// What the loader's own lookup of the entry in a library finds: not named at all; found, and bound to
// the library's code; found, but not bound (`entry_why` says why: it is forwarded, or lies outside
// the image's sections); missed though the image names it, a damage said in `damage`; or found and
// bound, but to data, not code, which the host's call would crash on.
enum class Entry { absent, bound, unbound, missed, data };

// A function or datum that a PE image takes from a library loaded with it, as the loader binds it.
struct Import {
    std::string name;
    // PE: the importer's hint, where the loader looks the name up first; or, where `name` is empty, the
    // ordinal it is imported by.
    uint32_t hint = no_hint;
    uint32_t ordinal = 0;
};

// What the loader finds where it binds an import from a library that exports it by a table of its
// own (PE): the library's own code; a forwarder, which it follows to another library (`forwarder`:
// "NTDLL.RtlAllocateHeap", "helper.#3"); no such export; an export it cannot bind (`why` says why); or
// damage to the table that keeps it from looking (`why` says what).
struct Found {
    enum class Kind { code, forwarded, absent, unbound, hidden } kind = Kind::absent;
    // As the table keeps it, for as long as the table lasts: a lookup copies none of it, however long.
    std::string_view forwarder;
    std::string why;
};

// What a PE image binds from the libraries it imports when it is loaded, function by function, kept in
// a form of its own: a 2 MB image may name half a million, too many to keep as an Import each. Each is
// given as an Import when asked for, its library by its place in the image's `imports`, so that a
// library's name, however long, is kept and given once.
class Bindings {
public:
    virtual ~Bindings() = default;
    virtual size_t size() const = 0;
    virtual Import at(size_t index, size_t& library) const = 0;
};

// A library's table of exports, as its loader looks an import up in it.
class Exports {
public:
    virtual ~Exports() = default;
    virtual Found find(const Import& import) const = 0;
};

// A name that an image defines for others, with the version it is defined in (ELF: DT_VERDEF's,
// through DT_VERSYM; empty where it has none, or the image's base version).
struct Symbol {
    std::string name;
    std::string version;
    // Whether a reference that asks for no version never binds it (ELF: hidden in DT_VERSYM, and not
    // the first version the image defines, which the loader takes for such a reference all the same).
    bool hidden = false;
    // Whether it is data (ELF: STT_OBJECT, STT_TLS, STT_COMMON), not code.
    bool data = false;
};

// What a program or library image says to the loader.
struct Image {
    // The scalars first, then the rest, so that the struct packs them.
    Machine machine = Machine::other;
    Entry entry = Entry::absent;
    uint32_t entry_hint = no_hint;    // where it imports the entry by name (PE): the import's hint
    std::string machine_name;         // as the image names it, for display
    std::vector<std::string> exports; // where the entry is not found: the names it exports, each once
    std::string entry_why;
    std::vector<std::string> imports; // the libraries the loader must find for it, as it asks for them
    // ELF: the dynamic linker it names (PT_INTERP), which the system runs to load it as a program.
    std::string interpreter;
    // PE: its imports, function by function, and its export table, which the bindings of the images
    // that import it are looked up in.
    std::shared_ptr<const Bindings> bindings;
    std::shared_ptr<const Exports> exports_table;
    // What it defines for others (ELF: its dynamic symbols that the loader binds), each with its version.
    std::vector<Symbol> symbols;
    // What of it hook_check does not model, said whole (PE: an ARM64EC or ARM64X image, whose code of
    // two machines a loader on Windows on ARM picks from); empty where there is none.
    std::string unmodelled;
    // Why the loader, which would run it as a program, refuses to load it as a library (ELF: it is a
    // program, position-independent or not; its OS ABI is another system's); empty where it loads it.
    std::string library_refusal;
    // What else in the file the loader refuses, each said whole ("its import directory ... lies
    // outside the file's data").
    std::vector<std::string> damage;
};

// A file read: an image; not there; no image at all; an image whose headers the loader refuses, so
// that nothing more of it can be read; or a file that could not be read whole (it changed meanwhile).
enum class ImageRead { ok, missing, not_an_image, damaged, unreadable };

// One thing that the system's loader reports of a start, asked without running it (Platform::ask_loader):
// - loaded: it loads the library `name` from the file `file` (none for one the kernel provides);
// - needed: the file `file` needs the library `name`, and it looks for it now;
// - missing: it finds no library `name` it can load;
// - version: the library file `library` lacks the version `name` that the file `file` requires;
// - symbol: the file `file` binds the symbol `name` (of the version `library`, where it asks for
//   one), and no library loaded defines it;
// - refused: it refuses the start, and says `text`;
// - unjudged: it could not be asked, or was stopped before its verdict; `text` says why.
struct LoaderReport {
    enum class Kind { loaded, needed, missing, version, symbol, refused, unjudged } kind = Kind::refused;
    std::string name;
    std::string file;
    std::string library;
    std::string text;
};

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
    // What the file at `path` is, however it is spelled, so that each file is read once: two paths of
    // one file give the same text, a path of none an empty one. Linux: its device and inode; Windows:
    // its full path without case. One call to the system.
    virtual std::string identity(const std::string& path) const = 0;
    // Whether the system's own loader is asked whether the host starts (ask_loader), rather than its
    // rules applied by the checks (Windows: Wine's loader lets through what Windows' refuses).
    virtual bool asks_loader() const = 0;
    // Asks the loader whether it starts the host at `host` (read as `image`) and the libraries it loads,
    // running none of their code; each thing it reports is given to `heard`, until that returns false.
    // Where the loader cannot be asked, or is stopped at a bound of its time, says so as `unjudged`.
    // Linux: its dynamic linker in trace mode, in the environment and folder a start has; at most
    // half a second of its CPU time and 10 s of the clock.
    virtual void ask_loader(const std::string& host, const Image& image,
                            const std::function<bool(const LoaderReport&)>& heard) const = 0;
    // `path` read as a program or library image, the entry looked up in it as the loader looks it up
    // for an importer whose import carries `entry_hint`; where it is not one, is damaged, or cannot be
    // read, `why` says how.
    virtual ImageRead read(const std::string& path, uint32_t entry_hint, Image& image, std::string& why) const = 0;
    // What the loader maps the library `name`, imported by the library named `importer`, to before it
    // looks for any file: Windows maps an API set (api-ms-win-..., ext-ms-...) to the system's library
    // `library` through the schema the system maps into every process, or to none on this system. Where
    // that schema cannot be read, `why` says why, and nothing is guessed in its place. Linux has none.
    enum class ApiSet { none, mapped, unhosted, unknown };
    virtual ApiSet api_set(const std::string& name, const std::string& importer, std::string& library,
                           std::string& why) const = 0;
    // Whether the loader finds the library `name` among the system's own for a program of `machine`,
    // without any beside the host, and where: `path` is the file it loads. Asked only where the loader
    // is not (asks_loader). Throws std::runtime_error where it cannot tell (no system folder found): nothing is looked
    // for elsewhere in its place.
    virtual bool system_library(const std::string& name, Machine machine, std::string& path) const = 0;
};

// This platform's.
const Platform& this_platform();

// The folder hook_check runs from; `path` made absolute; whether `path` is a folder. Paths are UTF-8.
std::string program_folder();
std::string full_path(const std::string& path);
bool is_folder(const std::string& path);
// The program at `path` as the system starts it. Linux: its real file, symbolic links followed, whose
// folder the dynamic linker takes for the host's $ORIGIN; as it is where there is none. Windows: as it is.
std::string real_path(const std::string& path);
// Writes `line` (UTF-8) and a line's end to `stream`, in a Windows console as its characters.
void write_line(FILE* stream, const std::string& line);
#ifdef _WIN32
// A UTF-16 text of the system's as UTF-8.
std::string utf8(const wchar_t* text);
#endif
