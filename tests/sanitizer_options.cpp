// Default AddressSanitizer options for every host test program and fuzz target.
//
// The kernel heap is one static area that tests reset between cases, so LeakSanitizer has
// nothing useful to say; it is also unusable under qemu-i386, where it waits for ever at exit
// trying to stop threads it cannot see. Test discovery starts the programs without ctest's
// environment, so the option has to be built in rather than passed as ASAN_OPTIONS.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
