// image.h on Linux: ELF images read through <elf.h> from a read-only mapping (the header's class and
// machine, the dynamic symbol table's defined names, the DT_NEEDED entries), and the folders the
// dynamic linker searches, as glibc's dlinfo(RTLD_DI_SERINFO) and /etc/ld.so.conf give them.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "image.h"

namespace {

// A file mapped read-only, whole; every offset into it is checked against its size.
class Mapping {
public:
    explicit Mapping(const std::string& path)
    {
        // Without waiting: a FIFO in the library's place would hold the open until someone writes.
        const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat status { };
        if (file >= 0 && fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
            void* data = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_PRIVATE, file, 0);
            if (data != MAP_FAILED) {
                data_ = static_cast<const unsigned char*>(data);
                size_ = static_cast<size_t>(status.st_size);
            }
        }
        if (file >= 0)
            close(file);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping()
    {
        if (data_)
            munmap(const_cast<unsigned char*>(data_), size_);
    }

    bool holds(uint64_t offset, uint64_t length) const
    {
        return offset <= size_ && length <= size_ - offset;
    }
    // A copy of the T at `offset`, which must be held.
    template <class T> T at(uint64_t offset) const
    {
        T value;
        memcpy(&value, data_ + offset, sizeof value);
        return value;
    }
    // The zero-terminated string at `offset` into the string table at `table` of `table_size` bytes.
    std::string text(uint64_t table, uint64_t table_size, uint64_t offset) const
    {
        if (!holds(table, table_size) || offset >= table_size)
            return {};
        const char* start = reinterpret_cast<const char*>(data_ + table + offset);
        return {start, strnlen(start, table_size - offset)};
    }

private:
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

std::string machine_name(unsigned char elf_class, uint16_t machine)
{
    switch (machine) {
    case EM_X86_64:
        return elf_class == ELFCLASS64 ? "x86-64" : "x32";
    case EM_386:
        return "x86";
    case EM_AARCH64:
        return "AArch64";
    case EM_ARM:
        return "ARM";
    case EM_RISCV:
        return "RISC-V";
    default:
        return "ELF machine " + std::to_string(machine);
    }
}

// The names of the dynamic symbol table and of the dynamic section, through the section headers.
template <class Ehdr, class Shdr, class Sym, class Dyn>
bool read_tables(const Mapping& file, Image& image, std::string& why)
{
    const auto header = file.at<Ehdr>(0);
    if (header.e_shoff == 0 || header.e_shentsize != sizeof(Shdr) ||
        !file.holds(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Shdr))) {
        why = "it has no section table to read its symbols from";
        return false;
    }
    auto section = [&](uint64_t index) { return file.at<Shdr>(header.e_shoff + index * sizeof(Shdr)); };
    bool origin = false;
    for (uint64_t i = 0; i < header.e_shnum; ++i) {
        const Shdr table = section(i);
        if ((table.sh_type != SHT_DYNSYM && table.sh_type != SHT_DYNAMIC) || table.sh_link >= header.e_shnum ||
            !file.holds(table.sh_offset, table.sh_size))
            continue;
        const Shdr strings = section(table.sh_link);
        if (table.sh_type == SHT_DYNSYM) {
            for (uint64_t at = table.sh_offset; at + sizeof(Sym) <= table.sh_offset + table.sh_size;
                 at += sizeof(Sym)) {
                const auto symbol = file.at<Sym>(at);
                const unsigned bind = ELF64_ST_BIND(symbol.st_info);
                if (symbol.st_shndx != SHN_UNDEF && (bind == STB_GLOBAL || bind == STB_WEAK) &&
                    ELF64_ST_VISIBILITY(symbol.st_other) != STV_HIDDEN)
                    image.exports.push_back(file.text(strings.sh_offset, strings.sh_size, symbol.st_name));
            }
        } else {
            for (uint64_t at = table.sh_offset; at + sizeof(Dyn) <= table.sh_offset + table.sh_size;
                 at += sizeof(Dyn)) {
                const auto entry = file.at<Dyn>(at);
                if (entry.d_tag == DT_NULL)
                    break;
                if (entry.d_tag == DT_NEEDED)
                    image.imports.push_back(file.text(strings.sh_offset, strings.sh_size, entry.d_un.d_val));
                if (entry.d_tag == DT_RUNPATH || entry.d_tag == DT_RPATH)
                    origin =
                        origin || file.text(strings.sh_offset, strings.sh_size, entry.d_un.d_val).find("$ORIGIN") !=
                                      std::string::npos;
            }
        }
    }
    image.imports_beside = origin;
    return true;
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
    const char* library_name() const override
    {
        return "libTeskShellHook64.so";
    }
    char separator() const override
    {
        return '/';
    }

    bool exists(const std::string& path) const override
    {
        struct stat status { };
        return stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
    }

    ImageRead read(const std::string& path, Image& image, std::string& why) const override
    {
        if (!exists(path))
            return ImageRead::missing;
        const Mapping file(path);
        const auto header = file.holds(0, sizeof(Elf64_Ehdr)) ? file.at<Elf64_Ehdr>(0) : Elf64_Ehdr{};
        if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
            why = "it is not an ELF image";
            return ImageRead::not_an_image;
        }
        const unsigned char elf_class = header.e_ident[EI_CLASS];
        if (header.e_ident[EI_DATA] != ELFDATA2LSB || (elf_class != ELFCLASS32 && elf_class != ELFCLASS64)) {
            why = "it is an ELF image of another byte order or class than this machine's";
            return ImageRead::not_an_image;
        }
        image = Image{};
        // e_machine lies at the same place in both classes.
        image.machine_name = machine_name(elf_class, header.e_machine);
        if (header.e_machine == EM_X86_64 && elf_class == ELFCLASS64)
            image.machine = Machine::x86_64;
        else if (header.e_machine == EM_386)
            image.machine = Machine::x86;
        const bool read = elf_class == ELFCLASS64
                              ? read_tables<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Elf64_Dyn>(file, image, why)
                              : read_tables<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Elf32_Dyn>(file, image, why);
        return read ? ImageRead::ok : ImageRead::not_an_image;
    }

    bool system_library(const std::string& name) const override
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
