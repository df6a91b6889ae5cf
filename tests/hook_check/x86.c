// A sound entry, built for 32-bit x86: a library the 64-bit host cannot load. Nothing of the C
// library is used, so that it builds without one.
void SetTeskShellHook(long long hook_argument);

void SetTeskShellHook(long long hook_argument)
{
    (void)hook_argument;
}
