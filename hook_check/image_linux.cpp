// image.h on Linux: ELF images read by elf_image.h from the file's bytes read into memory, and the
// dynamic linker asked whether it starts the host, by tracing its loading (trace_linux.h). It runs
// only the linker that loads hook_check itself: the one a host names is a file like any other.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "elf_image.h"
#include "image.h"
#include "loader_trace.h"
#include "trace_linux.h"

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

// The dynamic linker that this process was loaded by, as its program names it (PT_INTERP); empty
// where it cannot be told.
std::string own_linker()
{
    Dl_info found{};
    // The system gives the linker's address as a number.
    const auto* const base = reinterpret_cast<const void*>(getauxval(AT_BASE)); // NOLINT(performance-no-int-to-ptr)
    return base && dladdr(base, &found) != 0 && found.dli_fname ? found.dli_fname : std::string();
}

class LinuxPlatform : public Platform {
public:
    // What the linker's trace may take: a sound host's takes a hundredth of a second.
    static constexpr long most_cpu_ms = 500;
    static constexpr long most_wall_ms = 10000;

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

    bool asks_loader() const override
    {
        return true;
    }

    // The host's own linker is run only where it is this system's, the one that loads hook_check: a
    // host could name any program.
    void ask_loader(const std::string& host, const Image& image,
                    const std::function<bool(const LoaderReport&)>& heard) const override
    {
        using Kind = LoaderReport::Kind;
        static const std::string ours = own_linker();
        const std::string& linker = image.interpreter;
        const std::string named = identity(linker);
        if (linker.empty() || named.empty()) {
            heard({Kind::refused,
                   {},
                   {},
                   {},
                   linker.empty() ? "it names no dynamic linker (PT_INTERP), and the system runs it without one"
                                  : "the dynamic linker it names, " + linker + ", is not there"});
            return;
        }
        if (ours.empty() || named != identity(ours) || named == identity(host)) {
            heard({Kind::unjudged,
                   {},
                   {},
                   {},
                   "it names " + linker + " as its dynamic linker, not this system's (" + ours +
                       "), and hook_check runs no other"});
            return;
        }
        bool refused = false;
        int status = 0;
        std::string why;
        const auto line = [&](std::string_view text) {
            LoaderReport report;
            if (!read_trace_line(text, host, report))
                return true;
            refused = refused || report.kind == Kind::refused;
            // Given the host itself, the linker checks its headers as a library's; a start leaves them
            // to the system, which checks fewer (not its OS ABI): no verdict on the start.
            if (report.kind == Kind::refused && report.text.rfind(host + ": ", 0) == 0)
                report = {Kind::unjudged,
                          {},
                          {},
                          {},
                          "given the host itself, it refuses its headers, which a start leaves to the system: " +
                              report.text};
            return heard(report);
        };
        const TraceEnd end = trace_loading(linker, host, host.substr(0, std::max<size_t>(host.rfind('/'), 1)),
                                           most_cpu_ms, most_wall_ms, line, status, why);
        if (end == TraceEnd::failed)
            heard({Kind::unjudged, {}, {}, {}, "the dynamic linker " + linker + " could not be run: " + why});
        else if (end == TraceEnd::slow)
            heard({Kind::unjudged,
                   {},
                   {},
                   {},
                   "the dynamic linker took more than " + std::to_string(most_cpu_ms) + " ms of its time, or " +
                       std::to_string(most_wall_ms / 1000) +
                       " s, and was ended before its verdict (it looks for each "
                       "library anew, a hundred thousand missing ones take it many seconds)"});
        else if (end == TraceEnd::ended && status != 0 && !refused)
            heard({Kind::refused, {}, {}, {}, "it ended with status " + std::to_string(status)});
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

    // The dynamic linker is asked instead.
    bool system_library(const std::string& /*name*/, Machine /*machine*/, std::string& /*path*/) const override
    {
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

std::string real_path(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    std::string made = real ? real : path;
    free(real);
    return made;
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
