// Points in time that waits end at, on the monotonic clock (CLOCK_MONOTONIC).
#pragma once

#include <chrono>
#include <ctime>

namespace kel {

// kForever never comes. With kNoWait a mutex is tried once and nothing is waited for:
// the only form of a queue or lock call that may run with the interpreter lock held.
using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
inline constexpr Deadline kForever = Deadline::max();
inline constexpr Deadline kNoWait = Deadline::min();

// The absolute time the pthread and futex calls take for `t` (steady_clock is CLOCK_MONOTONIC).
inline timespec monotonic_timespec(Deadline t) {
    const auto since_epoch = t.time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    return timespec{static_cast<time_t>(secs.count()),
                    static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs).count())};
}

} // namespace kel
