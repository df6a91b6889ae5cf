// The lines of glibc's dynamic linker's trace, as glibc 2.36 writes them:
//   "\tNAME => not found"                      a library found nowhere
//   "\tNAME => PATH (0xADDRESS)", "\tPATH (0xADDRESS)"   a library loaded
//   "undefined symbol: NAME[, version V]\t(PATH)"       a binding that nothing defines
//   "PROGRAM: PATH: version `V' not found (required by PATH)"
//   "PROGRAM: error while loading shared libraries: TEXT"   the end of its loading
//   "     PID:\tfile=NAME [0];  needed by PATH [0]"     (LD_DEBUG=files), and other debugging
// Anything else it writes is a refusal in its own words ("Inconsistency detected by ld.so: ...").
// A name is the file's bytes: it may hold " => " or a tab, so each line is split at its last marker.
#include "loader_trace.h"

namespace {

bool starts(std::string_view text, std::string_view with)
{
    return text.substr(0, with.size()) == with;
}

bool ends(std::string_view text, std::string_view with)
{
    return text.size() >= with.size() && text.substr(text.size() - with.size()) == with;
}

// The linker's debugging line `line` less its "PID:\t": false where it is none.
bool debugging(std::string_view& line)
{
    size_t at = line.find_first_not_of(' ');
    const size_t digits = at == std::string_view::npos ? at : line.find_first_not_of("0123456789", at);
    if (digits == std::string_view::npos || digits == at || line.substr(digits, 2) != ":\t")
        return false;
    line.remove_prefix(digits + 2);
    return true;
}

} // namespace

bool read_trace_line(std::string_view line, std::string_view program, LoaderReport& report)
{
    report = LoaderReport{};
    using Kind = LoaderReport::Kind;
    if (line.empty())
        return false;
    if (debugging(line)) {
        const std::string_view needed = ";  needed by ";
        const size_t by = line.find(needed);
        if (!starts(line, "file=") || by == std::string_view::npos || !ends(line, "]"))
            return false;
        const size_t name_end = line.rfind(" [", by);
        const size_t file_end = line.rfind(" [");
        if (name_end == std::string_view::npos || name_end < 5 || file_end <= by)
            return false;
        report = {Kind::needed,
                  std::string(line.substr(5, name_end - 5)),
                  std::string(line.substr(by + needed.size(), file_end - by - needed.size())),
                  {},
                  {}};
        return true;
    }
    if (line[0] == '\t') {
        line.remove_prefix(1);
        if (ends(line, " => not found")) {
            report = {Kind::missing, std::string(line.substr(0, line.size() - 13)), {}, {}, {}};
            return true;
        }
        const size_t address = line.rfind(" (0x");
        if (address == std::string_view::npos || !ends(line, ")"))
            return false;
        line = line.substr(0, address);
        const size_t arrow = line.find(" => ");
        const std::string_view name = line.substr(0, arrow);
        const std::string_view file =
            arrow == std::string_view::npos ? (starts(name, "/") ? name : "") : line.substr(arrow + 4);
        report = {Kind::loaded, std::string(name), std::string(file), {}, {}};
        return true;
    }
    if (starts(line, "undefined symbol: ") && ends(line, ")")) {
        const size_t tab = line.rfind("\t(");
        if (tab != std::string_view::npos) {
            std::string_view name = line.substr(18, tab - 18);
            std::string version;
            const size_t comma = name.rfind(", version ");
            if (comma != std::string_view::npos) {
                version = name.substr(comma + 10);
                name = name.substr(0, comma);
            }
            report = {
                Kind::symbol, std::string(name), std::string(line.substr(tab + 2, line.size() - tab - 3)), version, {}};
            return true;
        }
    }
    if (starts(line, program) && line.substr(program.size(), 2) == ": ") {
        line.remove_prefix(program.size() + 2);
        const std::string_view loading = "error while loading shared libraries: ";
        const size_t version = line.find(": version `");
        const size_t required = line.rfind("' not found (required by ");
        if (!starts(line, loading) && version != std::string_view::npos && required != std::string_view::npos &&
            required > version && ends(line, ")")) {
            const size_t by = required + 25;
            report = {Kind::version,
                      std::string(line.substr(version + 11, required - version - 11)),
                      std::string(line.substr(by, line.size() - by - 1)),
                      std::string(line.substr(0, version)),
                      {}};
            return true;
        }
        if (starts(line, loading))
            line.remove_prefix(loading.size());
    }
    report = {Kind::refused, {}, {}, {}, std::string(line)};
    return true;
}
