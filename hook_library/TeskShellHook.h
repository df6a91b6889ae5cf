/* The entry of the hook library, as the hook hosts call it: TeskShellHook64.dll for hook_host.exe
 * (x86-64), TeskShellHook32.dll for hook_host32.exe (x86). A global hook's library is loaded only
 * into processes of its own architecture, so a hook for both kinds of process is two builds of the
 * library, one beside each host.
 *
 * For the authors of the library, in C or C++ (MSVC, mingw-w64, clang): build the library with
 * TESK_SHELL_HOOK_BUILD defined, so that this declaration exports the entry; a program that calls it
 * includes this header without it and imports the entry. Link TeskShellHook64.def (x86-64) or
 * TeskShellHook32.def (x86) into the library as well: it exports the entry by its plain name, as the
 * host binds to it, whatever the compiler would make of the name.
 *
 * What the host does with the entry, and all that a library may rely on:
 * - It binds the entry by name when it is loaded, from its library beside it: a library without an
 *   export named exactly SetTeskShellHook, of another architecture than the host's, or that fails to
 *   load, stops the host's start before any of its own code runs.
 * - It calls the entry exactly once, on its main thread, after its report line
 *   "Adding hook for NUMBER" is out; hook_argument is NUMBER at the pointer's width, widened with its
 *   sign on x86-64 (-7 arrives with every upper bit set) and the value itself on x86.
 * - It never looks at what the call did, and calls nothing else: there is no removal call. Whatever
 *   the call installs goes with the process, when the host's close ends it or the host is killed.
 * - After the call the main thread only polls its message queue, then sleeps 100 ms, until WM_CLOSE
 *   arrives. So whatever the system delivers to that thread while it retrieves messages (the calls
 *   of a low-level hook, a global hook's calls for 32-bit processes on Windows, messages sent to a
 *   window the call made on that thread) waits up to one pause. A library that must answer sooner
 *   runs a thread of its own, with its own message loop, and installs from there.
 * - A close waits for the call to return: a library that holds the thread in the call holds the
 *   host's close as long.
 */
#ifndef TESK_SHELL_HOOK_H
#define TESK_SHELL_HOOK_H

#include <stdint.h>

/* A program that binds the entry through its import library's thunk, rather than through the
 * import table at the call, may define TESK_SHELL_HOOK_API as empty: both reach the same export. */
#ifndef TESK_SHELL_HOOK_API
#ifdef _WIN32
#ifdef TESK_SHELL_HOOK_BUILD
#define TESK_SHELL_HOOK_API __declspec(dllexport)
#else
#define TESK_SHELL_HOOK_API __declspec(dllimport)
#endif
#else
/* On Linux, where the host is built for testing: an ordinary exported function of a shared library. */
#define TESK_SHELL_HOOK_API __attribute__((visibility("default")))
#endif
#endif

/* The C calling convention on both architectures. On x86 it is what the host's call expects: the
 * caller pops the argument. An x86 __stdcall entry (WINAPI, CALLBACK) is exported as
 * _SetTeskShellHook@4, which the host does not bind; and even where a .def hides that name, it pops
 * its argument itself, and so unbalances the host's stack. On x86-64 there is one convention, the
 * platform's (the argument in RCX), and compilers take __cdecl for it; said all the same, since
 * MSVC's /Gv would make the entry __vectorcall, named SetTeskShellHook@@8 even under extern "C". */
#ifdef _WIN32
#define TESK_SHELL_HOOK_CALL __cdecl
#else
#define TESK_SHELL_HOOK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Installs the hook for hook_argument, a pointer-width integer on both architectures. The host calls
 * it once, on its main thread, and once it has returned waits on that same thread for its close. */
TESK_SHELL_HOOK_API void TESK_SHELL_HOOK_CALL SetTeskShellHook(intptr_t hook_argument);

#ifdef __cplusplus
}
#endif

#endif
