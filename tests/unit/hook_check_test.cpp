// hook_check's checks against fake images in a fake folder: what each fault of a host or its library is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "loader_trace.h"
#include "names.h"

namespace {

const char host[] = "C:\\hook\\hook_host.exe";
const char library[] = "C:\\hook\\TeskShellHook64.dll";

// `made` exporting `exports` as its reader tells them: the entry found by the loader's lookup, or the
// names it has where not.
void exporting(Image& made, std::vector<std::string> exports)
{
    made.entry = std::find(exports.begin(), exports.end(), entry_name) != exports.end() ? Entry::bound : Entry::absent;
    made.exports = std::move(exports);
}

Image image(Machine machine, std::vector<std::string> exports, std::vector<std::string> imports)
{
    Image made;
    made.machine = machine;
    made.machine_name = machine == Machine::x86_64 ? "x86-64" : "x86";
    exporting(made, std::move(exports));
    made.imports = std::move(imports);
    return made;
}

// Files as a Windows host's folder holds them, without a disk: at first a host beside a sound
// library, which imports what the system has.
class FakePlatform : public Platform {
public:
    FakePlatform()
    {
        system = {"KERNEL32.dll", "msvcrt.dll", "USER32.dll"};
        files[host].image = image(Machine::x86_64, {}, {"KERNEL32.dll", "TeskShellHook64.dll", "USER32.dll"});
        files[library].image = image(Machine::x86_64, {"DllMain", "SetTeskShellHook"}, {"KERNEL32.dll", "msvcrt.dll"});
    }

    struct File {
        ImageRead read = ImageRead::ok;
        Image image;
        std::string why;
    };
    std::map<std::string, File> files;
    std::set<std::string> system;
    char separator_ = '\\';
    bool system_folder = true;                       // whether the system's folder is found
    mutable std::map<std::string, uint32_t> hints;   // the hint each file was read with
    mutable std::map<std::string, int> reads;        // how often each file was read
    std::map<std::string, std::string> system_files; // the system's libraries that are files, by name

