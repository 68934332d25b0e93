// Linked into every module beside the static C++ runtime.
//
// libstdc++ built against glibc 2.32 or newer reads `__libc_single_threaded`
// to skip atomic reference counts while a process has one thread. Taking that
// flag from glibc would tie the modules to GLIBC_2.32; defining it here, as
// "never single-threaded" and private to each module, keeps them on the old
// symbol versions. The only effect is that the runtime always uses atomics,
// which an interpreter that may start threads at any moment needs anyway.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
