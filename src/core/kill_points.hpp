// Named places where a crash-test build stops the process with SIGKILL.
//
// Compiled in only with KELVANE_KILL_POINTS; the released module has none. The
// environment variable KELVANE_KILL_AT names the point, KELVANE_KILL_SKIP how
// many passes to let through first.
#pragma once

#ifdef KELVANE_KILL_POINTS

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace kel {

inline void kill_point(const char* name) {
    static const char* target = std::getenv("KELVANE_KILL_AT");
    static std::atomic<long> skip{[] {
        const char* s = std::getenv("KELVANE_KILL_SKIP");
        return s != nullptr ? std::atol(s) : 0L;
    }()};
    if (target != nullptr && std::strcmp(target, name) == 0 && skip.fetch_sub(1) <= 0)
        std::raise(SIGKILL);
}

} // namespace kel

#define KEL_KILL_POINT(name) ::kel::kill_point(name)

#else

#define KEL_KILL_POINT(name) ((void)0)

#endif
