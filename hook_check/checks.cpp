// The checks of a host's files, written once for every platform over image.h.
#include "checks.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <initializer_list>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "names.h"

namespace {

const char header_advice[] = "hook_library/TeskShellHook.h";

std::string joined(std::initializer_list<std::string_view> parts)
{
    std::string text;
    for (const std::string_view part : parts)
        text += part;
    return text;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A C++ compiler's name for a function SetTeskShellHook: GCC's and Clang's (_Z16SetTeskShellHookx,
// _ZN2ns16SetTeskShellHookEx) or MSVC's (?SetTeskShellHook@@YAX_J@Z, ?SetTeskShellHook@ns@@...).
bool cxx_name(const std::string& name)
{
    const bool itanium =
        (name.rfind("_Z", 0) == 0 || name.rfind("__Z", 0) == 0) && name.find("16SetTeskShellHook") != std::string::npos;
    return itanium || name.rfind("?SetTeskShellHook@", 0) == 0;
}

// The entry's name in another case, or with a C decoration: _SetTeskShellHook, SetTeskShellHook@8.
bool near_name(const std::string& name)
{
    const size_t first = name.find_first_not_of('_');
    size_t end = name.size();
    const size_t at = name.rfind('@');
    if (at != std::string::npos && at + 1 < name.size() &&
        name.find_first_not_of("0123456789", at + 1) == std::string::npos)
        end = at;
    return first != std::string::npos && first < end && lower(name.substr(first, end - first)) == lower(entry_name);
}

// The name of a machine, as the checks say it to people who build for it.
std::string bits(Machine machine)
{
    return machine == Machine::x86 ? "32-bit (x86)" : "64-bit (x86-64)";
}

std::string short_name(Machine machine)
{
    return machine == Machine::x86 ? "x86" : "x86-64";
}

// The file name at the end of `path`.
std::string file_name(const Platform& platform, const std::string& path)
{
    return path.substr(beside(platform, path, "").size());
}

// The entry's name as an x86 compiler decorates a __stdcall function of one 32-bit argument: as GCC
// exports it (SetTeskShellHook@4) and as MSVC does (_SetTeskShellHook@4).
bool stdcall_name(const std::string& name)
{
    return name == std::string(entry_name) + "@4" || name == "_" + std::string(entry_name) + "@4";
}

// A library's name as its platform's loader compares it: without case on Windows, as it is on Linux.
std::string key(const Platform& platform, const std::string& name)
{
    return platform.separator() == '\\' ? lower(name) : name;
}

// Which of the platform's hook libraries `image` binds, if any.
const HookLibrary* bound_library(const Platform& platform, const std::vector<HookLibrary>& libraries,
                                 const Image& image)
{
    for (const HookLibrary& library : libraries) {
        for (const std::string& name : image.imports) {
            if (key(platform, name) == key(platform, library.name))
                return &library;
        }
    }
    return nullptr;
}

// A file whose imports are checked: its path, the path as the lines show it (a name from an image
// escaped), and its image.
struct Importer {
    std::string path;
    std::string shown;
    Image image;
};

class Checker {
public:
    Checker(const Platform& platform, const std::string& host)
        : platform_(platform)
        , host_(host)
    {
    }

    Verdict run();

private:
    void check();
    void damage(const std::string& file, const Image& image)
    {
        for (const std::string& what : image.damage)
            verdict_.problems.push_back(joined({file, " is damaged, and the loader refuses it: ", what}));
    }
    void check_machine(const Image& image);
    void check_entry(const Image& image);
    void check_imports(Importer importer);

    const Platform& platform_;
    const std::string& host_;
    const HookLibrary* library_ = nullptr;
    Verdict verdict_;
    std::set<std::string> seen_; // the libraries imported, each checked once
};

void Checker::check_machine(const Image& image)
{
    const std::string& library = verdict_.library;
    if (image.machine == library_->machine)
        return;
    const std::string host_says = "the " + std::string(library_->machine == Machine::x86 ? "32-bit" : "64-bit") +
                                  " host (" + file_name(platform_, host_) + ") is an " + short_name(library_->machine) +
                                  " program and loads only the " + bits(library_->machine) +
                                  " build of its hook library; build it for " + short_name(library_->machine);
    if (image.machine == Machine::other)
        verdict_.problems.push_back(library + " is built for " + image.machine_name + ", not " +
                                    short_name(library_->machine) + ": " + host_says);
    else
        verdict_.problems.push_back(library + " is a " + bits(image.machine) + " library: " + host_says);
}

void Checker::check_entry(const Image& image)
{
    const std::string& library = verdict_.library;
    const std::string definition = std::string("hook_library/") + library_->definition;
    switch (image.entry) {
    case Entry::bound:
    case Entry::missed: // the damage that hides it is said
        return;
    case Entry::unbound:
        verdict_.problems.push_back(
            joined({library, " exports ", entry_name, ", but the loader cannot bind it: ", image.entry_why,
                    "; export the entry from ", library, "'s own code, as ", header_advice, " declares it"}));
        return;
    case Entry::absent:
        break;
    }
    bool named = false;
    for (const std::string& name : image.exports) {
        if (cxx_name(name)) {
            verdict_.problems.push_back(joined({library, " exports the entry under its C++ name ", shown(name),
                                                ", not as ", entry_name, ": declare it extern \"C\" (as ",
                                                header_advice, " does), so that it is exported by its plain name"}));
            named = true;
        } else if (library_->machine == Machine::x86 && stdcall_name(name)) {
            verdict_.problems.push_back(
                joined({library, " exports ", name, ", the name of a __stdcall entry, not ", entry_name,
                        ": the 32-bit host binds the entry by its plain name and calls it __cdecl; declare it as ",
                        header_advice, " does (__cdecl, exported by its plain name with ", definition, ")"}));
            named = true;
        } else if (near_name(name)) {
            verdict_.problems.push_back(joined({library, " exports ", shown(name), ", not ", entry_name,
                                                ": the host binds the entry by exactly that name; export it as ",
                                                entry_name, " (see ", header_advice, " and ", definition, ")"}));
            named = true;
        }
    }
    if (!named)
        verdict_.problems.push_back(library + " exports no " + entry_name +
                                    ": the host binds that entry when it is loaded; declare and export it as " +
                                    header_advice + " and " + definition + " do");
}

// The libraries `importer` imports, each beside the host or among the system's; then those beside
// the host in turn, each once, so that a missing library is named with the first file that needs it.
void Checker::check_imports(Importer importer)
{
    std::deque<Importer> files;
    files.push_back(std::move(importer));
    while (!files.empty()) {
        const Importer next = std::move(files.front());
        files.pop_front();
        const std::string& file = next.shown;
        for (const std::string& name : next.image.imports) {
            if (!seen_.insert(key(platform_, name)).second)
                continue;
            const std::string path = beside(platform_, next.path, name);
            const std::string named = shown(name);
            const std::string shown_path = beside(platform_, file, named);
            const bool placed = platform_.exists(path);
            const bool system =
                !placed || !next.image.imports_beside ? platform_.system_library(name, library_->machine) : false;
            Image imported;
            std::string why;
            if (placed && next.image.imports_beside) {
                switch (platform_.read(path, no_hint, imported, why)) {
                case ImageRead::ok:
                    damage(shown_path, imported);
                    files.push_back({path, shown_path, std::move(imported)});
                    break;
                case ImageRead::damaged:
                    verdict_.problems.push_back(joined(
                        {shown_path, ", which ", file, " imports, is damaged, and the ", "loader refuses it: ", why}));
                    break;
                case ImageRead::unreadable:
                    verdict_.problems.push_back(
                        joined({shown_path, ", which ", file, " imports, could not be read: ", why}));
                    break;
                default:
                    verdict_.problems.push_back(
                        joined({shown_path, ", which ", file, " imports, is not a library: ", why}));
                }
            } else if (!system && placed) {
                verdict_.problems.push_back(
                    joined({file, " imports ", named, ", which is beside the host but not where the loader ",
                            "looks for it: link ", file, " with -Wl,-rpath,'$ORIGIN', or link ", named, " into it"}));
            } else if (!system) {
                verdict_.problems.push_back(
                    joined({file, " imports ", named, ", which is neither beside the host (",
                            beside(platform_, file, ""), ") nor among the system's ", short_name(library_->machine),
                            " libraries: put ", named, " beside the host, or link it into ", file}));
            }
        }
    }
}

// A platform that cannot tell where the system's libraries are ends the check: nothing is looked for
// in their place.
Verdict Checker::run()
{
    try {
        check();
    } catch (const std::runtime_error& error) {
        verdict_.problems.push_back(std::string("hook_check could not finish: ") + error.what());
        verdict_.checked.clear();
    }
    return verdict_;
}

void Checker::check()
{
    Image host;
    std::string why;
    switch (platform_.read(host_, no_hint, host, why)) {
    case ImageRead::missing:
        verdict_.problems.push_back(host_ + " not found: name the host's executable, or the folder it is in");
        return;
    case ImageRead::not_an_image:
        verdict_.problems.push_back(host_ + " is not a hook host: " + why);
        return;
    case ImageRead::damaged:
        verdict_.problems.push_back(host_ + " is damaged, and the loader refuses it: " + why);
        return;
    case ImageRead::unreadable:
        verdict_.problems.push_back(host_ + " could not be read: " + why);
        return;
    case ImageRead::ok:
        break;
    }

    // Which host it is, by the hook library it binds; a program of the other machine is none.
    const std::vector<HookLibrary> libraries = platform_.hook_libraries();
    library_ = bound_library(platform_, libraries, host);
    std::string names;
    for (const HookLibrary& library : libraries)
        names += (names.empty() ? "" : " or ") + std::string(library.name);
    if (!library_) {
        verdict_.problems.push_back(host_ + " is not a hook host: it binds no hook library (" + names +
                                    "); name the host's executable, or the folder it is in");
        return;
    }
    if (host.machine != library_->machine) {
        verdict_.problems.push_back(
            joined({host_, " is not a hook host: it is an ", host.machine_name, " program, and binds ", library_->name,
                    ", the hook library of ", short_name(library_->machine), " hosts"}));
        return;
    }
    verdict_.hook_host = true;
    verdict_.library = beside(platform_, host_, library_->name);
    seen_.insert(key(platform_, library_->name));
    damage(host_, host);
    // The loader looks the entry up in the library from the host's import of it.
    const uint32_t hint = host.entry_hint;
    check_imports({host_, host_, std::move(host)});

    Image library;
    const std::string& path = verdict_.library;
    switch (platform_.read(path, hint, library, why)) {
    case ImageRead::missing:
        verdict_.problems.push_back(joined({path, " not found: the host loads its hook library from its own folder; ",
                                            "put ", library_->name, " there, beside ", file_name(platform_, host_)}));
        return;
    case ImageRead::not_an_image:
        verdict_.problems.push_back(path + " is not a library: " + why);
        return;
    case ImageRead::damaged:
        verdict_.problems.push_back(path + " is damaged, and the loader refuses it: " + why);
        return;
    case ImageRead::unreadable:
        verdict_.problems.push_back(path + " could not be read: " + why);
        return;
    case ImageRead::ok:
        break;
    }
    check_machine(library);
    check_entry(library);
    damage(path, library);
    check_imports({path, path, std::move(library)});
    verdict_.checked = joined({"no problem found in the files: the ", short_name(library_->machine), " host, ",
                               library_->name, " beside it (", short_name(library_->machine), ", exports ", entry_name,
                               ") and the ", std::to_string(seen_.size() - 1),
                               " libraries they import; only a start runs the library's initialisation and its ",
                               "entry: --start NUMBER does"});
}

} // namespace

std::string beside(const Platform& platform, const std::string& path, const std::string& name)
{
    const size_t end = path.find_last_of(platform.separator() == '\\' ? "\\/" : "/");
    return (end == std::string::npos ? std::string() : path.substr(0, end + 1)) + name;
}

Verdict check_host(const Platform& platform, const std::string& host)
{
    return Checker(platform, host).run();
}
