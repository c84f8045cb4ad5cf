// Short waits by polling, for the moments when the other side is running on another
// CPU and will act sooner than a sleeping process could be woken.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace kel {

// Waking a sleeping process costs tens of microseconds; when the other side runs on
// another CPU it usually acts sooner than that. A waiter therefore watches the
// shared state for a short while first, and sleeps only when nothing happened.
// With a single CPU that would only steal the other side's time slice.
inline constexpr auto kSpinFor = std::chrono::microseconds(50);

inline bool several_cpus() {
    static const bool several = std::thread::hardware_concurrency() > 1;
    return several;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Polls `ready` at growing intervals (1 us, doubling up to 8 us) for up to kSpinFor.
template <class Ready>
bool spin_until(Ready ready) {
    if (!several_cpus())
        return ready();
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto interval = std::chrono::nanoseconds(1000);
    auto next = start;
    for (;;) {
        if (ready())
            return true;
        next += interval;
        interval = std::min(interval * 2, std::chrono::nanoseconds(8000));
        // Let whatever else is runnable on this CPU go first: the process we wait for
        // may be one of them.
        std::this_thread::yield();
        clock::time_point now;
        do {
            for (int j = 0; j < 8; ++j)
                cpu_relax();
            now = clock::now();
        } while (now < next);
        if (now - start > kSpinFor)
            return ready();
    }
}

// Polls `ready` every few hundred nanoseconds for up to kSpinFor, yielding the CPU
// about every microsecond: for a state that changes in one store, like a lock word.
template <class Ready>
bool poll_until(Ready ready) {
    if (!several_cpus())
        return ready();
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    for (unsigned i = 1;; ++i) {
        if (ready())
            return true;
        for (int j = 0; j < 16; ++j)
            cpu_relax();
        if (i % 8 == 0) {
            std::this_thread::yield();
            if (clock::now() - start > kSpinFor)
                return ready();
        }
    }
}

} // namespace kel
