// The API sets of Windows: library names such as api-ms-win-core-file-l1-2-0.dll or
// ext-ms-win-ntuser-window-l1-1-0.dll that the loader maps to one of the system's libraries (here
// kernelbase.dll) through a schema, rather than finding them as files. The schema is the `.apiset`
// section of the system's apisetschema.dll, which the system maps into every process; this reads its
// format 6, which Windows 10 and later and Wine (7 and later) write. Hazards it answers: every offset
// and count in it is untrusted, and a read outside its bytes is refused.
#pragma once

#include <stddef.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

class ApiSets {
public:
    // The schema in the `.apiset` section of the PE image `data` (`size` bytes); false, with `why`,
    // where it has none or one this does not read. Time and memory proportional to `size`.
    bool read(const unsigned char* data, size_t size, std::string& why);

    // What the loader makes of the library `name` imported by the library `importer` (file names):
    // no API set (a file, looked for as any other); an API set it maps to `library`; or one that maps
    // to no library on this system, which the loader does not find.
    enum class Mapping { not_a_set, mapped, unhosted };
    Mapping map(std::string_view name, std::string_view importer, std::string& library) const;

private:
    // By the set's name in lowercase up to its last hyphen (api-ms-win-core-file-l1-2): the library it
    // maps to by default, then those it maps to for particular importers (in lowercase).
    struct Set {
        std::string library;
        std::vector<std::pair<std::string, std::string>> exceptions;
    };
    std::map<std::string, Set, std::less<>> sets_;
};
