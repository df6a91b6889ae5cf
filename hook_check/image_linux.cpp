// image.h on Linux: ELF images read by elf_image.h from the file's bytes read into memory, and the
// system's libraries found as the dynamic linker finds them: through its cache (/etc/ld.so.cache), then
// in its default folders, as glibc's dlinfo(RTLD_DI_SERINFO) gives them.
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
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

// The machine of the ELF image at `path`, from its header alone; other where it is none.
Machine machine_of(const std::string& path)
{
    unsigned char header[EI_NIDENT + 4] = {};
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0)
        return Machine::other;
    const ssize_t got = read(file, header, sizeof header);
    close(file);
    return got == static_cast<ssize_t>(sizeof header) ? elf_machine(header, sizeof header) : Machine::other;
}

// The dynamic linker's cache (/etc/ld.so.cache, as ldconfig writes it: "glibc-ld.so.cache1.1", then
// entries of a name, a path and flags that say the machine): each name's paths, and the flags'
// machine. It finds a library of the folders /etc/ld.so.conf names only through it, by the name it
// was cached under.
struct CacheEntry {
    Machine machine;
    std::string path;
};
std::unordered_multimap<std::string, CacheEntry> read_cache()
{
    std::unordered_multimap<std::string, CacheEntry> cache;
    std::vector<unsigned char> bytes;
    std::string why;
    static const char magic[] = "glibc-ld.so.cache1.1";
    constexpr size_t header = 48;
    constexpr size_t entry = 24;
    if (read_file("/etc/ld.so.cache", bytes, why) != ImageRead::ok || bytes.size() < header ||
        memcmp(bytes.data(), magic, sizeof magic - 1) != 0)
        return cache;
    uint32_t count = 0;
    memcpy(&count, bytes.data() + 20, sizeof count);
    const auto text = [&](uint32_t at) {
        const void* end = at < bytes.size() ? memchr(bytes.data() + at, 0, bytes.size() - at) : nullptr;
        return end ? std::string(reinterpret_cast<const char*>(bytes.data() + at)) : std::string();
    };
    for (size_t i = 0; i < count && header + (i + 1) * entry <= bytes.size(); ++i) {
        uint32_t fields[3];
        memcpy(fields, bytes.data() + header + i * entry, sizeof fields);
        // An ELF library of glibc's (3), for x86-64 (0x0300) or for x86 (none).
        const Machine machine = fields[0] == 0x0303   ? Machine::x86_64
                                : fields[0] == 0x0003 ? Machine::x86
                                                      : Machine::other;
        cache.emplace(text(fields[1]), CacheEntry{machine, text(fields[2])});
    }
    return cache;
}

// The dynamic linker's own folders for this program (LD_LIBRARY_PATH's, and the system's default
// ones), which it searches by path; not hook_check's own RUNPATH. The main program's handle runs no
// code.
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
                for (unsigned i = 0; i < info->dls_cnt; ++i) {
                    if (info->dls_serpath[i].dls_flags == LA_SER_LIBPATH ||
                        info->dls_serpath[i].dls_flags == LA_SER_DEFAULT)
                        folders.emplace_back(info->dls_serpath[i].dls_name);
                }
            }
        }
        dlclose(self);
    }
    return folders;
}

// The names in `folder`, listed once, so that a hundred thousand names are looked for without a
// hundred thousand calls to the system each.
std::unordered_set<std::string> listed(const std::string& folder)
{
    std::unordered_set<std::string> names;
    if (DIR* listing = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(listing))
            names.emplace(entry->d_name);
        closedir(listing);
    }
    return names;
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

    // The dynamic linker, too, takes two names of one device and inode for one library.
    std::string identity(const std::string& path) const override
    {
        struct stat status { };
        if (stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode))
            return std::string();
        return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    }

    bool binds_from_any() const override
    {
        return true;
    }

    ApiSet api_set(const std::string& /*name*/, const std::string& /*importer*/, std::string& /*library*/,
                   std::string& /*why*/) const override
    {
        return ApiSet::none;
    }

    ImageRead read(const std::string& path, uint32_t /*entry_hint*/, Image& image, std::string& why) const override
    {
        if (!exists(path))
            return ImageRead::missing;
        std::vector<unsigned char> bytes;
        const ImageRead read = read_file(path, bytes, why);
        return read == ImageRead::ok ? read_elf(bytes.data(), bytes.size(), image, why) : read;
    }

    // As ld.so(8) orders it: the cache by the name, then the default folders by path; a file of
    // another machine is passed over.
    bool system_library(const std::string& name, Machine machine, std::string& path) const override
    {
        static const std::unordered_multimap<std::string, CacheEntry> cache = read_cache();
        static const std::vector<std::string> folders = search_folders();
        static std::vector<std::unordered_set<std::string>> listings(folders.size());
        static std::vector<bool> listed_yet(folders.size());
        const auto cached = cache.equal_range(name);
        for (auto entry = cached.first; entry != cached.second; ++entry) {
            if (entry->second.machine == machine && machine_of(entry->second.path) == machine) {
                path = entry->second.path;
                return true;
            }
        }
        for (size_t i = 0; i < folders.size(); ++i) {
            if (!listed_yet[i])
                listings[i] = listed(folders[i]), listed_yet[i] = true;
            const std::string candidate = folders[i] + "/" + name;
            if (listings[i].contains(name) && machine_of(candidate) == machine) {
                path = candidate;
                return true;
            }
        }
        return false;
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
