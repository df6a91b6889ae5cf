// A library that missing_import needs, and that is never placed beside the host.
void hook_check_gone(void);

void hook_check_gone(void) { }
