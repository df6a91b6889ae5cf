#include "streams_windows.h"

#include <ntsecapi.h>

namespace hook_control_internal {

namespace {

// Handles that a child may be handed; the handle list hands over none but those given.
SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

// A security descriptor whose one entry lets the calling thread's user open the pipe, and nobody else:
// the default one lets Everyone read, and so connect to an inbound pipe and hold its one instance.
struct OwnUserOnly {
    SECURITY_DESCRIPTOR descriptor;
    alignas(DWORD) char list[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
};

bool make_own_user_only(OwnUserOnly& security)
{
    // The pipe is opened with the thread's token, an impersonated user's where it has one.
    Handle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token.value) &&
        (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.value)))
        return false;
    alignas(TOKEN_USER) char user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.value, TokenUser, user_buffer, sizeof user_buffer, &size))
        return false;
    const PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer)->User.Sid;
    auto* const list = reinterpret_cast<ACL*>(security.list);
    return InitializeAcl(list, sizeof security.list, ACL_REVISION) &&
           AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user) &&
           InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&security.descriptor, TRUE, list, FALSE);
}

} // namespace

// The host's standard output: a pipe whose reading end is ours and overlapped, so that a wait for
// the report line can end at a time or at the host's end; an anonymous pipe cannot be read so.
// As Rust's standard library and libuv make theirs: a named pipe of one instance, created with
// FILE_FLAG_FIRST_PIPE_INSTANCE (refused where the name is taken) and opened at once by its other end.
// Unlike theirs the name is not one to guess: 128 bits from the system's generator, fresh for every
// pipe; and where another process took the name first, or connected first (it may list the pipes),
// the next try has a new name. A pipe whose other end we opened is ours alone: it has one instance.
bool make_output_pipe(Handle& reading, Handle& writing)
{
    OwnUserOnly own{};
    if (!make_own_user_only(own))
        return false;
    SECURITY_ATTRIBUTES security{sizeof security, &own.descriptor, FALSE};
    for (int tries = 0; tries < 16; ++tries) {
        ULONG random[4];
        if (!RtlGenRandom(random, sizeof random)) {
            SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        wchar_t name[80];
        wsprintfW(name, L"\\\\.\\pipe\\hook_control.%lu.%08lx%08lx%08lx%08lx", GetCurrentProcessId(), random[0],
                  random[1], random[2], random[3]);
        reading.value = CreateNamedPipeW(
            name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 4096, 0, &security);
        if (reading.value == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_ACCESS_DENIED) // the name is taken
                continue;
            return false;
        }
        writing.value = CreateFileW(name, GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
        if (writing.value != INVALID_HANDLE_VALUE)
            return true;
        if (GetLastError() != ERROR_PIPE_BUSY) // busy: another process connected first
            return false;
        CloseHandle(reading.release());
    }
    SetLastError(ERROR_PIPE_BUSY);
    return false;
}

// The host's standard error: the controller's own, as a handle of its own that may be handed over
// (none where it has none); the null device for a host that outlives its controller, which would
// otherwise hold the controller's pipe open after its end (`controller 2>&1 | cat` would wait for it).
bool standard_error(uint32_t flags, Handle& error)
{
    if (flags & HOOK_HOST_OUTLIVE_CONTROLLER) {
        error.value = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                  OPEN_EXISTING, 0, nullptr);
        return error.value != INVALID_HANDLE_VALUE;
    }
    // Before Windows 8 a console's handles are pseudo-handles (their low two bits set), which a handle
    // list refuses: the host, which runs without a console, is handed none of them.
    const HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
    if (!own || own == INVALID_HANDLE_VALUE || (reinterpret_cast<ULONG_PTR>(own) & 3) == 3)
        return true;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &error.value, 0, TRUE, DUPLICATE_SAME_ACCESS))
        error.value = nullptr;
    return true;
}

} // namespace hook_control_internal
