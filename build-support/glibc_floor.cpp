// fstat became an exported function of its own in glibc 2.33; before, <sys/stat.h>
// turned every call into __fxstat(_STAT_VER, ...), which every glibc since 2.2.5 still
// exports. The link wraps fstat (-Wl,--wrap=fstat, see CMakeLists.txt) so the module
// calls __fxstat as a build on an older glibc would, and needs no 2.33.
#include <sys/stat.h>

extern "C" {

// The x86-64 kernel's struct stat is the one the interface version 1 fills.
constexpr int kStatVersionLinux = 1;

int kelvane_fxstat(int version, int fd, struct stat* buf);
__asm__(".symver kelvane_fxstat,__fxstat@GLIBC_2.2.5");

int __wrap_fstat(int fd, struct stat* buf) {
    return kelvane_fxstat(kStatVersionLinux, fd, buf);
}

// libstdc++'s reference counts (std::shared_ptr) skip their atomic operations while
// glibc's __libc_single_threaded (new in 2.32) says the process runs one thread. The
// module's own copy, hidden and always 0 ("other threads may run"), keeps the atomics on
// and needs no 2.32.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

} // extern "C"
