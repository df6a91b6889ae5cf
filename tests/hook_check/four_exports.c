// A sound entry among three more exports, B, Y and Z, whose names sort around it: the tests put the
// library's name table out of order.
#include <stdint.h>

void B(void);
void SetTeskShellHook(int64_t hook_argument);
void Y(void);
void Z(void);

void B(void) { }

void SetTeskShellHook(int64_t hook_argument)
{
    (void)hook_argument;
}

void Y(void) { }

void Z(void) { }
