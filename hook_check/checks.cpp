// The checks of a host's files, written once for every platform over image.h.
#include "checks.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "known_dlls.h"
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
    return machine == Machine::x86 ? "32-bit (x86)" : machine == Machine::arm64 ? "ARM64" : "64-bit (x86-64)";
}

std::string short_name(Machine machine)
{
    return machine == Machine::x86 ? "x86" : machine == Machine::arm64 ? "ARM64" : "x86-64";
}

// The line for the file `file` (shown), an image of a kind that hook_check does not model.
std::string unmodelled(const std::string& file, const Image& image)
{
    return joined({file, " is ", image.unmodelled, ", which hook_check does not model: whether a loader takes ",
                   "it, for which processes, and what it binds from it are not checked; start the host on the ",
                   "system it is for to learn"});
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

// The most problems said, each in a line; the rest are counted in one more, so that an image that
// needs a hundred thousand missing libraries is told in a screenful, not in megabytes.
constexpr size_t most_problems = 100;
// No file: the loader of the host, or a file known but not loaded (the hook library until it is
// read, or one the loader refuses).
constexpr size_t none = SIZE_MAX;

// A file loaded with the host: its path, that path as the lines show it, and its image; and whether it
// is one placed for the host (beside it, or named by a path), whose faults are said, unlike the system's.
struct Loaded {
    std::string path;
    std::string shown;
    Image image;
    bool placed;
};

// What a file looked at for a library turned out to be: none there; one of another machine, which the
// dynamic linker passes over to look further; or the one the loader takes.
enum class Taken { absent, passed, taken };

// A forwarder that the loader meets as it binds a function (PE), followed once: the library that
// forwards it (where in the checker's files) and its text, as that library's export table keeps it;
// the library and function it names (none where `named` is false), the library the loader finds for
// it, and what that library's table finds for the function. Whether the functions whose first
// forwarder it is are bound is judged once for them all.
struct Hop {
    size_t from;
    std::string_view text;
    bool named = false;
    std::string library;
    Import import;
    size_t to = none;
    Found found;
    enum class Judged : uint8_t { not_yet, binds, fails } judged = Judged::not_yet;
};

class Checker {
public:
    Checker(const Platform& platform, const std::string& host)
        : platform_(platform)
        , host_(host)
        , shown_host_(shown_path(host))
    {
    }

    Verdict run();

private:
    void check();
    void problem(std::string line)
    {
        if (verdict_.problems.size() < most_problems)
            verdict_.problems.push_back(std::move(line));
        else
            ++left_out_;
    }
    void damage(const std::string& file, const Image& image)
    {
        for (const std::string& what : image.damage)
            problem(joined({file, " is damaged, and the loader refuses it: ", what}));
    }
    void check_machine(const Image& image);
    void check_entry(const Image& image);
    size_t hear_loader();
    std::string unfound(const std::string& file, const std::string& name, Taken taken);
    void load(size_t first);
    std::string find(size_t importer, const std::string& name);
    Taken take(const std::string& path, size_t importer, bool placed, std::string& identity);
    size_t provider(size_t importer, const std::string& library);
    size_t hop(size_t from, std::string_view forwarder);
    bool binds(size_t from, const Import& import, Found found, std::string* line);
    void bind(size_t importer, const std::string& library, size_t from, const Import& import);
    void check_functions();

    const Platform& platform_;
    const std::string& host_;
    const std::string shown_host_;
    std::string shown_library_;
    const HookLibrary* library_ = nullptr;
    Verdict verdict_;
    size_t left_out_ = 0;
    // The files loaded, in the order the loader loads them: the host first, breadth first.
    std::vector<Loaded> scope_;
    // Each file read, by what it is (Platform::identity): where in `scope_`, or `none`.
    std::unordered_map<std::string, size_t> files_;
    // Each library name imported, as the loader compares them, and what it found for it: the file's
    // identity, or empty where none. The loader looks a name up once, whoever needs it again.
    std::unordered_map<std::string, std::string> names_;
    // The system's libraries found without a file to read (Windows' API sets).
    size_t unread_ = 0;
    // Each forwarder met (PE), followed once, however many imports lead to it; by its library's place
    // in `scope_` and where that library's export table keeps its text (each place once).
    std::vector<Hop> hops_;
    std::map<std::pair<size_t, uintptr_t>, size_t> hop_at_;
};

void Checker::check_machine(const Image& image)
{
    const std::string& library = shown_library_;
    if (image.machine == library_->machine)
        return;
    const std::string host = library_->machine == Machine::x86     ? "32-bit"
                             : library_->machine == Machine::arm64 ? "ARM64"
                                                                   : "64-bit";
    const std::string host_says = "the " + host + " host (" + shown(file_name(platform_, host_)) + ") is an " +
                                  short_name(library_->machine) + " program and loads only the " +
                                  bits(library_->machine) + " build of its hook library; build it for " +
                                  short_name(library_->machine);
    if (image.machine == Machine::other)
        problem(library + " is built for " + image.machine_name + ", not " + short_name(library_->machine) + ": " +
                host_says);
    else
        problem(library + (image.machine == Machine::arm64 ? " is an " : " is a ") + bits(image.machine) +
                " library: " + host_says);
}

void Checker::check_entry(const Image& image)
{
    const std::string& library = shown_library_;
    const std::string definition = std::string("hook_library/") + library_->definition;
    switch (image.entry) {
    case Entry::bound:
    case Entry::missed: // the damage that hides it is said
        return;
    case Entry::unbound:
        problem(joined({library, " exports ", entry_name, ", but the loader cannot bind it: ", image.entry_why,
                        "; export the entry from ", library, "'s own code, as ", header_advice, " declares it"}));
        return;
    case Entry::data:
        problem(joined({library, " exports ", entry_name, " as data, not as a function: the host calls it, and ",
                        "crashes; define it as a function, as ", header_advice, " declares it"}));
        return;
    case Entry::absent:
        break;
    }
    bool named = false;
    for (const std::string& name : image.exports) {
        if (cxx_name(name)) {
            problem(joined({library, " exports the entry under its C++ name ", shown(name), ", not as ", entry_name,
                            ": declare it extern \"C\" (as ", header_advice,
                            " does), so that it is exported by its plain name"}));
            named = true;
        } else if (library_->machine == Machine::x86 && stdcall_name(name)) {
            problem(joined({library, " exports ", name, ", the name of a __stdcall entry, not ", entry_name,
                            ": the 32-bit host binds the entry by its plain name and calls it __cdecl; declare it as ",
                            header_advice, " does (__cdecl, exported by its plain name with ", definition, ")"}));
            named = true;
        } else if (near_name(name)) {
            problem(joined({library, " exports ", shown(name), ", not ", entry_name,
                            ": the host binds the entry by exactly that name; export it as ", entry_name, " (see ",
                            header_advice, " and ", definition, ")"}));
            named = true;
        }
    }
    if (!named)
        problem(library + " exports no " + entry_name +
                ": the host binds that entry when it is loaded; declare and export it as " + header_advice + " and " +
                definition + " do");
}

// The libraries that the files loaded from `first` on import, found as the loader finds them, each
// read once by what it is, however it is spelled; then theirs in turn, breadth first, so that a
// missing library is named with the first file that needs it.
void Checker::load(size_t first)
{
    for (size_t next = first; next < scope_.size(); ++next) {
        // `scope_` grows as libraries are found: its files are reached by index.
        for (size_t i = 0; i < scope_[next].image.imports.size(); ++i) {
            const std::string name = scope_[next].image.imports[i];
            if (names_.emplace(key(platform_, name), std::string()).second)
                names_[key(platform_, name)] = find(next, name);
        }
    }
}

// Where the loader finds the library `name` that the file `importer` imports (PE): a name with a slash
// as a path; else an API set as the system maps it; else the host's folder, then the system's. What is
// found is loaded; what is not is said, where the importer is placed for the host. Gives the identity
// of the file found, or empty.
std::string Checker::find(size_t importer, const std::string& name)
{
    const std::string file = scope_[importer].shown;
    const std::string named = shown(name);
    const std::string host_folder = beside(platform_, host_, "");
    std::string identity;
    Taken taken = Taken::absent;
    if (name.find_first_of(platform_.separator() == '\\' ? "\\/" : "/") != std::string::npos) {
        // A relative path is taken from the folder the host starts in: its own, as hook_control starts it.
        std::string path = name;
        if (path[0] != '/' && path.find(':') == std::string::npos)
            path.insert(0, host_folder);
        if (take(path, importer, true, identity) == Taken::taken)
            return identity;
        if (scope_[importer].placed)
            problem(unfound(file, name, Taken::absent));
        return std::string();
    }
    // An API set is mapped before any file is looked for, and only among the system's libraries. Like
    // any name, it is looked up once, for the first file that imports it: the mappings a schema makes
    // for particular importers are for the system's own libraries.
    std::string mapped;
    std::string why;
    switch (platform_.api_set(name, file_name(platform_, scope_[importer].path), mapped, why)) {
    case Platform::ApiSet::none:
        break;
    case Platform::ApiSet::mapped: {
        std::string path;
        if (platform_.system_library(mapped, library_->machine, path))
            take(path, importer, false, identity);
        else if (scope_[importer].placed)
            problem(joined({file, " imports ", named, ", an API set that the system maps to ", shown(mapped),
                            ", which is not among the system's ", short_name(library_->machine),
                            " libraries: the loader refuses to start the host (0xC0000135, not found)"}));
        return identity;
    }
    case Platform::ApiSet::unhosted:
        if (scope_[importer].placed)
            problem(joined({file, " imports ", named, ", an API set that this system maps to no library: the ",
                            "loader refuses to start the host (0xC0000135, not found); link ", file,
                            " against the libraries of the oldest system it must run on"}));
        return identity;
    case Platform::ApiSet::unknown:
        if (scope_[importer].placed)
            problem(joined({file, " imports ", named, ", an API set, and hook_check cannot tell which library ",
                            "the system maps it to, nor what it exports: ", why}));
        return identity;
    }
    // What Windows maps from its KnownDLLs is never looked for beside the host.
    if (!known_dll(name))
        taken = take(host_folder + name, importer, true, identity);
    std::string path;
    if (taken != Taken::taken && platform_.system_library(name, library_->machine, path)) {
        identity.clear();
        if (path.empty())
            ++unread_;
        else
            take(path, importer, false, identity);
        return identity;
    }
    if (taken == Taken::taken)
        return identity;
    if (scope_[importer].placed)
        problem(unfound(file, name, taken));
    return std::string();
}

// The line for the library `name` that the file `file` (shown) imports, which the loader does not find
// where it looks: a path; one of another machine there (`taken` passed); one beside the host, where the
// loader does not look (taken); or none there.
std::string Checker::unfound(const std::string& file, const std::string& name, Taken taken)
{
    const std::string named = shown(name);
    const std::string host_folder = beside(platform_, host_, "");
    if (name.find_first_of(platform_.separator() == '\\' ? "\\/" : "/") != std::string::npos)
        return joined({file, " imports ", named, ", a path, which is no library of the host's machine: the ",
                       "loader takes it from the folder the host starts in (", shown_path(host_folder),
                       ", where hook_control starts it); name the library alone"});
    if (taken == Taken::passed)
        return joined({file, " imports ", named, ", which is not built for ", short_name(library_->machine),
                       " where the loader looks for it, and is not among the system's ", short_name(library_->machine),
                       " libraries: the loader passes over a library of another ", "machine; build ", named, " for ",
                       short_name(library_->machine)});
    if (taken == Taken::taken)
        return joined({file, " imports ", named, ", which is beside the host but not where the loader ",
                       "looks for it: link ", file, " with -Wl,-rpath,'$ORIGIN', or link ", named, " into it"});
    return joined({file, " imports ", named, ", which is neither beside the host (", shown_path(host_folder),
                   ") nor among the system's ", short_name(library_->machine), " libraries: put ", named,
                   " beside the host, or link it into ", file});
}

// The file at `path` looked at for a library that `importer` imports (PE): read once by what it is,
// and loaded after those before it; what the loader refuses of it (one of another machine too, which
// ends its search) is said where it is `placed` for the host.
Taken Checker::take(const std::string& path, size_t importer, bool placed, std::string& identity)
{
    identity = platform_.identity(path);
    if (identity.empty())
        return Taken::absent;
    const auto known = files_.find(identity);
    if (known != files_.end())
        return Taken::taken;
    const std::string file = scope_[importer].shown;
    Loaded loaded{path, shown_path(path), {}, placed};
    std::string why;
    const ImageRead read = platform_.read(path, no_hint, loaded.image, why);
    if (read == ImageRead::missing)
        return Taken::absent;
    files_[identity] = none;
    // The loader takes the first it finds, and goes no further (STATUS_INVALID_IMAGE_FORMAT): one placed
    // beside the host ends the start whichever library needs it, the system's too.
    const bool beside_host = placed;
    placed = placed && scope_[importer].placed;
    switch (read) {
    case ImageRead::ok:
        if (!loaded.image.unmodelled.empty()) {
            if (beside_host)
                problem(unmodelled(loaded.shown, loaded.image));
            return Taken::taken;
        }
        if (loaded.image.machine != library_->machine) {
            if (beside_host)
                problem(joined({loaded.shown, ", which ", file, " imports, is built for ",
                                loaded.image.machine == Machine::other ? loaded.image.machine_name
                                                                       : short_name(loaded.image.machine),
                                ", and is found before the system's: the loader refuses to start the host ",
                                "(0xC000007B, invalid image format); build it for ", short_name(library_->machine),
                                ", or remove it"}));
            return Taken::taken;
        }
        if (!loaded.image.library_refusal.empty()) {
            if (placed)
                problem(joined({loaded.shown, ", which ", file,
                                " imports, is no library the loader loads: ", loaded.image.library_refusal}));
            return Taken::taken;
        }
        if (placed)
            damage(loaded.shown, loaded.image);
        files_[identity] = scope_.size();
        scope_.push_back(std::move(loaded));
        break;
    case ImageRead::damaged:
        if (placed)
            problem(joined({loaded.shown, ", which ", file, " imports, is damaged, and the loader refuses it: ", why}));
        break;
    case ImageRead::unreadable:
        if (placed)
            problem(joined({loaded.shown, ", which ", file, " imports, could not be read: ", why}));
        break;
    default:
        if (placed)
            problem(joined({loaded.shown, ", which ", file, " imports, is not a library: ", why}));
    }
    return Taken::taken;
}

// The dynamic linker's verdict on the start, each thing it reports said in a line that names the file
// and what to do, with what the files show of it; the libraries it loads counted. A binding it cannot
// make is said only where it found every library and version: else the start ends there first, and
// those bindings are only what follows. It is stopped once a hundred lines are said.
size_t Checker::hear_loader()
{
    using Kind = LoaderReport::Kind;
    // The file that first needs each library named, as the linker says it looks for it.
    std::unordered_map<std::string, std::string> needed_by;
    std::vector<LoaderReport> unbound;
    bool incomplete = false;
    bool stopped = false;
    size_t loaded = 0;
    const std::string library_identity = platform_.identity(verdict_.library);
    platform_.ask_loader(host_, scope_[0].image, [&](const LoaderReport& report) {
        const auto by = needed_by.find(report.name);
        const std::string file = by == needed_by.end() ? "a library loaded with the host" : shown_path(by->second);
        switch (report.kind) {
        case Kind::needed:
            needed_by.emplace(report.name, report.file);
            break;
        case Kind::loaded:
            if (report.name == library_->name && platform_.identity(report.file) != library_identity)
                problem(joined({shown_host_, " loads ", library_->name, " from ", shown_path(report.file),
                                ", not from beside it (", shown_library_, "): remove that copy, or take its ",
                                "folder out of LD_LIBRARY_PATH"}));
            else if (!report.file.empty() && report.name != library_->name)
                ++loaded;
            break;
        case Kind::missing: {
            incomplete = true;
            const std::string path = beside(platform_, host_, report.name);
            Image image;
            std::string why;
            Taken taken = Taken::absent;
            if (platform_.exists(path))
                taken = platform_.read(path, no_hint, image, why) == ImageRead::ok && image.machine != library_->machine
                            ? Taken::passed
                            : Taken::taken;
            problem(unfound(file, report.name, taken) + " (the dynamic linker: not found)");
            break;
        }
        case Kind::version:
            incomplete = true;
            problem(joined({shown_path(report.file), " needs version ", shown(report.name), " of ",
                            shown_path(report.library), ", which does not define it: the dynamic linker refuses to ",
                            "start the host (version `", shown(report.name), "' not found); build ",
                            shown_path(report.file), " against the oldest library it must run with"}));
            break;
        case Kind::symbol:
            if (unbound.size() < most_problems)
                unbound.push_back(report);
            break;
        case Kind::refused:
            incomplete = true;
            problem(joined({"the dynamic linker refuses to start ", shown_host_, ": ", shown(report.text)}));
            break;
        case Kind::unjudged:
            incomplete = true;
            problem(joined({"hook_check could not ask the dynamic linker whether it starts ", shown_host_, ": ",
                            shown(report.text)}));
            break;
        }
        stopped = verdict_.problems.size() >= most_problems;
        return !stopped;
    });
    if (stopped) {
        verdict_.problems.push_back("... and more problems, not shown: hook_check stopped the dynamic linker at the "
                                    "first " +
                                    std::to_string(most_problems));
        return loaded;
    }
    for (size_t i = 0; i < unbound.size() && !incomplete; ++i) {
        const LoaderReport& symbol = unbound[i];
        // The host's binding of the entry is told of its library, where that shows why.
        if (symbol.file == host_ && symbol.name == entry_name && scope_[1].image.entry != Entry::bound) {
            check_entry(scope_[1].image);
            continue;
        }
        problem(
            joined({shown_path(symbol.file), " binds ", shown(symbol.name),
                    symbol.library.empty() ? "" : " (version " + shown(symbol.library) + ")",
                    ", and no library loaded with the host defines it: the dynamic linker refuses to start the ",
                    "host where it binds it as it is loaded (linked -z now), and ends it at its first call where ",
                    "not (undefined symbol); link ", shown_path(symbol.file), " with the library that defines it"}));
    }
    return loaded;
}

// The library that the file `importer` finds for the name `library`: where in `scope_`, or `none`
// where it finds none, or one the loader refuses (said where it was looked for). A name no file has
// looked for yet (a forwarder's) is looked for now, as the importer's own import.
size_t Checker::provider(size_t importer, const std::string& library)
{
    auto name = names_.find(key(platform_, library));
    if (name == names_.end()) {
        const size_t first = scope_.size();
        const std::string identity = find(importer, library);
        name = names_.emplace(key(platform_, library), identity).first;
        load(first);
    }
    const auto file = files_.find(name->second);
    return file == files_.end() ? none : file->second;
}

// How a forwarder leads on: its library, less the extension the loader adds, and the function's name
// or, after '#', its ordinal in decimal. False where it names none.
bool forwarded(std::string_view forwarder, std::string& library, Import& import)
{
    const size_t dot = forwarder.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == forwarder.size())
        return false;
    library = std::string(forwarder.substr(0, dot)) + ".dll";
    const std::string function(forwarder.substr(dot + 1));
    import = Import{};
    if (function[0] != '#') {
        import.name = function;
        return true;
    }
    char* end = nullptr;
    const unsigned long ordinal = strtoul(function.c_str() + 1, &end, 10);
    import.ordinal = static_cast<uint32_t>(ordinal);
    return *end == '\0' && end != function.c_str() + 1 && ordinal <= UINT16_MAX;
}

