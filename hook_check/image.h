// What hook_check reads of the files it checks, through the platform's own services: one
// implementation per platform (image_windows.cpp, image_linux.cpp), and a fake in the unit tests.
// It only reads files: no library's code runs.
#pragma once

#include <string>
#include <vector>

enum class Machine { x86_64, x86, other };

// What a program or library image says to the loader.
struct Image {
    Machine machine = Machine::other;
    std::string machine_name;         // as the image names it, for display
    std::vector<std::string> exports; // the names it exports
    std::vector<std::string> imports; // the libraries the loader must find for it, as it asks for them
    // Whether the loader looks for those in the image's own folder: on Windows always (the program's
    // folder, the host's), here only where its RUNPATH or RPATH names $ORIGIN.
    bool imports_beside = true;
};

enum class ImageRead { ok, missing, not_an_image };

class Platform {
public:
    Platform() = default;
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;
    virtual ~Platform() = default;

    // The file names of the host and of its hook library, and the separator of a path's parts.
    virtual const char* host_name() const = 0;
    virtual const char* library_name() const = 0;
    virtual char separator() const = 0;

    // Whether `path` is a file (not a folder).
    virtual bool exists(const std::string& path) const = 0;
    // `path` read as a program or library image; where it is not one, `why` says what it is.
    virtual ImageRead read(const std::string& path, Image& image, std::string& why) const = 0;
    // Whether the loader finds the library `name` among the system's own, without any beside the host.
    virtual bool system_library(const std::string& name) const = 0;
};

// This platform's.
const Platform& this_platform();

// The folder hook_check runs from; `path` made absolute; whether `path` is a folder.
std::string program_folder();
std::string full_path(const std::string& path);
bool is_folder(const std::string& path);
