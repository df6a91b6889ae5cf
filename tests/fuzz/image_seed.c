// The seed of the image readers' fuzzing: a library with the entry and one import, built as PE and
// ELF images of both widths with no C library, so that each is a few kilobytes.
#ifdef _WIN32
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
#else
unsigned long GetTickCount(void);
#endif

void SetTeskShellHook(long long hook_argument);

void SetTeskShellHook(long long hook_argument)
{
    (void)hook_argument;
    (void)GetTickCount();
}
