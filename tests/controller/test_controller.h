// What the test controller's commands share: the host they act on, how they answer, and the table of
// commands each platform's file adds to the common ones.
#pragma once

#include <stdint.h>

#include <string>

#include "hook_control.h"

// A command: its name, the least and most words it takes (its name counted), and what it does with
// them; each answers with one line.
struct Command {
    const char* name;
    int least_words;
    int most_words;
    void (*run)(char** words, int count);
};

// The last host started; a start releases the one before.
extern hook_host* host;

// Answers "ok_text", "timeout", "gone" or "failed <why>".
void answer(hook_host_result result, const std::string& ok_text = "ok");

// Releases the host and starts PATH with NUMBER: "ok PID".
void start(const char* path, const char* number, uint32_t flags);

uint32_t unsigned32(const char* text);

// Whether `waitable`, as hook_host_waitable gives it, is signalled within `ms`, waited on as a
// controller's own loop waits on it (test_controller_linux.cpp, test_controller_windows.cpp).
bool signalled_within(intptr_t waitable, uint32_t ms);

// This platform's own commands (test_controller_linux.cpp, test_controller_windows.cpp), ended by one
// without a name.
extern const Command platform_commands[];
