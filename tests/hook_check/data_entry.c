// The entry's name given to data, not to a function: the host binds it, and its call crashes.
long long SetTeskShellHook = 0;
