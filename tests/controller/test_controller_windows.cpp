// The test controller's commands for Windows only.
#include <windows.h>

#include <string>

#include "test_controller.h"

const Command platform_commands[] = {
    // Sets the process's error mode, if given: "ok MODE".
    {"error-mode", 1, 2,
     [](char** words, int count) {
         if (count == 2)
             SetErrorMode(unsigned32(words[1]));
         answer(HOOK_HOST_OK, "ok " + std::to_string(GetErrorMode()));
     }},
    {nullptr, 0, 0, nullptr},
};