// The forwarder `forwarder` of the library `from` (where in `scope_`), followed: where in `hops_`.
// Its text is read, and what it names looked for and looked up, the first time it is met only.
size_t Checker::hop(size_t from, std::string_view forwarder)
{
    const auto known =
        hop_at_.emplace(std::make_pair(from, reinterpret_cast<uintptr_t>(forwarder.data())), hops_.size());
    if (!known.second)
        return known.first->second;
    Hop made{from, forwarder};
    made.named = forwarded(forwarder, made.library, made.import);
    if (made.named)
        made.to = provider(from, made.library);
    if (made.to != none && scope_[made.to].image.exports_table)
        made.found = scope_[made.to].image.exports_table->find(made.import);
    hops_.push_back(std::move(made));
    return hops_.size() - 1;
}

// Whether the loader binds `import`, which it finds as `found` in the library `from` (PE): there, or
// where its forwarders lead, at most `most_forwards` times and never round a loop. Where it does not,
// and `line` is given, appends to it where the loader looked, each forwarder, and why it stops.
bool Checker::binds(size_t from, const Import& import, Found found, std::string* line)
{
    constexpr size_t most_forwards = 16;
    std::set<size_t> passed;
    // The hop that led here, whose function is looked up (`hops_` grows as forwarders are met: a hop is
    // reached by its index), or none.
    size_t last = none;
    for (size_t forwards = 0;; ++forwards) {
        const std::string where = line ? joined({" (", scope_[from].shown, ")"}) : std::string();
        const Import& function = last == none ? import : hops_[last].import;
        switch (found.kind) {
        case Found::Kind::code:
            return true;
        case Found::Kind::absent:
            if (line && function.name.empty())
                *line += joined({where, ", which exports no function at ordinal ", std::to_string(function.ordinal),
                                 ": the loader refuses to start the host (0xC0000138, the ordinal could not be ",
                                 "located); import it by name"});
            else if (line)
                *line += joined({where, ", which does not export ", shown(function.name),
                                 ": the loader refuses to start the host (0xC0000139, the procedure entry point ",
                                 "could not be located); build against the library it runs with, or look the ",
                                 "function up when it runs (GetProcAddress)"});
            return false;
        case Found::Kind::unbound:
        case Found::Kind::hidden:
            if (line)
                *line += joined({where, ", which the loader cannot bind it from: ", found.why});
            return false;
        case Found::Kind::forwarded:
            break;
        }
        const size_t next = hop(from, found.forwarder);
        const std::string text = line ? shown(hops_[next].text) : std::string();
        if (!hops_[next].named) {
            if (line)
                *line += joined({where, ", which forwards it to ", text, ", which names no library and function"});
            return false;
        }
        if (forwards == most_forwards || !passed.insert(next).second) {
            if (line)
                *line += forwards == most_forwards
                             ? joined({", whose forwarders lead on more than ", std::to_string(most_forwards),
                                       " times, the last to ", text})
                             : joined({", whose forwarders lead round in a loop, back to ", text});
            return false;
        }
        if (line)
            *line += joined({where, ", which forwards it to ", text});
        if (hops_[next].to == none) {
            if (line)
                *line += joined({", and ", shown(hops_[next].library), " is not found"});
            return false;
        }
        from = hops_[next].to;
        found = hops_[next].found;
        last = next;
    }
}

