#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "checks.h"

namespace {

const char host[] = "C:\\hook\\hook_host.exe";
const char library[] = "C:\\hook\\TeskShellHook64.dll";

Image image(Machine machine, std::vector<std::string> exports, std::vector<std::string> imports)
{
    return {machine, machine == Machine::x86_64 ? "x86-64" : "x86", std::move(exports), std::move(imports)};
}

// Files as a Windows host's folder holds them, without a disk: at first a host beside a sound
// library, which imports what the system has.
class FakePlatform : public Platform {
public:
    FakePlatform()
    {
        system = {"KERNEL32.dll", "msvcrt.dll"};
        files[host].image = image(Machine::x86_64, {}, {"KERNEL32.dll", "TeskShellHook64.dll"});
        files[library].image = image(Machine::x86_64, {"DllMain", "SetTeskShellHook"}, {"KERNEL32.dll", "msvcrt.dll"});
    }

    struct File {
        ImageRead read = ImageRead::ok;
        Image image;
        std::string why;
    };
    std::map<std::string, File> files;
    std::set<std::string> system;

    const char* host_name() const override
    {
        return "hook_host.exe";
    }
    const char* library_name() const override
    {
        return "TeskShellHook64.dll";
    }
    char separator() const override
    {
        return '\\';
    }
    bool exists(const std::string& path) const override
    {
        return files.count(path) != 0;
    }
    ImageRead read(const std::string& path, Image& image, std::string& why) const override
    {
        const auto file = files.find(path);
        if (file == files.end())
            return ImageRead::missing;
        image = file->second.image;
        why = file->second.why;
        return file->second.read;
    }
    bool system_library(const std::string& name) const override
    {
        return system.count(name) != 0;
    }
};

bool says(const std::string& line, const std::vector<std::string>& words)
{
    for (const std::string& word : words) {
        if (line.find(word) == std::string::npos)
            return false;
    }
    return true;
}

TEST(HookCheck, FindsNothingWrongWithASoundHost)
{
    EXPECT_EQ(check_host(FakePlatform(), host), std::vector<std::string>{});
}

TEST(HookCheck, SaysWhereItLookedForAMissingHostOrLibrary)
{
    FakePlatform platform;
    platform.files.erase(library);
    const std::vector<std::string> problems = check_host(platform, host);
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_TRUE(says(problems[0], {"C:\\hook\\TeskShellHook64.dll not found", "beside hook_host.exe"})) << problems[0];

    platform.files.erase(host);
    const std::vector<std::string> both = check_host(platform, host);
    ASSERT_EQ(both.size(), 2U);
    EXPECT_TRUE(says(both[0], {"C:\\hook\\hook_host.exe not found"})) << both[0];

    platform.files[library] = {ImageRead::not_an_image, {}, "it is text"};
    EXPECT_EQ(check_host(platform, host).back(), std::string(library) + " is not a library: it is text");
}

TEST(HookCheck, SaysALibraryOfAnotherMachineIsOne)
{
    FakePlatform platform;
    platform.files[library].image.machine = Machine::x86;
    std::vector<std::string> problems = check_host(platform, host);
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_TRUE(says(problems[0], {library, "32-bit", "64-bit (x86-64) build"})) << problems[0];

    platform.files[library].image.machine = Machine::other;
    platform.files[library].image.machine_name = "ARM64";
    problems = check_host(platform, host);
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_TRUE(says(problems[0], {library, "built for ARM64, not x86-64"})) << problems[0];
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
        {{"_SetTeskShellHook"}, {"exports _SetTeskShellHook, not SetTeskShellHook"}},
        {{"SetTeskShellHookEx", "SetTeskShellHook@", "_", "@8"}, {"exports no SetTeskShellHook"}},
        {{}, {"exports no SetTeskShellHook", "hook_library/TeskShellHook.h"}},
        {{"_Z16SetTeskShellHookx", "SetTeskShellHook"}, {}},
    };
    for (const auto& c : cases) {
        FakePlatform platform;
        platform.files[library].image.exports = c.exports;
        const std::vector<std::string> problems = check_host(platform, host);
        ASSERT_EQ(problems.size(), c.said.empty() ? 0U : 1U) << c.exports.size();
        if (!c.said.empty())
            EXPECT_TRUE(says(problems[0], c.said)) << problems[0];
    }
}

TEST(HookCheck, NamesEachImportedLibraryFoundNeitherBesideTheHostNorInTheSystem)
{
    FakePlatform platform;
    platform.files[library].image.imports = {"KERNEL32.dll", "helper.dll", "gone.dll", "GONE.DLL"};
    // A library beside the host is checked in turn; one that imports the first does not loop.
    platform.files["C:\\hook\\helper.dll"].image =
        image(Machine::x86_64, {}, {"deeper.dll", "TeskShellHook64.dll", "helper.dll", "gone.dll"});
    const std::vector<std::string> problems = check_host(platform, host);
    ASSERT_EQ(problems.size(), 2U);
    EXPECT_TRUE(says(problems[0], {"C:\\hook\\TeskShellHook64.dll imports gone.dll", "beside the host (C:\\hook\\)",
                                   "put gone.dll beside the host"}))
        << problems[0];
    EXPECT_TRUE(says(problems[1], {"C:\\hook\\helper.dll imports deeper.dll"})) << problems[1];
}

TEST(HookCheck, SaysEveryProblemOfOneLibraryEachInALine)
{
    FakePlatform platform;
    platform.files[library].image = image(Machine::x86, {"_Z16SetTeskShellHookx"}, {"libstdc++-6.dll"});
    const std::vector<std::string> problems = check_host(platform, host);
    ASSERT_EQ(problems.size(), 3U);
    EXPECT_TRUE(says(problems[0], {"32-bit"}));
    EXPECT_TRUE(says(problems[1], {"extern \"C\""}));
    EXPECT_TRUE(says(problems[2], {"libstdc++-6.dll"}));
}

TEST(HookCheck, NamesAFileBesideAnotherWithThePlatformsSeparators)
{
    const FakePlatform platform;
    EXPECT_EQ(beside(platform, "C:\\a/b\\hook_host.exe", "x.dll"), "C:\\a/b\\x.dll");
    EXPECT_EQ(beside(platform, "C:\\a/b/hook_host.exe", "x.dll"), "C:\\a/b/x.dll");
    EXPECT_EQ(beside(platform, "hook_host.exe", "x.dll"), "x.dll");
}

} // namespace
