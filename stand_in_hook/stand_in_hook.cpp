// A stand-in for the closed hook library: it installs nothing, and records every call where tests
// can read it. Its settings are its own, read from the environment (the host reads none):
//   TESK_STAND_IN_RECORD   file that gets one line a call:
//                          "<value> <value as hex, at the pointer's width> <pid> <tid>"
//   TESK_STAND_IN_HOLD_MS  how long to stay inside the call, as a slow installation would
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "TeskShellHook.h"
#include "caller.h"

extern "C" void TESK_SHELL_HOOK_CALL SetTeskShellHook(intptr_t hook_argument)
{
    if (const char* path = std::getenv("TESK_STAND_IN_RECORD")) {
        if (std::FILE* record = std::fopen(path, "a")) {
            std::fprintf(record, "%" PRIdPTR " %0*" PRIxPTR " %" PRIu64 " %" PRIu64 "\n", hook_argument,
                         static_cast<int>(2 * sizeof hook_argument), static_cast<uintptr_t>(hook_argument),
                         caller_process_id(), caller_thread_id());
            std::fclose(record);
        }
    }
    if (const char* hold = std::getenv("TESK_STAND_IN_HOLD_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(hold, nullptr, 10)));
}
