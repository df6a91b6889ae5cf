// A library between the hook library and the one it needs in turn, with no search path of its own.
void hook_check_gone(void);
void hook_check_middle(void);

void hook_check_middle(void)
{
    hook_check_gone();
}
