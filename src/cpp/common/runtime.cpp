// Linked into every module where the C++ runtime is linked in statically
// (Linux; see flags.cmake).
//
// libstdc++ built against glibc 2.32 or newer reads `__libc_single_threaded`
// to skip atomic reference counts while a process has one thread. Taking that
// flag from glibc would tie the modules to GLIBC_2.32; defining it here, as
// "never single-threaded" and private to each module, keeps them on the old
// symbol versions. The only effect is that the runtime always uses atomics,
// which an interpreter that may start threads at any moment needs anyway.
// musl and libc++ have no such flag: nothing is defined for them.
#include <cstddef>  // defines __GLIBC__ and __GLIBCXX__ where they apply

#if defined(__GLIBC__) && defined(__GLIBCXX__)
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
#endif
