// A sound entry that uses nothing of a C library, so that it builds bare for any machine: for 32-bit
// x86 and for ARM64, libraries that the 64-bit host cannot load, and the hook libraries of the hosts
// of those machines.
void SetTeskShellHook(long long hook_argument);

void SetTeskShellHook(long long hook_argument)
{
    (void)hook_argument;
}
