#include "known_dlls.h"

#include <algorithm>
#include <iterator>

#include "names.h"

namespace {

// Sorted, in lower case.
const char* const known[] = {
    "advapi32.dll", "clbcatq.dll",  "combase.dll", "comdlg32.dll", "coml2.dll",  "difxapi.dll", "gdi32.dll",
    "gdiplus.dll",  "imagehlp.dll", "imm32.dll",   "kernel32.dll", "msctf.dll",  "msvcrt.dll",  "normaliz.dll",
    "nsi.dll",      "ntdll.dll",    "ole32.dll",   "oleaut32.dll", "psapi.dll",  "rpcrt4.dll",  "sechost.dll",
    "setupapi.dll", "shcore.dll",   "shell32.dll", "shlwapi.dll",  "user32.dll", "wldap32.dll", "wow64.dll",
    "wow64cpu.dll", "wow64win.dll", "ws2_32.dll",
};

} // namespace

bool known_dll(const std::string& name)
{
    return std::binary_search(std::begin(known), std::end(known), lowered(name),
                              [](const std::string& a, const std::string& b) { return a < b; });
}