// Where the loader binds `import` of the file `importer` from its library `library`, which it finds
// at `from` in `scope_` (PE): looked up in that library's export table as the loader looks it up, its
// forwarders followed. Whether the loader binds the functions that meet one first forwarder is judged
// once for them all; a line says why it does not bind each, while lines are said, and the rest are
// counted.
void Checker::bind(size_t importer, const std::string& library, size_t from, const Import& import)
{
    if (from == none)
        return;
    const Image& image = scope_[from].image;
    const Found found = image.exports_table ? image.exports_table->find(import) : Found{};
    if (found.kind == Found::Kind::code)
        return;
    if (found.kind == Found::Kind::forwarded) {
        const size_t first = hop(from, found.forwarder);
        if (hops_[first].judged == Hop::Judged::not_yet)
            hops_[first].judged = binds(from, import, found, nullptr) ? Hop::Judged::binds : Hop::Judged::fails;
        if (hops_[first].judged == Hop::Judged::binds)
            return;
    }
    if (verdict_.problems.size() >= most_problems) {
        ++left_out_;
        return;
    }
    const std::string function = import.name.empty() ? "ordinal " + std::to_string(import.ordinal) : shown(import.name);
    std::string line = joined({scope_[importer].shown, " imports ", function, " from ", shown(library)});
    binds(from, import, found, &line);
    problem(std::move(line));
}

