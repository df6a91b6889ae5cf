// image.h on Linux: ELF images read by elf_image.h from the file's bytes read into memory, and the
// folders the dynamic linker searches, as glibc's dlinfo(RTLD_DI_SERINFO) and /etc/ld.so.conf give
// them.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "elf_image.h"
#include "image.h"

namespace {

// The bytes of the regular file at `path`, read into memory rather than mapped: a file cut while
// mapped would end hook_check with SIGBUS where it touched the lost pages, and a library is rewritten
// by every build. A file that changed while it was read (its size or time of change) is unreadable;
// anything but a regular file (a FIFO, a device) is no bytes at all, read without waiting.
ImageRead read_file(const std::string& path, std::vector<unsigned char>& bytes, std::string& why)
{
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat before { };
    if (file < 0 || fstat(file, &before) != 0) {
        why = std::string("it cannot be opened: ") + strerror(errno);
        if (file >= 0)
            close(file);
        return ImageRead::unreadable;
    }
    const bool regular = S_ISREG(before.st_mode);
    bytes.resize(regular ? static_cast<size_t>(before.st_size) : 0);
    std::string failed;
    size_t got = 0;
    for (ssize_t last = 1; got < bytes.size() && last != 0 && failed.empty();) {
        last = read(file, bytes.data() + got, bytes.size() - got);
        if (last < 0 && errno != EINTR)
            failed = std::string("it cannot be read: ") + strerror(errno);
        got += last > 0 ? static_cast<size_t>(last) : 0;
    }
    unsigned char more = 0;
    struct stat after { };
    if (failed.empty() && regular &&
        (got != bytes.size() || read(file, &more, 1) != 0 || fstat(file, &after) != 0 ||
         after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
         after.st_mtim.tv_nsec != before.st_mtim.tv_nsec))
        failed = "it changed while it was read (is it being built?): check it again once it is written";
    close(file);
    if (failed.empty())
        return ImageRead::ok;
    why = failed;
    return ImageRead::unreadable;
}

// The folders of /etc/ld.so.conf and of the files it includes, as ldconfig reads them.
void read_conf(std::vector<std::string>& folders)
{
    std::vector<std::string> files{"/etc/ld.so.conf"};
    // At most 256 files are read, so that a file that includes itself ends the reading.
    for (size_t next = 0; next < files.size() && next < 256; ++next) {
        std::ifstream conf(files[next]);
        std::string line;
        while (std::getline(conf, line)) {
            line = line.substr(0, line.find('#'));
            const size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos)
                continue;
            line = line.substr(start, line.find_last_not_of(" \t") + 1 - start);
            if (line.rfind("include", 0) == 0 && line.size() > 7 && (line[7] == ' ' || line[7] == '\t')) {
                std::string pattern = line.substr(line.find_first_not_of(" \t", 7));
                if (pattern[0] != '/')
                    pattern.insert(0, "/etc/");
                glob_t found{};
                if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
                    for (size_t i = 0; i < found.gl_pathc; ++i)
                        files.emplace_back(found.gl_pathv[i]);
                }
                globfree(&found);
            } else if (line[0] == '/') {
                folders.push_back(line);
            }
        }
    }
}

// The dynamic linker's folders: its search path for this program (LD_LIBRARY_PATH and the system's
// own folders), then those of its cache's configuration. The main program's handle runs no code.
std::vector<std::string> search_folders()
{
    std::vector<std::string> folders;
    if (void* self = dlopen(nullptr, RTLD_LAZY)) {
        Dl_serinfo size{};
        if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0) {
            std::vector<max_align_t> buffer(size.dls_size / sizeof(max_align_t) + 1);
            auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
            *info = size;
            if (dlinfo(self, RTLD_DI_SERINFOSIZE, info) == 0 && dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
                for (unsigned i = 0; i < info->dls_cnt; ++i)
                    folders.emplace_back(info->dls_serpath[i].dls_name);
            }
        }
        dlclose(self);
    }
    read_conf(folders);
    return folders;
}

class LinuxPlatform : public Platform {
public:
    const char* host_name() const override
    {
        return "hook_host";
    }
    char separator() const override
    {
        return '/';
    }
    // The host is built for x86-64 only on Linux.
    std::vector<HookLibrary> hook_libraries() const override
    {
        return {{"libTeskShellHook64.so", Machine::x86_64, "TeskShellHook64.def"}};
    }

    bool exists(const std::string& path) const override
    {
        struct stat status { };
        return stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
    }

    ImageRead read(const std::string& path, uint32_t /*entry_hint*/, Image& image, std::string& why) const override
    {
        if (!exists(path))
            return ImageRead::missing;
        std::vector<unsigned char> bytes;
        const ImageRead read = read_file(path, bytes, why);
        return read == ImageRead::ok ? read_elf(bytes.data(), bytes.size(), image, why) : read;
    }

    bool system_library(const std::string& name, Machine /*machine*/) const override
    {
        if (name.find('/') != std::string::npos)
            return exists(name);
        static const std::vector<std::string> folders = search_folders();
        return std::any_of(folders.begin(), folders.end(), [&](const std::string& folder) {
            return exists(std::string(folder).append("/").append(name));
        });
    }
};

} // namespace

const Platform& this_platform()
{
    static const LinuxPlatform platform;
    return platform;
}

std::string program_folder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
    return self.substr(0, self.rfind('/'));
}

std::string full_path(const std::string& path)
{
    char folder[PATH_MAX];
    if (path.empty() || path[0] == '/' || !getcwd(folder, sizeof folder))
        return path;
    return std::string(folder) + "/" + path;
}

bool is_folder(const std::string& path)
{
    struct stat status { };
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void write_line(FILE* stream, const std::string& line)
{
    fputs(line.c_str(), stream);
    fputc('\n', stream);
}
