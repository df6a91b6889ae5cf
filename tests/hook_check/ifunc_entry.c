// A sound entry chosen by an IFUNC resolver, which a start runs as it binds the entry, before the C
// library has its environment: it creates the file "ran" in the folder it runs in (the host's, where
// hook_control starts it), so that a test sees whether it ran.
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

void SetTeskShellHook(int64_t hook_argument);

static void chosen(int64_t hook_argument)
{
    (void)hook_argument;
}

__attribute__((no_sanitize_address)) static void (*choose(void))(int64_t)
{
    const int file = open("ran", O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (file >= 0)
        close(file);
    return chosen;
}

void SetTeskShellHook(int64_t hook_argument) __attribute__((ifunc("choose")));