// What the files placed for the host import from each library (PE), function by function: the library
// that the loader finds for each name imported is asked for once, not for each function.
void Checker::check_functions()
{
    for (size_t i = 0; i < scope_.size(); ++i) {
        // The loader binds nothing for an image of another machine: it refuses it whole.
        if (!scope_[i].placed || !scope_[i].image.bindings || scope_[i].image.machine != library_->machine)
            continue;
        // Held apart from `scope_`, which grows as forwarders lead to more libraries.
        const std::shared_ptr<const Bindings> bindings = scope_[i].image.bindings;
        const std::vector<std::string> libraries = scope_[i].image.imports;
        std::vector<std::optional<size_t>> providers(libraries.size());
        for (size_t b = 0; b < bindings->size(); ++b) {
            size_t library = 0;
            const Import import = bindings->at(b, library);
            // The host's binding of the entry is told of its library.
            if (i == 0 && import.name == entry_name)
                continue;
            if (!providers[library])
                providers[library] = provider(i, libraries[library]);
            bind(i, libraries[library], *providers[library], import);
        }
    }
}

// A platform that cannot tell where the system's libraries are ends the check: nothing is looked for
// in their place. What was left out of the lines is counted in the last.
Verdict Checker::run()
{
    try {
        check();
    } catch (const std::runtime_error& error) {
        problem(std::string("hook_check could not finish: ") + error.what());
        verdict_.checked.clear();
    }
    if (left_out_ != 0)
        verdict_.problems.push_back("... and " + std::to_string(left_out_) + " more problems, not shown");
    return verdict_;
}

