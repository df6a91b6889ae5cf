// The DLLs that Windows maps from its KnownDLLs at its start, whichever program loads them.
#pragma once

#include <string>

// Whether Windows loads the DLL `name` (in any case) from its KnownDLLs, its system folder's copy, and
// never looks for it beside the program or elsewhere: those the registry lists (Session Manager's
// KnownDLLs) on Windows 10 and 11, and ntdll.dll, which every process has. Wine's list differs: this
// one is Windows'.
bool known_dll(const std::string& name);