    const char* host_name() const override
    {
        return "hook_host.exe";
    }
    std::vector<HookLibrary> hook_libraries() const override
    {
        return {{"TeskShellHook64.dll", Machine::x86_64, "TeskShellHook64.def"},
                {"TeskShellHook32.dll", Machine::x86, "TeskShellHook32.def"},
                {"TeskShellHookARM64.dll", Machine::arm64, "TeskShellHookARM64.def"}};
    }
    char separator() const override
    {
        return separator_;
    }
    bool exists(const std::string& path) const override
    {
        return files.count(path) != 0;
    }
    ImageRead read(const std::string& path, uint32_t entry_hint, Image& image, std::string& why) const override
    {
        const auto file = files.find(path);
        if (file == files.end())
            return ImageRead::missing;
        hints[path] = entry_hint;
        ++reads[path];
        image = file->second.image;
        why = file->second.why;
        return file->second.read;
    }
    // A path is what it is, without case where the separator is Windows', and without "./" parts.
    std::string identity(const std::string& path) const override
    {
        std::string key = path;
        for (size_t at = key.find("/./"); at != std::string::npos; at = key.find("/./"))
            key.erase(at, 2);
        if (!exists(key))
            return std::string();
        if (separator_ == '\\')
            std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        return key;
    }
    // Where `loader` is set, the loader is asked, and reports `reports` one by one while it is heard.
    bool asks_loader() const override
    {
        return loader;
    }
    void ask_loader(const std::string&, const Image&,
                    const std::function<bool(const LoaderReport&)>& heard) const override
    {
        for (const LoaderReport& report : reports) {
            ++heard_reports;
            if (!heard(report))
                return;
        }
    }
    bool loader = false;
    std::vector<LoaderReport> reports;
    mutable size_t heard_reports = 0;
    // The system's libraries are there without a file to read, but for those given as files of the
    // system's folder.
    bool system_library(const std::string& name, Machine machine, std::string& path) const override
    {
        if (!system_folder)
            throw std::runtime_error("the system's system folder could not be found (error 2)");
        const auto file = system_files.find(name);
        path = file != system_files.end() ? file->second : std::string();
        return (system.count(name) != 0 || !path.empty()) && machine != Machine::other;
    }
    ApiSet api_set(const std::string& name, const std::string&, std::string& library, std::string& why) const override
    {
        const auto found = api_sets.find(name);
        if (found == api_sets.end())
            return ApiSet::none;
        library = found->second.second;
        why = "its schema is of format 2, not 6";
        return found->second.first;
    }
    std::map<std::string, std::pair<ApiSet, std::string>> api_sets; // by name: what it maps to
};

// An export table that finds what it is given, and nothing else; every lookup in any counted.
class TableExports : public Exports {
public:
    std::map<std::string, Found> names;
    std::map<std::string, std::string> forwards; // by name: the forwarder
    std::map<uint32_t, Found> ordinals;
    static inline size_t lookups = 0;
    Found find(const Import& import) const override
    {
        ++lookups;
        if (import.name.empty()) {
            const auto found = ordinals.find(import.ordinal);
            return found == ordinals.end() ? Found{} : found->second;
        }
        const auto forward = forwards.find(import.name);
        if (forward != forwards.end())
            return {Found::Kind::forwarded, forward->second, {}};
        const auto found = names.find(import.name);
        return found == names.end() ? Found{} : found->second;
    }
};

const std::string system_path = "C:\\Windows\\System32\\";

// A library of the system's folder that exports `names`, each as code or where `forwards` says.
Image system_image(std::vector<std::string> names, std::map<std::string, std::string> forwards = {})
{
    Image made = image(Machine::x86_64, {}, {});
    auto table = std::make_shared<TableExports>();
    for (const std::string& name : names)
        table->names[name] = {Found::Kind::code, {}, {}};
    table->forwards = std::move(forwards);
    table->ordinals[1] = {Found::Kind::code, {}, {}};
    made.exports_table = std::move(table);
    return made;
}

// A function imported from the library `library`.
struct Imported {
    std::string library;
    Import import;
};

// Bindings listed one by one, each by its library's place in the image's imports.
class ListedBindings : public Bindings {
public:
    std::vector<std::pair<size_t, Import>> imports;
    size_t size() const override
    {
        return imports.size();
    }
    Import at(size_t index, size_t& library) const override
    {
        library = imports[index].first;
        return imports[index].second;
    }
};

// `made` binding `imported` too, `times` over, when it is loaded (PE); its library imported too.
void binding(Image& made, const Imported& imported, size_t times = 1)
{
    auto listed = std::make_shared<ListedBindings>();
    if (made.bindings)
        *listed = static_cast<const ListedBindings&>(*made.bindings);
    const auto at = std::find(made.imports.begin(), made.imports.end(), imported.library);
    const auto library = static_cast<size_t>(at - made.imports.begin());
    if (at == made.imports.end())
        made.imports.push_back(imported.library);
    listed->imports.insert(listed->imports.end(), times, {library, imported.import});
    made.bindings = std::move(listed);
}

// `made` as the file `name` in the system's folder.
void system_file(FakePlatform& platform, const std::string& name, Image made)
{
    platform.files[system_path + name].image = std::move(made);
    platform.system_files[name] = system_path + name;
}

Imported import_of(const std::string& library, const std::string& name, uint32_t ordinal = 0)
{
    Imported made;
    made.library = library;
    made.import.name = name;
    made.import.ordinal = ordinal;
    return made;
}

bool says(const std::string& line, const std::vector<std::string>& words)
{
    for (const std::string& word : words) {
        if (line.find(word) == std::string::npos)
            return false;
    }
    return true;
}

std::vector<std::string> problems(const FakePlatform& platform, const std::string& at = host)
{
    return check_host(platform, at).problems;
}

TEST(HookCheck, FindsNothingWrongWithASoundHostAndSaysWhatItChecked)
{
    const Verdict verdict = check_host(FakePlatform(), host);
    EXPECT_EQ(verdict.problems, std::vector<std::string>{});
    EXPECT_TRUE(verdict.hook_host);
    EXPECT_EQ(verdict.library, library);
    EXPECT_TRUE(says(verdict.checked, {"no problem found in the files", "x86-64 host", "TeskShellHook64.dll",
                                       "3 libraries they import", "--start"}))
        << verdict.checked;
    EXPECT_EQ(verdict.checked.find("will start"), std::string::npos);
}

TEST(HookCheck, SaysWhereItLookedForAMissingHostOrLibraryInOneLine)
{
    FakePlatform platform;
    platform.files.erase(library);
    std::vector<std::string> found = problems(platform);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_TRUE(says(found[0], {"C:\\hook\\TeskShellHook64.dll not found", "beside hook_host.exe"})) << found[0];

    platform.files.erase(host);
    const Verdict missing = check_host(platform, host);
    EXPECT_EQ(missing.problems, std::vector<std::string>{std::string(host) + " not found: name the host's "
                                                                             "executable, or the folder it is in"});
    EXPECT_FALSE(missing.hook_host);

    FakePlatform text;
    text.files[library] = {ImageRead::not_an_image, {}, "it is text"};
    EXPECT_EQ(problems(text).back(), std::string(library) + " is not a library: it is text");
    text.files[library] = {ImageRead::unreadable, {}, "it changed while it was read"};
    EXPECT_EQ(problems(text).back(), std::string(library) + " could not be read: it changed while it was read");
}

TEST(HookCheck, JudgesOnlyAProgramThatBindsTheHookLibraryOfItsMachine)
{
    const struct {
        Image image;
        ImageRead read;
        std::vector<std::string> said;
    } cases[] = {
        // The hook library itself, or a controller, handed over as the host.
        {image(Machine::x86_64, {"SetTeskShellHook"}, {"KERNEL32.dll"}), ImageRead::ok, {"binds no hook library"}},
        {image(Machine::x86, {}, {"TeskShellHook64.dll"}), ImageRead::ok, {"x86 program", "TeskShellHook64.dll"}},
        {image(Machine::x86_64, {}, {"TESKSHELLHOOK32.DLL"}), ImageRead::ok, {"x86-64 program", "x86 hosts"}},
        {{}, ImageRead::not_an_image, {"is not a hook host: it is text"}},
        {{}, ImageRead::damaged, {"is damaged, and the loader refuses it: it is cut"}},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        platform.files[host] = {c.read, c.image, c.read == ImageRead::not_an_image ? "it is text" : "it is cut"};
        const Verdict verdict = check_host(platform, host);
        EXPECT_FALSE(verdict.hook_host);
        ASSERT_EQ(verdict.problems.size(), 1U);
        EXPECT_TRUE(says(verdict.problems[0], c.said)) << verdict.problems[0];
    }
}

TEST(HookCheck, SaysALibraryOfAnotherMachineIsOneAndAHybridOneIsNotModelled)
{
    const std::string arm64_host = "C:\\hook\\hook_host_arm64.exe";
    const struct {
        bool arm64;       // the ARM64 host, else the 64-bit one
        Machine machine;  // the library's
        const char* name; // as its header names the machine
        const char* unmodelled;
        std::vector<std::string> said;
    } cases[] = {
        {false, Machine::x86, "x86", "", {"is a 32-bit (x86) library", "64-bit (x86-64) build"}},
        {false, Machine::arm64, "ARM64", "", {"is an ARM64 library: the 64-bit host", "build it for x86-64"}},
        {false, Machine::other, "ARM", "", {"is built for ARM, not x86-64"}},
        {true,
         Machine::x86_64,
         "x86-64",
         "",
         {"TeskShellHookARM64.dll is a 64-bit (x86-64) library: the ARM64 host (hook_host_arm64.exe) is an ARM64 "
          "program and loads only the ARM64 build of its hook library; build it for ARM64"}},
        // Which processes a hybrid image serves is not modelled: never judged by its header alone.
        {false, Machine::arm64, "ARM64", "an ARM64X image", {"is an ARM64X image, which hook_check does not model"}},
        {true, Machine::arm64, "ARM64", "an ARM64X image", {"is an ARM64X image, which hook_check does not model"}},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        std::string path = library;
        if (c.arm64) {
            path = "C:\\hook\\TeskShellHookARM64.dll";
            platform.files[arm64_host].image = image(Machine::arm64, {}, {"TeskShellHookARM64.dll"});
            platform.files[path] = platform.files[library];
        }
        Image& made = platform.files[path].image;
        made.machine = c.machine;
        made.machine_name = c.name;
        made.unmodelled = c.unmodelled;
        const std::vector<std::string> found = problems(platform, c.arm64 ? arm64_host : host);
        ASSERT_EQ(found.size(), 1U) << c.said[0];
        EXPECT_TRUE(says(found[0], c.said)) << found[0];
        EXPECT_EQ(found[0].rfind(path, 0), 0U) << found[0];
    }
}

// The 32-bit host, told by its import, and the 32-bit library beside it.
void make_host32(FakePlatform& platform)
{
    platform.files.clear();
    platform.files["C:\\hook\\hook_host32.exe"].image =
        image(Machine::x86, {}, {"KERNEL32.dll", "TeskShellHook32.dll", "USER32.dll"});
    platform.files["C:\\hook\\TeskShellHook32.dll"].image =
        image(Machine::x86, {"SetTeskShellHook"}, {"KERNEL32.dll", "msvcrt.dll"});
}

TEST(HookCheck, ChecksThe32BitHostsLibraryFor32BitAndItsCallingConvention)
{
    const std::string host32_path = "C:\\hook\\hook_host32.exe";
    const std::string library32 = "C:\\hook\\TeskShellHook32.dll";
    FakePlatform platform32;
    make_host32(platform32);
    const Verdict sound = check_host(platform32, host32_path);
    EXPECT_EQ(sound.problems, std::vector<std::string>{});
    EXPECT_EQ(sound.library, library32);
    EXPECT_TRUE(says(sound.checked, {"x86 host", "TeskShellHook32.dll beside it (x86"})) << sound.checked;

    const struct {
        Machine machine;
        std::vector<std::string> exports;
        std::vector<std::string> said;
    } cases[] = {
        {Machine::x86_64, {"SetTeskShellHook"}, {library32, "64-bit", "32-bit host (hook_host32.exe)", "(x86) build"}},
        {Machine::x86,
         {"SetTeskShellHook@4"},
         {"exports SetTeskShellHook@4", "__stdcall", "__cdecl", "hook_library/TeskShellHook.h", "TeskShellHook32.def"}},
        {Machine::x86, {"_SetTeskShellHook@4"}, {"exports _SetTeskShellHook@4", "__stdcall", "__cdecl"}},
        {Machine::x86, {"setTeskShellHook"}, {"not SetTeskShellHook", "hook_library/TeskShellHook32.def"}},
        {Machine::x86, {}, {"exports no SetTeskShellHook", "hook_library/TeskShellHook32.def"}},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        make_host32(platform);
        platform.files[library32].image.machine = c.machine;
        exporting(platform.files[library32].image, c.exports);
        const std::vector<std::string> found = problems(platform, host32_path);
        ASSERT_EQ(found.size(), 1U) << c.said[0];
        EXPECT_TRUE(says(found[0], c.said)) << found[0];
    }
}

TEST(HookCheck, TellsAnEntryUnderItsCxxNameOrANearNameFromNone)
{
    const struct {
        std::vector<std::string> exports;
        std::vector<std::string> said; // one problem, with these words; none if empty
    } cases[] = {
        {{"_Z16SetTeskShellHookx"}, {"C++ name _Z16SetTeskShellHookx", "extern \"C\""}},
        {{"_ZN4hook16SetTeskShellHookEx"}, {"C++ name _ZN4hook16SetTeskShellHookEx", "extern \"C\""}},
        {{"?SetTeskShellHook@@YAX_J@Z"}, {"C++ name ?SetTeskShellHook@@YAX_J@Z", "extern \"C\""}},
        {{"setteskshellhook"}, {"exports setteskshellhook, not SetTeskShellHook", "exactly that name"}},
        {{"SetTeskShellHook@8"}, {"exports SetTeskShellHook@8, not SetTeskShellHook"}},
        {{"_SetTeskShellHook"}, {"exports _SetTeskShellHook, not SetTeskShellHook", "TeskShellHook64.def"}},
        {{"SetTeskShellHookEx", "SetTeskShellHook@", "_", "@8"}, {"exports no SetTeskShellHook"}},
        {{}, {"exports no SetTeskShellHook", "hook_library/TeskShellHook.h"}},
        {{"_Z16SetTeskShellHookx", "SetTeskShellHook"}, {}},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        exporting(platform.files[library].image, c.exports);
        const std::vector<std::string> found = problems(platform);
        ASSERT_EQ(found.size(), c.said.empty() ? 0U : 1U) << c.exports.size();
        if (!c.said.empty())
            EXPECT_TRUE(says(found[0], c.said)) << found[0];
    }
}

TEST(HookCheck, NamesDamageAndAnEntryTheLoaderCannotBind)
{
    FakePlatform platform;
    platform.files[library].image.entry = Entry::unbound;
    platform.files[library].image.entry_why = "it is forwarded to other.Hook";
    platform.files[host].image.damage = {"its import directory runs out"};
    const std::vector<std::string> found = problems(platform);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0], std::string(host) + " is damaged, and the loader refuses it: its import directory runs out");
    EXPECT_TRUE(says(found[1], {"exports SetTeskShellHook, but the loader cannot bind it: it is forwarded to "
                                "other.Hook"}))
        << found[1];

    FakePlatform damaged;
    damaged.files[library] = {ImageRead::damaged, {}, "its section table runs past the file's end"};
    EXPECT_EQ(problems(damaged), std::vector<std::string>{std::string(library) + " is damaged, and the loader "
                                                                                 "refuses it: its section table "
                                                                                 "runs past the file's end"});
}

