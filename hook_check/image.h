// What hook_check reads of the files it checks: one implementation of Platform per platform
// (image_windows.cpp, image_linux.cpp) over a reader of that platform's image format written without
// any system service (pe_image.h, elf_image.h), and a fake in the unit tests. It only reads files: no
// library's code runs.
#pragma once

#include <map>
#include <string>
#include <vector>

enum class Machine { x86_64, x86, other };

// What a program or library image says to the loader.
struct Image {
    Machine machine = Machine::other;
    std::string machine_name;         // as the image names it, for display
    std::vector<std::string> exports; // the names it exports
    // Of those, the ones the loader could not bind to this file's own code, each with why ("it is
    // forwarded to other.Name", "its address lies outside the image's sections").
    std::map<std::string, std::string> unbound_exports;
    std::vector<std::string> imports; // the libraries the loader must find for it, as it asks for them
    // Whether the loader looks for those in the image's own folder: on Windows always (the program's
    // folder, the host's), on Linux only where its RUNPATH or RPATH names $ORIGIN.
    bool imports_beside = true;
    // What else in the file the loader refuses, each said whole ("its import directory ... lies
    // outside the file's data").
    std::vector<std::string> damage;
};

// A file read: an image; not there; no image at all; or an image whose headers the loader refuses,
// so that nothing more of it can be read.
enum class ImageRead { ok, missing, not_an_image, damaged };

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

    // Whether `path` is a file (not a folder).
    virtual bool exists(const std::string& path) const = 0;
    // `path` read as a program or library image; where it is not one, or is damaged, `why` says how.
    virtual ImageRead read(const std::string& path, Image& image, std::string& why) const = 0;
    // Whether the loader finds the library `name` among the system's own for a program of `machine`,
    // without any beside the host.
    virtual bool system_library(const std::string& name, Machine machine) const = 0;
};

// This platform's.
const Platform& this_platform();

// The folder hook_check runs from; `path` made absolute; whether `path` is a folder.
std::string program_folder();
std::string full_path(const std::string& path);
bool is_folder(const std::string& path);
