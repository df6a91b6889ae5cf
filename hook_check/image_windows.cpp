// image.h on Windows: images read by the system's image services (imagehlp's MapAndLoad, which maps
// a file without loading it, ImageDirectoryEntryToData and ImageRvaToVa, for PE32 and PE32+ alike),
// and the system's libraries found in its own folders, as the loader finds them for a program started
// in its folder: none of a library's code runs.
#include <windows.h>

#include <imagehlp.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "image.h"

namespace {

// A file mapped by MapAndLoad, unmapped when it goes.
class Loaded {
public:
    explicit Loaded(const std::string& path)
    {
        mapped_ = MapAndLoad(path.c_str(), nullptr, &image_, FALSE, TRUE) != FALSE;
        error_ = mapped_ ? 0 : GetLastError();
    }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;
    ~Loaded()
    {
        if (mapped_)
            UnMapAndLoad(&image_);
    }

    bool mapped() const
    {
        return mapped_;
    }
    DWORD error() const
    {
        return error_;
    }
    WORD machine() const
    {
        return image_.FileHeader->FileHeader.Machine;
    }
    // The directory `entry` and its size, or null where it is not wholly in the file: the headers of a
    // cut or damaged file name places past its end, and the system's call does not check them.
    const unsigned char* directory(USHORT entry, ULONG& size)
    {
        const auto* found =
            static_cast<const unsigned char*>(ImageDirectoryEntryToData(image_.MappedAddress, FALSE, entry, &size));
        return inside(found, size) ? found : nullptr;
    }
    // What `rva` points at in the file, where `length` bytes of it are in the file; else null.
    const unsigned char* at(DWORD rva, size_t length)
    {
        const auto* found =
            static_cast<const unsigned char*>(ImageRvaToVa(image_.FileHeader, image_.MappedAddress, rva, nullptr));
        return inside(found, length) ? found : nullptr;
    }
    // The zero-terminated string at `rva`, cut at the file's end.
    std::string text(DWORD rva)
    {
        const auto* start = reinterpret_cast<const char*>(at(rva, 1));
        if (!start)
            return {};
        const size_t most = image_.MappedAddress + image_.SizeOfImage - reinterpret_cast<const unsigned char*>(start);
        return {start, strnlen(start, most)};
    }

private:
    // Whether `length` bytes from `start` are all in the mapped file.
    bool inside(const unsigned char* start, size_t length) const
    {
        const unsigned char* end = image_.MappedAddress + image_.SizeOfImage;
        return start && start >= image_.MappedAddress && start < end && length <= size_t(end - start);
    }

    LOADED_IMAGE image_{};
    bool mapped_ = false;
    DWORD error_ = 0;
};

std::string machine_name(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64:
        return "x86-64";
    case IMAGE_FILE_MACHINE_I386:
        return "x86";
    case 0xAA64: // IMAGE_FILE_MACHINE_ARM64
        return "ARM64";
    case IMAGE_FILE_MACHINE_ARMNT:
        return "ARM";
    default:
        char text[32];
        snprintf(text, sizeof text, "machine 0x%04X", static_cast<unsigned>(machine));
        return text;
    }
}

void read_exports(Loaded& file, Image& image)
{
    ULONG size = 0;
    const unsigned char* found = file.directory(IMAGE_DIRECTORY_ENTRY_EXPORT, size);
    IMAGE_EXPORT_DIRECTORY directory;
    if (!found || size < sizeof directory)
        return;
    memcpy(&directory, found, sizeof directory);
    const auto* names = file.at(directory.AddressOfNames, size_t{directory.NumberOfNames} * sizeof(DWORD));
    for (DWORD i = 0; names && i < directory.NumberOfNames; ++i) {
        DWORD name = 0;
        memcpy(&name, names + i * sizeof name, sizeof name);
        image.exports.push_back(file.text(name));
    }
}

// The libraries bound at load; those loaded later by the delay-load helper cannot stop a start.
void read_imports(Loaded& file, Image& image)
{
    ULONG size = 0;
    const unsigned char* first = file.directory(IMAGE_DIRECTORY_ENTRY_IMPORT, size);
    for (ULONG at = 0; first && at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= size; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        memcpy(&descriptor, first + at, sizeof descriptor);
        if (descriptor.Name == 0)
            break;
        image.imports.push_back(file.text(descriptor.Name));
    }
}

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
        return file_at(path);
    }

    ImageRead read(const std::string& path, Image& image, std::string& why) const override
    {
        if (!file_at(path))
            return ImageRead::missing;
        Loaded file(path);
        if (!file.mapped()) {
            why = "the system cannot read it as a program image (error " + std::to_string(file.error()) + ")";
            return ImageRead::not_an_image;
        }
        image = Image{};
        image.machine_name = machine_name(file.machine());
        if (file.machine() == IMAGE_FILE_MACHINE_AMD64)
            image.machine = Machine::x86_64;
        else if (file.machine() == IMAGE_FILE_MACHINE_I386)
            image.machine = Machine::x86;
        read_exports(file, image);
        read_imports(file, image);
        return ImageRead::ok;
    }

    // The loader's API sets (api-ms-win-..., ext-ms-...) are names it maps to system libraries, not
    // files; every other library of the system's is in its folder, or in the Windows folder.
    bool system_library(const std::string& name) const override
    {
        if (_strnicmp(name.c_str(), "api-", 4) == 0 || _strnicmp(name.c_str(), "ext-", 4) == 0)
            return true;
        return file_at(system_folder(GetSystemDirectoryA) + name) ||
               file_at(system_folder(GetWindowsDirectoryA) + name);
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