TEST(HookCheck, LooksTheEntryUpFromTheHostsHintAndSaysOnlyTheDamageThatHidesIt)
{
    FakePlatform platform;
    platform.files[host].image.entry_hint = 7;
    Image& hidden = platform.files[library].image;
    hidden.entry = Entry::missed;
    hidden.exports = {"B", "SetTeskShellHook"};
    hidden.damage = {"its export names are out of order"};
    EXPECT_EQ(problems(platform), std::vector<std::string>{std::string(library) + " is damaged, and the loader "
                                                                                  "refuses it: its export names are "
                                                                                  "out of order"});
    EXPECT_EQ(platform.hints[library], 7U);
    EXPECT_EQ(platform.hints[host], no_hint);
}

TEST(HookCheck, TellsLibrariesApartByCaseOnLinuxOnly)
{
    // Windows' loader finds HELPER.dll as helper.dll; the dynamic linker looks for a file of that very name.
    for (const char separator : {'\\', '/'}) {
        FakePlatform platform;
        platform.separator_ = separator;
        const std::string folder = separator == '/' ? "/hook/" : "C:\\hook\\";
        platform.files.clear();
        platform.files[folder + "hook_host.exe"].image =
            image(Machine::x86_64, {}, {"TeskShellHook64.dll", "helper.dll", "HELPER.dll"});
        platform.files[folder + "TeskShellHook64.dll"].image = image(Machine::x86_64, {"SetTeskShellHook"}, {});
        platform.files[folder + "helper.dll"].image = image(Machine::x86_64, {}, {});
        const std::vector<std::string> found = problems(platform, folder + "hook_host.exe");
        if (separator == '/') {
            ASSERT_EQ(found.size(), 1U);
            EXPECT_TRUE(says(found[0], {"/hook/hook_host.exe imports HELPER.dll, which is neither beside"}))
                << found[0];
        } else {
            EXPECT_EQ(found, std::vector<std::string>{});
        }
    }
}

