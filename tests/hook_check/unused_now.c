// A sound entry in a library bound at once (-z now) whose symbols name a function no library
// defines, which no relocation binds: only a note, which is never loaded, refers to it.
#include <stdint.h>

void SetTeskShellHook(int64_t hook_argument);

__asm__(".section .note.hook_check,\"\",@note\n.quad hook_check_nowhere\n.previous");

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
}
