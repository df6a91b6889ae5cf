// The hook library without its entry, for the tests of a start that must be refused: it exports
// nothing that the host binds to.
extern "C" void NotTheHookEntry() { }