TEST(HookCheck, StopsWhereThePlatformCannotTellTheSystemsLibraries)
{
    FakePlatform platform;
    platform.system_folder = false;
    const Verdict verdict = check_host(platform, host);
    EXPECT_EQ(verdict.problems, std::vector<std::string>{"hook_check could not finish: the system's system folder "
                                                         "could not be found (error 2)"});
    EXPECT_EQ(verdict.checked, "");
}

TEST(HookCheck, ShowsANameFromAnImageWithItsControlAndNonAsciiBytesEscapedAndALongOneCut)
{
    EXPECT_EQ(shown("KERNEL32.dll"), "KERNEL32.dll");
    EXPECT_EQ(shown("\x1b[31mred\x7f\xc3\xa9\n"), "\\x1b[31mred\\x7f\\xc3\\xa9\\x0a");
    EXPECT_EQ(shown(std::string(200, 'n')), std::string(200, 'n'));
    EXPECT_EQ(shown(std::string(5000, 'n')), std::string(200, 'n') + "... (5000 bytes)");
}

TEST(HookCheck, ReadsANamesPlaceOnceAndNoMoreBytesInAllThanItsBudget)
{
    const std::string table = std::string(100, 'n') + '\0' + "short" + '\0' + "unended";
    const auto* at = reinterpret_cast<const unsigned char*>(table.data());
    Names names(150);
    std::string_view name;
    EXPECT_EQ(names.read(at, table.size(), name), Names::Read::fresh);
    EXPECT_EQ(name, std::string(100, 'n'));
    EXPECT_EQ(names.read(at, table.size(), name), Names::Read::again);
    EXPECT_EQ(names.read(at + 101, table.size() - 101, name), Names::Read::fresh);
    EXPECT_EQ(name, "short");
    EXPECT_EQ(names.read(at + 107, table.size() - 107, name), Names::Read::unended);
    EXPECT_EQ(names.read(at, 50, name), Names::Read::unended);
    EXPECT_FALSE(names.spent());
    // 114 bytes read and 30 copied leave 6: a copy of 7 spends them; a name read before is still
    // answered, but no other.
    EXPECT_TRUE(names.charge(30));
    EXPECT_FALSE(names.spent());
    EXPECT_FALSE(names.charge(7));
    EXPECT_TRUE(names.spent());
    EXPECT_EQ(names.read(at + 101, table.size() - 101, name), Names::Read::again);
    EXPECT_EQ(names.read(at + 1, table.size() - 1, name), Names::Read::spent);
}

