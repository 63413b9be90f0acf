// Linked into each release module so that the statically linked C++ runtime
// imports nothing newer from glibc than the oldest release the wheel targets.

extern "C" {

// glibc 2.32 added this flag to let the C++ runtime skip atomic reference
// counts while a process has one thread. Kept at 0, counts are always atomic,
// which is what the runtime does on glibc releases without the flag.
char __libc_single_threaded = 0;

}
