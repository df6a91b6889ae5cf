// The checks of a host's files, written once for every platform over image.h.
#include "checks.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <initializer_list>
#include <set>
#include <string_view>
#include <utility>

namespace {

const char header_advice[] = "hook_library/TeskShellHook.h";
const char def_advice[] = "hook_library/TeskShellHook64.def";

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

void check_machine(const std::string& library, const Image& image, std::vector<std::string>& problems)
{
    if (image.machine == Machine::x86_64)
        return;
    if (image.machine == Machine::x86)
        problems.push_back(library + " is a 32-bit (x86) library: the host is a 64-bit program and loads only "
                                     "the 64-bit (x86-64) build of its hook library; build it for x86-64");
    else
        problems.push_back(library + " is built for " + image.machine_name +
                           ", not x86-64: the host is an x86-64 program and loads only an x86-64 hook library");
}

void check_entry(const std::string& library, const Image& image, std::vector<std::string>& problems)
{
    if (std::find(image.exports.begin(), image.exports.end(), entry_name) != image.exports.end())
        return;
    bool named = false;
    for (const std::string& name : image.exports) {
        if (cxx_name(name)) {
            problems.push_back(joined({library, " exports the entry under its C++ name ", name, ", not as ", entry_name,
                                       ": declare it extern \"C\" (as ", header_advice,
                                       " does), so that it is exported by its plain name"}));
            named = true;
        } else if (near_name(name)) {
            problems.push_back(joined({library, " exports ", name, ", not ", entry_name,
                                       ": the host binds the entry by exactly that name; export it as ", entry_name,
                                       " (see ", header_advice, " and ", def_advice, ")"}));
            named = true;
        }
    }
    if (!named)
        problems.push_back(library + " exports no " + entry_name +
                           ": the host binds that entry when it is loaded; declare and export it as " + header_advice +
                           " and " + def_advice + " do");
}

// The libraries the hook library imports, each beside the host or among the system's; then those
// beside the host in turn, each once, so that a missing library is named with the first file that
// needs it.
void check_imports(const Platform& platform, const std::string& library, Image image,
                   std::vector<std::string>& problems)
{
    std::set<std::string> seen{lower(platform.library_name())};
    std::deque<std::pair<std::string, Image>> files;
    files.emplace_back(library, std::move(image));
    while (!files.empty()) {
        const std::pair<std::string, Image> importer = std::move(files.front());
        files.pop_front();
        const std::string& file = importer.first;
        for (const std::string& name : importer.second.imports) {
            if (!seen.insert(lower(name)).second)
                continue;
            const std::string path = beside(platform, file, name);
            Image imported;
            std::string why;
            const bool placed = platform.exists(path);
            if (placed && importer.second.imports_beside) {
                if (platform.read(path, imported, why) == ImageRead::ok)
                    files.emplace_back(path, std::move(imported));
                else
                    problems.push_back(joined({path, ", which ", file, " imports, is not a library: ", why}));
            } else if (!platform.system_library(name) && placed) {
                problems.push_back(
                    joined({file, " imports ", name, ", which is beside the host but not where the loader ",
                            "looks for it: link ", file, " with -Wl,-rpath,'$ORIGIN', or link ", name, " into it"}));
            } else if (!platform.system_library(name)) {
                problems.push_back(joined({file, " imports ", name, ", which is neither beside the host (",
                                           beside(platform, file, ""), ") nor among the system's libraries: put ", name,
                                           " beside the host, or link it into ", file}));
            }
        }
    }
}

} // namespace

std::string beside(const Platform& platform, const std::string& path, const std::string& name)
{
    const size_t end = path.find_last_of(platform.separator() == '\\' ? "\\/" : "/");
    return (end == std::string::npos ? std::string() : path.substr(0, end + 1)) + name;
}

std::vector<std::string> check_host(const Platform& platform, const std::string& host)
{
    std::vector<std::string> problems;
    Image image;
    std::string why;
    switch (platform.read(host, image, why)) {
    case ImageRead::missing:
        problems.push_back(host + " not found: name the host's executable, or the folder it is in");
        break;
    case ImageRead::not_an_image:
        problems.push_back(host + " is not a program: " + why);
        break;
    case ImageRead::ok:
        break;
    }

    const std::string library = beside(platform, host, platform.library_name());
    switch (platform.read(library, image, why)) {
    case ImageRead::missing:
        problems.push_back(library + " not found: the host loads its hook library from its own folder; put " +
                           platform.library_name() + " there, beside " + platform.host_name());
        return problems;
    case ImageRead::not_an_image:
        problems.push_back(library + " is not a library: " + why);
        return problems;
    case ImageRead::ok:
        break;
    }
    check_machine(library, image, problems);
    check_entry(library, image, problems);
    check_imports(platform, library, std::move(image), problems);
    return problems;
}