TEST(HookCheck, OrdersANameAgainstTheEntryAsTheLoadersStrcmpReadingNoFurtherThanItsRoom)
{
    const struct {
        std::string name;
        bool read;
        int order;
    } cases[] = {
        {std::string("SetTeskShellHook", 17), true, 0},
        {std::string("SetTeskShellHookEx", 19), true, -1},
        {std::string("B", 2), true, 1},
        {std::string("\xff", 2), true, -1},
        {"SetTeskShellHook", false, 0},
    };
    for (const auto& c : cases) {
        int order = 2;
        EXPECT_EQ(compare_name(entry_name, reinterpret_cast<const unsigned char*>(c.name.data()), c.name.size(), order),
                  c.read)
            << c.name;
        if (c.read)
            EXPECT_EQ(order, c.order) << c.name;
    }
}

TEST(HookCheck, NamesEachImportedLibraryFoundNeitherBesideTheHostNorInTheSystem)
{
    FakePlatform platform;
    platform.files[library].image.imports = {"KERNEL32.dll", "helper.dll", "gone.dll", "GONE.DLL"};
    // A library beside the host is checked in turn; one that imports the first does not loop.
    platform.files["C:\\hook\\helper.dll"].image =
        image(Machine::x86_64, {}, {"deeper.dll", "TeskShellHook64.dll", "helper.dll", "gone.dll"});
    // The host's own imports are checked as the library's are.
    platform.files[host].image.imports.emplace_back("hostdep.dll");
    const std::vector<std::string> found = problems(platform);
    ASSERT_EQ(found.size(), 3U);
    EXPECT_TRUE(says(found[0], {"C:\\hook\\hook_host.exe imports hostdep.dll", "neither beside the host"})) << found[0];
    EXPECT_TRUE(says(found[1], {"C:\\hook\\TeskShellHook64.dll imports gone.dll", "beside the host (C:\\hook\\)",
                                "put gone.dll beside the host"}))
        << found[1];
    EXPECT_TRUE(says(found[2], {"C:\\hook\\helper.dll imports deeper.dll"})) << found[2];
}

TEST(HookCheck, SaysEveryProblemOfOneLibraryEachInALine)
{
    FakePlatform platform;
    platform.files[library].image = image(Machine::x86, {"_Z16SetTeskShellHookx"}, {"libstdc++-6.dll"});
    const std::vector<std::string> found = problems(platform);
    ASSERT_EQ(found.size(), 3U);
    EXPECT_TRUE(says(found[0], {"32-bit"}));
    EXPECT_TRUE(says(found[1], {"extern \"C\""}));
    EXPECT_TRUE(says(found[2], {"libstdc++-6.dll"}));
}

TEST(HookCheck, NamesAFileBesideAnotherWithThePlatformsSeparators)
{
    const FakePlatform platform;
    EXPECT_EQ(beside(platform, "C:\\a/b\\hook_host.exe", "x.dll"), "C:\\a/b\\x.dll");
    EXPECT_EQ(beside(platform, "C:\\a/b/hook_host.exe", "x.dll"), "C:\\a/b/x.dll");
    EXPECT_EQ(beside(platform, "hook_host.exe", "x.dll"), "x.dll");
}

TEST(HookCheck, SaysAHundredProblemsAndCountsTheRest)
{
    FakePlatform platform;
    for (int i = 0; i < 250; ++i)
        platform.files[library].image.imports.push_back("gone" + std::to_string(i) + ".dll");
    const std::vector<std::string> found = problems(platform);
    ASSERT_EQ(found.size(), 101U);
    EXPECT_TRUE(says(found[99], {"imports gone99.dll"})) << found[99];
    EXPECT_EQ(found[100], "... and 150 more problems, not shown");
}

// A Linux host's folder, whose loader is asked: the host beside a sound library, and `reports`.
void linux_folder(FakePlatform& platform, std::vector<LoaderReport> reports)
{
    platform.separator_ = '/';
    platform.loader = true;
    platform.files.clear();
    platform.files["/hook/hook_host.exe"].image = image(Machine::x86_64, {}, {"TeskShellHook64.dll", "libc.so.6"});
    platform.files["/hook/TeskShellHook64.dll"].image = image(Machine::x86_64, {"SetTeskShellHook"}, {"libc.so.6"});
    platform.reports = std::move(reports);
}

std::vector<std::string> linux_problems(const FakePlatform& platform)
{
    return problems(platform, "/hook/hook_host.exe");
}

