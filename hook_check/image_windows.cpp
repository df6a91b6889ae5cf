// image.h on Windows: images read by pe_image.h from the file's bytes read into memory, not by the
// system's image services, which trust the headers of the file they map; and the system's libraries
// found in its own folders, as the loader finds them for a program started in its folder: the
// 64-bit ones in the system folder, the 32-bit ones in its WOW64 folder. None of a library's code runs.
// Paths are UTF-8 here and UTF-16 to the system, so that a folder named in no ANSI code page works.
#include <windows.h>

#include <string.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "api_sets.h"
#include "image.h"
#include "pe_image.h"

namespace {

// The longest path the system takes, in UTF-16 units.
constexpr DWORD most_path = 32768;

std::wstring utf16(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string utf8(const wchar_t* text, size_t length)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

// The bytes of the file at `path`, read into memory rather than mapped, so that a build may rewrite
// it meanwhile (it is shared for writing): a file whose size or time of writing changed while it was
// read is unreadable.
ImageRead read_file(const std::string& path, std::vector<unsigned char>& bytes, std::string& why)
{
    const HANDLE file =
        CreateFileW(utf16(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER before{};
    LARGE_INTEGER after{};
    FILETIME written_before{};
    FILETIME written_after{};
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &before) ||
        !GetFileTime(file, nullptr, nullptr, &written_before)) {
        why = "it cannot be opened (error " + std::to_string(GetLastError()) + ")";
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        return ImageRead::unreadable;
    }
    bytes.resize(static_cast<size_t>(before.QuadPart));
    size_t got = 0;
    DWORD last = 1;
    DWORD error = 0;
    while (got < bytes.size() && last != 0 && error == 0) {
        const DWORD asked = static_cast<DWORD>(std::min<size_t>(bytes.size() - got, 1U << 30));
        error = ReadFile(file, bytes.data() + got, asked, &last, nullptr) ? 0 : GetLastError();
        got += last;
    }
    unsigned char more = 0;
    DWORD extra = 0;
    const bool changed =
        error == 0 &&
        (got != bytes.size() || !ReadFile(file, &more, 1, &extra, nullptr) || extra != 0 ||
         !GetFileSizeEx(file, &after) || after.QuadPart != before.QuadPart ||
         !GetFileTime(file, nullptr, nullptr, &written_after) || CompareFileTime(&written_before, &written_after) != 0);
    CloseHandle(file);
    if (error != 0)
        why = "it cannot be read (error " + std::to_string(error) + ")";
    else if (changed)
        why = "it changed while it was read (is it being built?): check it again once it is written";
    return error != 0 || changed ? ImageRead::unreadable : ImageRead::ok;
}

// `text` in lowercase, as the file system compares names.
std::wstring folded(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The files of each folder looked in, listed once (long and short names, in lowercase), so that a
// hundred thousand names are looked for without a call to the system each: Wine answers each call
// for a missing name by reading the whole folder. A folder that cannot be listed is asked name by name.
class Listings {
public:
    bool has(const std::string& path)
    {
        // A path's length is asked for first where a common one's room is too small.
        const std::wstring wide = utf16(path);
        std::wstring full(MAX_PATH, L'\0');
        DWORD length = GetFullPathNameW(wide.c_str(), MAX_PATH, full.data(), nullptr);
        if (length >= MAX_PATH) {
            full.resize(length);
            length = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
        }
        full.resize(length < full.size() ? length : 0);
        const size_t end = full.find_last_of(L"\\/");
        if (full.empty() || end == std::wstring::npos)
            return attributes_say_file(path);
        const std::wstring folder = folded(full.substr(0, end + 1));
        auto listed = listings_.find(folder);
        if (listed == listings_.end())
            listed = listings_.emplace(folder, list(folder)).first;
        return listed->second.unlisted ? attributes_say_file(path)
                                       : listed->second.files.contains(folded(full.substr(end + 1)));
    }

private:
    struct Listing {
        bool unlisted = false;
        std::unordered_set<std::wstring> files;
    };
    static bool attributes_say_file(const std::string& path)
    {
        const DWORD attributes = GetFileAttributesW(utf16(path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
    static Listing list(const std::wstring& folder)
    {
        Listing listing;
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileExW((folder + L"*").c_str(), FindExInfoStandard, &found,
                                               FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE) {
            listing.unlisted = GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND;
            return listing;
        }
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                continue;
            listing.files.insert(folded(found.cFileName));
            if (found.cAlternateFileName[0] != L'\0')
                listing.files.insert(folded(found.cAlternateFileName));
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return listing;
    }
    std::unordered_map<std::wstring, Listing> listings_;
};

// A folder of the system's, with its separator after it. One not found is an error: a name looked for
// in an empty folder's place would be looked for in the current folder.
std::string system_folder(UINT(WINAPI* folder)(LPWSTR, UINT), const char* which)
{
    wchar_t path[MAX_PATH];
    const UINT length = folder(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw std::runtime_error(std::string("the system's ") + which + " folder could not be found (error " +
                                 std::to_string(GetLastError()) + ")");
    return utf8(path, length) + "\\";
}

class WindowsPlatform : public Platform {
public:
    const char* host_name() const override
    {
        return "hook_host.exe";
    }
    char separator() const override
    {
        return '\\';
    }
    std::vector<HookLibrary> hook_libraries() const override
    {
        return {{"TeskShellHook64.dll", Machine::x86_64, "TeskShellHook64.def"},
                {"TeskShellHook32.dll", Machine::x86, "TeskShellHook32.def"},
                {"TeskShellHookARM64.dll", Machine::arm64, "TeskShellHookARM64.def"}};
    }

    bool exists(const std::string& path) const override
    {
        return listings_.has(path);
    }

    // The loader compares paths without case.
    std::string identity(const std::string& path) const override
    {
        if (!listings_.has(path))
            return std::string();
        std::string full = full_path(path);
        std::transform(full.begin(), full.end(), full.begin(),
                       [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
        return full;
    }

    bool asks_loader() const override
    {
        return false;
    }
    void ask_loader(const std::string& /*host*/, const Image& /*image*/,
                    const std::function<bool(const LoaderReport&)>& /*heard*/) const override
    {
    }

    ImageRead read(const std::string& path, uint32_t entry_hint, Image& image, std::string& why) const override
    {
        if (!listings_.has(path))
            return ImageRead::missing;
        std::vector<unsigned char> bytes;
        const ImageRead read = read_file(path, bytes, why);
        return read == ImageRead::ok ? read_pe(bytes.data(), bytes.size(), entry_hint, image, why) : read;
    }

    // The schema is read once, from the system's own folder: 32-bit processes are given the same one.
    // A name that it does not hold is looked for as a file, as the loader looks for it (Windows 7 and
    // Wine before version 7 kept API sets as files).
    ApiSet api_set(const std::string& name, const std::string& importer, std::string& library,
                   std::string& why) const override
    {
        if (_strnicmp(name.c_str(), "api-", 4) != 0 && _strnicmp(name.c_str(), "ext-", 4) != 0)
            return ApiSet::none;
        if (!schema_read_) {
            const std::string path = system_folder(GetSystemDirectoryW, "system") + "apisetschema.dll";
            std::vector<unsigned char> bytes;
            if (read_file(path, bytes, schema_why_) == ImageRead::ok)
                api_sets_.read(bytes.data(), bytes.size(), schema_why_);
            if (!schema_why_.empty())
                schema_why_ = "the system's API set schema (" + path + ") could not be read: " + schema_why_;
            schema_read_ = true;
        }
        why = schema_why_;
        if (!why.empty())
            return ApiSet::unknown;
        switch (api_sets_.map(name, importer, library)) {
        case ApiSets::Mapping::mapped:
            return ApiSet::mapped;
        case ApiSets::Mapping::unhosted:
            return ApiSet::unhosted;
        case ApiSets::Mapping::not_a_set:
            break;
        }
        return ApiSet::none;
    }

    // After the program's folder, the standard search order: the system folder, the 16-bit system
    // folder (System), the Windows folder, the folder it starts in (the host's, looked at already),
    // then each folder on PATH.
    bool system_library(const std::string& name, Machine machine, std::string& path) const override
    {
        path.clear();
        const std::string system = machine == Machine::x86 ? system_folder(GetSystemWow64DirectoryW, "WOW64")
                                                           : system_folder(GetSystemDirectoryW, "system");
        const std::string windows = system_folder(GetWindowsDirectoryW, "Windows");
        std::vector<std::string> folders{system, windows + "System\\", windows};
        std::wstring searched(most_path, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"PATH", searched.data(), most_path);
        const std::string listed = utf8(searched.data(), length < most_path ? length : 0);
        for (size_t start = 0; start < listed.size();) {
            const size_t end = std::min(listed.find(';', start), listed.size());
            if (end > start)
                folders.push_back(listed.substr(start, end - start) + (listed[end - 1] == '\\' ? "" : "\\"));
            start = end + 1;
        }
        for (const std::string& folder : folders) {
            if (listings_.has(folder + name)) {
                path = folder + name;
                return true;
            }
        }
        return false;
    }

private:
    mutable Listings listings_;
    mutable bool schema_read_ = false;
    mutable ApiSets api_sets_;
    mutable std::string schema_why_;
};

} // namespace

const Platform& this_platform()
{
    static const WindowsPlatform platform;
    return platform;
}

std::string utf8(const wchar_t* text)
{
    return utf8(text, wcslen(text));
}

std::string program_folder()
{
    std::wstring path(most_path, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), most_path);
    const std::string self = utf8(path.data(), length < most_path ? length : 0);
    return self.substr(0, self.find_last_of("\\/"));
}

std::string real_path(const std::string& path)
{
    return path;
}

std::string full_path(const std::string& path)
{
    std::wstring full(most_path, L'\0');
    const DWORD length = GetFullPathNameW(utf16(path).c_str(), most_path, full.data(), nullptr);
    return length > 0 && length < most_path ? utf8(full.data(), length) : path;
}

bool is_folder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(utf16(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A console shows UTF-16 written to it; a file or pipe gets UTF-8.
void write_line(FILE* stream, const std::string& line)
{
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        fflush(stream);
        const std::wstring text = utf16(line + "\n");
        DWORD written = 0;
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    fputs(line.c_str(), stream);
    fputc('\n', stream);
}
