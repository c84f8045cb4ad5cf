// Keeps the module loadable on glibc releases older than the one it is built on.
//
// The link binds each reference to the newest version of its symbol. Everything that
// glibc 2.34 moved from libpthread and librt into libc got a new GLIBC_2.34 version
// there, next to the old one, so a build on 2.34 or later would ask for 2.34 although
// the functions are decades old. These directives bind the module to the oldest
// version of each instead: on 2.34 and later that is the very same function under its
// old name; before 2.34 it lives in libpthread.so.0 or librt.so.1, which the module
// therefore lists as needed (CMakeLists.txt). Nothing here changes what is called.
//
// CMakeLists.txt forces this header into every source of the module when it builds
// on x86-64 glibc 2.34 or later (the versions named here are x86-64's).
// A function added to the module that glibc moved too would bind to GLIBC_2.34 again;
// `./dev dist` fails then, because the wheel no longer meets its manylinux policy:
// add the function here with its oldest version (`objdump -T libc.so.6`).
#pragma once

#define KELVANE_OLDEST(symbol, version) __asm__(".symver " #symbol "," #symbol "@" #version);

KELVANE_OLDEST(pthread_mutex_trylock, GLIBC_2.2.5)
KELVANE_OLDEST(pthread_mutex_timedlock, GLIBC_2.2.5)
KELVANE_OLDEST(pthread_mutex_clocklock, GLIBC_2.30)
KELVANE_OLDEST(pthread_mutex_consistent, GLIBC_2.12)
KELVANE_OLDEST(pthread_mutexattr_init, GLIBC_2.2.5)
KELVANE_OLDEST(pthread_mutexattr_destroy, GLIBC_2.2.5)
KELVANE_OLDEST(pthread_mutexattr_settype, GLIBC_2.2.5)
KELVANE_OLDEST(pthread_mutexattr_setpshared, GLIBC_2.2.5)
KELVANE_OLDEST(pthread_mutexattr_setrobust, GLIBC_2.12)
KELVANE_OLDEST(shm_open, GLIBC_2.2.5)
KELVANE_OLDEST(shm_unlink, GLIBC_2.2.5)

#undef KELVANE_OLDEST