using Kind = LoaderReport::Kind;
const LoaderReport libc_loaded{Kind::loaded, "libc.so.6", "/lib/libc.so.6", {}, {}};
const LoaderReport hook_loaded{Kind::loaded, "TeskShellHook64.dll", "/hook/TeskShellHook64.dll", {}, {}};
const LoaderReport gone_needed{Kind::needed, "gone.so", "/hook/TeskShellHook64.dll", {}, {}};
const LoaderReport entry_unbound{Kind::symbol, "SetTeskShellHook", "/hook/hook_host.exe", {}, {}};

TEST(HookCheck, SaysEachThingTheLoaderReportsInALineWithWhatTheFilesShow)
{
    const struct {
        std::vector<LoaderReport> reports;
        std::vector<std::string> exports;           // the library's, where not the entry
        std::vector<std::vector<std::string>> said; // a line each
    } cases[] = {
        {{hook_loaded, libc_loaded}, {}, {}},
        // A library found nowhere is named with the file that needs it, what is beside the host told.
        {{hook_loaded, gone_needed, {Kind::missing, "gone.so", {}, {}, {}}, entry_unbound},
         {},
         {{"/hook/TeskShellHook64.dll imports gone.so, which is neither beside the host (/hook/)", "not found"}}},
        {{{Kind::missing, "x86.so", {}, {}, {}}, {Kind::missing, "beside.so", {}, {}, {}}},
         {},
         {{"a library loaded with the host imports x86.so, which is not built for x86-64"},
          {"imports beside.so, which is beside the host but not where the loader looks"}}},
        {{{Kind::version, "GLIBC_9.9.9", "/hook/TeskShellHook64.dll", "/lib/libc.so.6", {}},
          {Kind::symbol, "puts", "/hook/TeskShellHook64.dll", "GLIBC_9.9.9", {}}},
         {},
         {{"/hook/TeskShellHook64.dll needs version GLIBC_9.9.9 of /lib/libc.so.6",
           "version `GLIBC_9.9.9' not found"}}},
        // Bindings are said where every library was found; the host's entry as its library shows it.
        {{hook_loaded, {Kind::symbol, "nowhere\x1b", "/hook/TeskShellHook64.dll", "V1", {}}, entry_unbound},
         {"_Z16SetTeskShellHookx"},
         {{"/hook/TeskShellHook64.dll binds nowhere\\x1b (version V1), and no library", "undefined symbol"},
          {"C++ name _Z16SetTeskShellHookx"}}},
        {{hook_loaded, entry_unbound}, {"DllMain"}, {{"exports no SetTeskShellHook"}}},
        {{{Kind::loaded, "TeskShellHook64.dll", "/elsewhere/TeskShellHook64.dll", {}, {}}},
         {},
         {{"/hook/hook_host.exe loads TeskShellHook64.dll from /elsewhere/TeskShellHook64.dll, not from beside it"}}},
        {{{Kind::refused, {}, {}, {}, "/hook/gone.so: cannot read file data: Error 21\x07"}},
         {},
         {{"the dynamic linker refuses to start /hook/hook_host.exe: /hook/gone.so: cannot read file data: Error "
           "21\\x07"}}},
        {{{Kind::unjudged, {}, {}, {}, "it names /tmp/ld.so as its dynamic linker"}},
         {},
         {{"hook_check could not ask the dynamic linker whether it starts /hook/hook_host.exe: it names /tmp/ld.so"}}},
    };
    for (const auto& check : cases) {
        FakePlatform platform;
        linux_folder(platform, check.reports);
        if (!check.exports.empty())
            exporting(platform.files["/hook/TeskShellHook64.dll"].image, check.exports);
        platform.files["/hook/x86.so"].image = image(Machine::x86, {}, {});
        platform.files["/hook/beside.so"].image = image(Machine::x86_64, {}, {});
        const Verdict verdict = check_host(platform, "/hook/hook_host.exe");
        ASSERT_EQ(verdict.problems.size(), check.said.size()) << (verdict.problems.empty() ? "" : verdict.problems[0]);
        for (size_t i = 0; i < check.said.size(); ++i)
            EXPECT_TRUE(says(verdict.problems[i], check.said[i])) << verdict.problems[i];
        if (check.said.empty())
            EXPECT_TRUE(says(verdict.checked, {"exports SetTeskShellHook) and the 1 libraries"})) << verdict.checked;
    }
}

TEST(HookCheck, AsksTheLoaderOnlyWhereTheFilesShowNothingWrongAndStopsItAtAHundredLines)
{
    FakePlatform platform;
    std::vector<LoaderReport> missing(250, {Kind::missing, "gone.so", {}, {}, {}});
    linux_folder(platform, missing);
    platform.files["/hook/TeskShellHook64.dll"].image.machine = Machine::x86;
    EXPECT_EQ(linux_problems(platform).size(), 1U);
    EXPECT_EQ(platform.heard_reports, 0U);

    platform.files["/hook/TeskShellHook64.dll"].image.machine = Machine::x86_64;
    const std::vector<std::string> found = linux_problems(platform);
    ASSERT_EQ(found.size(), 101U);
    EXPECT_EQ(found[100], "... and more problems, not shown: hook_check stopped the dynamic linker at the first 100");
    EXPECT_EQ(platform.heard_reports, 100U);
}

