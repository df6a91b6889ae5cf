// hook_host_status_text on Windows: the NTSTATUS values that the loader and the system end a process
// with, as GetExitCodeProcess gives them.
#include "hook_control.h"

namespace {

struct StatusText {
    uint32_t status;
    const char* text;
};

const StatusText texts[] = {
    // Windows refuses a library of the wrong architecture with 0xC000007B; Wine passes over it, and
    // finds no library, 0xC0000135.
    {0xC0000135, "the hook library, or a library it needs, was not found, or under Wine is of the wrong "
                 "architecture (STATUS_DLL_NOT_FOUND)"},
    {0xC000007B, "a library of the wrong architecture (hook_host.exe needs a 64-bit TeskShellHook64.dll, "
                 "hook_host32.exe a 32-bit TeskShellHook32.dll), or not a valid image (STATUS_INVALID_IMAGE_FORMAT)"},
    {0xC0000139, "an entry the host or a library imports was not found (STATUS_ENTRYPOINT_NOT_FOUND)"},
    {0xC0000138, "an entry the host or a library imports by ordinal was not found (STATUS_ORDINAL_NOT_FOUND)"},
    {0xC0000142, "a library's initialisation, its DllMain, failed (STATUS_DLL_INIT_FAILED)"},
    {0xC0000005, "crashed: an invalid memory access (STATUS_ACCESS_VIOLATION)"},
    {0xC0000006, "crashed: a page of the program could not be read in (STATUS_IN_PAGE_ERROR)"},
    {0xC000001D, "crashed: an illegal instruction (STATUS_ILLEGAL_INSTRUCTION)"},
    {0xC0000096, "crashed: a privileged instruction (STATUS_PRIVILEGED_INSTRUCTION)"},
    {0xC0000094, "crashed: an integer division by zero (STATUS_INTEGER_DIVIDE_BY_ZERO)"},
    {0xC0000095, "crashed: an integer overflow (STATUS_INTEGER_OVERFLOW)"},
    {0xC00000FD, "crashed: a stack overflow (STATUS_STACK_OVERFLOW)"},
    {0xC0000409, "ended at once by a failed check: a buffer overrun or a fail-fast (STATUS_STACK_BUFFER_OVERRUN)"},
    {0xC0000374, "crashed: the heap is corrupt (STATUS_HEAP_CORRUPTION)"},
    {0xC0000017, "ended for want of memory (STATUS_NO_MEMORY)"},
    {0x80000003, "crashed: a breakpoint with no debugger (STATUS_BREAKPOINT)"},
    {0x80000002, "crashed: a misaligned access (STATUS_DATATYPE_MISALIGNMENT)"},
    {0xE06D7363, "crashed: a C++ exception nobody caught"},
    {0xC000013A, "interrupted from the console: Ctrl-C or its window closed (STATUS_CONTROL_C_EXIT)"},
    // Wine's loader binds an entry that a library lacks to a stub, which raises this when called.
    {0x80000100, "called an entry that its library does not export (Wine's stub for it)"},
};

} // namespace

extern "C" const char* hook_host_status_text(int32_t status)
{
    for (const StatusText& known : texts) {
        if (known.status == static_cast<uint32_t>(status))
            return known.text;
    }
    return "";
}