void Checker::check()
{
    Image host;
    std::string why;
    const std::string& shown = shown_host_;
    switch (platform_.read(host_, no_hint, host, why)) {
    case ImageRead::missing:
        problem(shown + " not found: name the host's executable, or the folder it is in");
        return;
    case ImageRead::not_an_image:
        problem(shown + " is not a hook host: " + why);
        return;
    case ImageRead::damaged:
        problem(shown + " is damaged, and the loader refuses it: " + why);
        return;
    case ImageRead::unreadable:
        problem(shown + " could not be read: " + why);
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
        problem(shown + " is not a hook host: it binds no hook library (" + names +
                "); name the host's executable, or the folder it is in");
        return;
    }
    if (host.machine != library_->machine) {
        problem(joined({shown, " is not a hook host: it is an ", host.machine_name, " program, and binds ",
                        library_->name, ", the hook library of ", short_name(library_->machine), " hosts"}));
        return;
    }
    verdict_.hook_host = true;
    verdict_.library = beside(platform_, host_, library_->name);
    shown_library_ = shown_path(verdict_.library);
    if (!host.unmodelled.empty())
        problem(unmodelled(shown, host));
    damage(shown, host);
    // The loader looks the entry up in the library from the host's import of it. The library is
    // loaded as the host's import of it, however else it is named. Where the loader is asked, the
    // host's and the library's files are read first, and it is asked of the rest.
    const uint32_t hint = host.entry_hint;
    const bool asks = platform_.asks_loader();
    const std::string library_identity = platform_.identity(verdict_.library);
    names_[key(platform_, library_->name)] = library_identity;
    if (!library_identity.empty())
        files_[library_identity] = none;
    files_[platform_.identity(host_)] = 0;
    scope_.push_back({host_, shown, std::move(host), true});
    if (!asks)
        load(0);

    Loaded library{verdict_.library, shown_library_, {}, true};
    const std::string& path = shown_library_;
    switch (platform_.read(verdict_.library, hint, library.image, why)) {
    case ImageRead::missing:
        problem(joined({path, " not found: the host loads its hook library from its own folder; ", "put ",
                        library_->name, " there, beside ", ::shown(file_name(platform_, host_))}));
        return;
    case ImageRead::not_an_image:
        problem(path + " is not a library: " + why);
        return;
    case ImageRead::damaged:
        problem(path + " is damaged, and the loader refuses it: " + why);
        return;
    case ImageRead::unreadable:
        problem(path + " could not be read: " + why);
        return;
    case ImageRead::ok:
        break;
    }
    // Which machines' processes a hybrid library serves is what is not modelled.
    if (library.image.unmodelled.empty())
        check_machine(library.image);
    else
        problem(unmodelled(path, library.image));
    if (!library.image.library_refusal.empty())
        problem(path + " is no library the loader loads: " + library.image.library_refusal);
    // An entry the library lacks may be bound from a library it needs, where the loader binds a name
    // from any library loaded: the loader says whether it is.
    if (!asks || library.image.entry != Entry::absent)
        check_entry(library.image);
    damage(path, library.image);
    const size_t at = scope_.size();
    if (!library_identity.empty())
        files_[library_identity] = at;
    scope_.push_back(std::move(library));
    size_t imported = 0;
    if (asks) {
        // What the files show is said alone: a damaged image may hold the loader forever.
        if (!verdict_.problems.empty())
            return;
        imported = hear_loader();
    } else {
        load(at);
        check_functions();
        imported = scope_.size() - 2 + unread_;
    }
    const bool exports = scope_[at].image.entry == Entry::bound;
    verdict_.checked =
        joined({"no problem found in the files: the ", short_name(library_->machine), " host, ", library_->name,
                " beside it (", short_name(library_->machine), exports ? ", exports " : ", a library it needs defines ",
                entry_name, ") and the ", std::to_string(imported),
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