TEST(HookCheck, ReadsEachLineOfTheDynamicLinkersTraceAsItWritesIt)
{
    const char program[] = "/h/hook_host";
    const struct {
        const char* line;
        bool read;
        LoaderReport report;
    } lines[] = {
        {"\tlibc.so.6 => /lib/libc.so.6 (0x00007f4c08386000)", true, libc_loaded},
        {"\t/lib64/ld-linux-x86-64.so.2 (0x00007f4c0858e000)",
         true,
         {Kind::loaded, "/lib64/ld-linux-x86-64.so.2", "/lib64/ld-linux-x86-64.so.2", {}, {}}},
        {"\tlinux-vdso.so.1 (0x00007f4c0858c000)", true, {Kind::loaded, "linux-vdso.so.1", {}, {}, {}}},
        {"\ta => b.so => not found", true, {Kind::missing, "a => b.so", {}, {}, {}}},
        {"undefined symbol: getenv, version GLIBC_9.9.9\t(/h/lib.so)",
         true,
         {Kind::symbol, "getenv", "/h/lib.so", "GLIBC_9.9.9", {}}},
        {"undefined symbol: hook_check_gone\t(/h/lib.so)",
         true,
         {Kind::symbol, "hook_check_gone", "/h/lib.so", {}, {}}},
        {"/h/hook_host: /lib/libc.so.6: version `GLIBC_9.9.9' not found (required by /h/lib.so)",
         true,
         {Kind::version, "GLIBC_9.9.9", "/h/lib.so", "/lib/libc.so.6", {}}},
        {"/h/hook_host: error while loading shared libraries: /h/x.so: cannot read file data: Error 21",
         true,
         {Kind::refused, {}, {}, {}, "/h/x.so: cannot read file data: Error 21"}},
        {"Inconsistency detected by ld.so: dl-version.c: 204: _dl_check_map_versions: Assertion `needed != NULL' "
         "failed!",
         true,
         {Kind::refused,
          {},
          {},
          {},
          "Inconsistency detected by ld.so: dl-version.c: 204: _dl_check_map_versions: Assertion `needed != NULL' "
          "failed!"}},
        {"       569:\tfile=gone.so [0];  needed by /h/lib.so [0]",
         true,
         {Kind::needed, "gone.so", "/h/lib.so", {}, {}}},
        {"       569:\tfile=gone.so [0];  generating link map", false, {}},
        {"       569:\t/h/lib.so: error: symbol lookup error: undefined symbol: x (continued)", false, {}},
        {"", false, {}},
    };
    for (const auto& check : lines) {
        LoaderReport report;
        ASSERT_EQ(read_trace_line(check.line, program, report), check.read) << check.line;
        if (!check.read)
            continue;
        EXPECT_EQ(report.kind, check.report.kind) << check.line;
        EXPECT_EQ(report.name, check.report.name) << check.line;
        EXPECT_EQ(report.file, check.report.file) << check.line;
        EXPECT_EQ(report.library, check.report.library) << check.line;
        EXPECT_EQ(report.text, check.report.text) << check.line;
    }
}

} // namespace

