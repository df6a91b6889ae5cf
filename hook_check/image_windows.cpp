// image.h on Windows: images read by pe_image.h from a read-only mapping of the file, not by the
// system's image services, which trust the headers of the file they map; and the system's libraries
// found in its own folders, as the loader finds them for a program started in its folder: the
// 64-bit ones in the system folder, the 32-bit ones in its WOW64 folder. None of a library's code runs.
#include <windows.h>

#include <string.h>

#include <string>

#include "image.h"
#include "pe_image.h"

namespace {

// A file mapped read-only, whole, for the reader; an empty one is no bytes, and no error.
class Mapping {
public:
    explicit Mapping(const std::string& path)
    {
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size{};
        if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
            error_ = GetLastError();
        } else if (size.QuadPart > 0) {
            const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
            data_ =
                mapping ? static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) : nullptr;
            error_ = data_ ? 0 : GetLastError();
            size_ = data_ ? static_cast<size_t>(size.QuadPart) : 0;
            if (mapping)
                CloseHandle(mapping);
        }
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping()
    {
        if (data_)
            UnmapViewOfFile(data_);
    }

    const unsigned char* data() const
    {
        return data_;
    }
    size_t size() const
    {
        return size_;
    }
    DWORD error() const
    {
        return error_;
    }

private:
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
    DWORD error_ = 0;
};

bool file_at(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string system_folder(UINT(WINAPI* folder)(LPSTR, UINT))
{
    char path[MAX_PATH];
    const UINT length = folder(path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) + "\\" : std::string();
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
                {"TeskShellHook32.dll", Machine::x86, "TeskShellHook32.def"}};
    }

    bool exists(const std::string& path) const override
    {
        return file_at(path);
    }

    ImageRead read(const std::string& path, Image& image, std::string& why) const override
    {
        if (!file_at(path))
            return ImageRead::missing;
        // An empty file maps to nothing, and is read as no bytes at all.
        const Mapping file(path);
        if (file.error() != 0) {
            why = "it cannot be read (error " + std::to_string(file.error()) + ")";
            return ImageRead::not_an_image;
        }
        return read_pe(file.data(), file.size(), image, why);
    }

    // The loader's API sets (api-ms-win-..., ext-ms-...) are names it maps to system libraries, not
    // files; every other library of the system's is in its folder, or in the Windows folder.
    bool system_library(const std::string& name, Machine machine) const override
    {
        if (_strnicmp(name.c_str(), "api-", 4) == 0 || _strnicmp(name.c_str(), "ext-", 4) == 0)
            return true;
        const std::string system =
            system_folder(machine == Machine::x86 ? GetSystemWow64DirectoryA : GetSystemDirectoryA);
        return file_at(system + name) || file_at(system_folder(GetWindowsDirectoryA) + name);
    }
};

} // namespace

const Platform& this_platform()
{
    static const WindowsPlatform platform;
    return platform;
}

std::string program_folder()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, length < MAX_PATH ? length : 0);
    return self.substr(0, self.find_last_of("\\/"));
}

std::string full_path(const std::string& path)
{
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : path;
}

bool is_folder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
