// A hook library without the entry, which needs a library that defines it.
void hook_check_beside_entry(void);

void hook_check_beside_entry(void) { }