namespace {

TEST(HookCheck, BindsEachImportedFunctionAsTheLoaderDoesFollowingForwardersAndApiSets)
{
    const std::string& system = system_path;
    const struct {
        Imported import;
        std::vector<std::string> said; // one problem, with these words; none if empty
    } cases[] = {
        {import_of("KERNEL32.dll", "GetTickCount"), {}},
        {import_of("kernel32.DLL", "NoSuchFunctionXYZ"),
         {library,
          " imports NoSuchFunctionXYZ from kernel32.DLL (" + system +
              "KERNEL32.dll), which does not "
              "export NoSuchFunctionXYZ",
          "0xC0000139"}},
        {import_of("KERNEL32.dll", "", 1), {}},
        {import_of("KERNEL32.dll", "", 60000), {"imports ordinal 60000 from KERNEL32.dll", "0xC0000138"}},
        // Forwarded on, to a name, an ordinal, a library not found, round a loop, and on and on.
        {import_of("KERNEL32.dll", "AcquireLock"), {}},
        {import_of("KERNEL32.dll", "ByOrdinal"), {}},
        {import_of("KERNEL32.dll", "Gone"),
         {"which forwards it to NTDLL.RtlGone (" + system + "NTDLL.dll), which does not export RtlGone"}},
        {import_of("KERNEL32.dll", "Newer"), {"which forwards it to NEWER.Thing, and NEWER.dll is not found"}},
        {import_of("KERNEL32.dll", "Loop"), {"forwarders lead round in a loop, back to NTDLL.Loop"}},
        {import_of("KERNEL32.dll", "Odd"), {"forwards it to NoDot, which names no library and function"}},
        {import_of("KERNEL32.dll", "Far0"), {"forwarders lead on more than 16 times, the last to NTDLL.Far17"}},
        // An API set, mapped as the system maps it; to none; and where the schema cannot be read.
        {import_of("api-ms-win-core-x-l1-1-0.dll", "GetTickCount"), {}},
        {import_of("api-ms-win-core-x-l1-1-0.dll", "Missing"),
         {"imports Missing from api-ms-win-core-x-l1-1-0.dll (" + system + "kernelbase.dll), which does not export"}},
        {import_of("ext-ms-win-none-l1-1-0.dll", "Any"), {"an API set that this system maps to no library"}},
        {import_of("api-ms-win-unknown-l1-1-0.dll", "Any"), {"cannot tell which library", "format 2, not 6"}},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        std::map<std::string, std::string> forwards = {{"AcquireLock", "NTDLL.RtlAcquireLock"},
                                                       {"ByOrdinal", "NTDLL.#1"},
                                                       {"Gone", "NTDLL.RtlGone"},
                                                       {"Newer", "NEWER.Thing"},
                                                       {"Loop", "NTDLL.Loop"},
                                                       {"Odd", "NoDot"}};
        std::map<std::string, std::string> ntdll = {{"Loop", "KERNEL32.Loop"}};
        // Far0 of KERNEL32 forwarded to Far1 of NTDLL, that to Far2 of KERNEL32, and so on.
        for (int i = 0; i < 40; ++i)
            (i % 2 ? ntdll : forwards)["Far" + std::to_string(i)] =
                (i % 2 ? "KERNEL32.Far" : "NTDLL.Far") + std::to_string(i + 1);
        system_file(platform, "KERNEL32.dll", system_image({"GetTickCount"}, forwards));
        system_file(platform, "NTDLL.dll", system_image({"RtlAcquireLock"}, ntdll));
        system_file(platform, "kernelbase.dll", system_image({"GetTickCount"}));
        platform.api_sets["api-ms-win-core-x-l1-1-0.dll"] = {Platform::ApiSet::mapped, "kernelbase.dll"};
        platform.api_sets["ext-ms-win-none-l1-1-0.dll"] = {Platform::ApiSet::unhosted, ""};
        platform.api_sets["api-ms-win-unknown-l1-1-0.dll"] = {Platform::ApiSet::unknown, ""};
        binding(platform.files[library].image, c.import);
        const std::vector<std::string> found = problems(platform);
        ASSERT_EQ(found.size(), c.said.empty() ? 0U : 1U) << c.import.library << " " << c.import.import.name;
        if (!c.said.empty())
            EXPECT_TRUE(says(found[0], c.said)) << found[0];
    }
}

TEST(HookCheck, FollowsEachForwarderOnceHoweverManyImportsLeadThroughIt)
{
    // One function imported 10,000 times and forwarded through 16 libraries beside the host (17: one
    // too many) to the system's, which has it or lacks it: each table is looked in once for each
    // import and once for each forwarder, not once for each import at each forwarder.
    constexpr size_t imports = 10000;
    const struct {
        size_t libraries;
        const char* last;              // the last library's forwarder
        std::vector<std::string> said; // the first of a hundred problems, with these words; none if empty
    } cases[] = {
        {16, "KERNEL32.GetTickCount", {}},
        {16,
         "KERNEL32.Gone",
         {"TeskShellHook64.dll imports F from fw00.dll (C:\\hook\\fw00.dll), which forwards it to fw01.F "
          "(C:\\hook\\fw01.dll)",
          "forwards it to KERNEL32.Gone (" + system_path + "KERNEL32.dll), which does not export Gone"}},
        {17, "KERNEL32.GetTickCount", {"forwarders lead on more than 16 times, the last to KERNEL32.GetTickCount"}},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        system_file(platform, "KERNEL32.dll", system_image({"GetTickCount"}));
        const auto named = [](size_t i) { return std::string(i < 10 ? "fw0" : "fw") + std::to_string(i); };
        for (size_t i = 0; i < c.libraries; ++i) {
            platform.files["C:\\hook\\" + named(i) + ".dll"].image =
                system_image({}, {{"F", i + 1 < c.libraries ? named(i + 1) + ".F" : c.last}});
        }
        binding(platform.files[library].image, import_of("fw00.dll", "F"), imports);
        TableExports::lookups = 0;
        const std::vector<std::string> found = problems(platform);
        EXPECT_LE(TableExports::lookups, imports + c.libraries + 1) << c.last;
        if (c.said.empty()) {
            EXPECT_EQ(found, std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(found.size(), 101U) << c.last;
        EXPECT_TRUE(says(found[0], c.said)) << found[0];
        EXPECT_EQ(found[99], found[0]);
        EXPECT_EQ(found[100], "... and 9900 more problems, not shown");
    }
}

TEST(HookCheck, BindsAnImportFromTheLibraryBesideTheHostFirstButAKnownDll)
{
    const struct {
        const char* name;
        Machine machine;
        std::vector<std::string> said; // one problem, with these words; none if empty
    } cases[] = {
        // A copy beside the host is the one the loader takes: here one that lacks the function, or one
        // of another machine; Windows maps a KnownDLL from its system folder whatever is beside it.
        {"VERSION.dll",
         Machine::x86_64,
         {"imports GetTickCount from VERSION.dll (C:\\hook\\VERSION.dll), which does not export GetTickCount",
          "0xC0000139"}},
        {"VERSION.dll",
         Machine::x86,
         {"C:\\hook\\VERSION.dll, which C:\\hook\\TeskShellHook64.dll imports, is built for x86", "0xC000007B"}},
        {"KERNEL32.dll", Machine::x86, {}},
    };
    for (const auto& check : cases) {
        FakePlatform platform;
        system_file(platform, check.name, system_image({"GetTickCount"}));
        platform.files[std::string("C:\\hook\\") + check.name].image = system_image({});
        platform.files[std::string("C:\\hook\\") + check.name].image.machine = check.machine;
        binding(platform.files[library].image, import_of(check.name, "GetTickCount"));
        // The host's binding of the entry is told of the library, once.
        binding(platform.files[host].image, import_of("TeskShellHook64.dll", entry_name));
        const std::vector<std::string> found = problems(platform);
        ASSERT_EQ(found.size(), check.said.empty() ? 0U : 1U) << check.name << (found.empty() ? "" : found[0]);
        if (!check.said.empty())
            EXPECT_TRUE(says(found[0], check.said)) << found[0];
    }
}

} // namespace
