// The futex calls of the waits that sleep on many words at once (watch.cpp,
// lock_watch.cpp): futex_waitv over a vector of words, and a sleep on one word of
// this process's own.
#pragma once

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "deadline.hpp"

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449 // the same number on every architecture; older headers lack it
#endif

namespace kel {

// The kernel's struct futex_waitv, declared here so that older headers build too.
struct FutexVectorEntry {
    std::uint64_t value;
    std::uint64_t address;
    std::uint32_t flags;
    std::uint32_t reserved;
};
static_assert(sizeof(FutexVectorEntry) == 24);

inline constexpr std::uint32_t kFutexSize32 = 2;    // FUTEX_32
inline constexpr std::uint32_t kFutexPrivate = 128; // FUTEX_PRIVATE_FLAG: a word of this process only
inline constexpr std::size_t kFutexVectorMax = 128; // FUTEX_WAITV_MAX

// Sleeps until one of the words is woken, one no longer holds its value, or `end`:
// the index of a woken word, or -1 with errno (EAGAIN, ETIMEDOUT, EINTR; ENOSYS on a
// kernel before 5.16, EPERM in a sandbox that refuses the call).
inline long futex_wait_vector(std::vector<FutexVectorEntry>& entries, Deadline end) {
    const timespec abs = monotonic_timespec(end);
    return ::syscall(SYS_futex_waitv, entries.data(), static_cast<unsigned>(entries.size()), 0U, &abs,
                     CLOCK_MONOTONIC);
}

// Sleeps on a word of this process until it no longer holds `seen`, somebody wakes it, or `end`.
inline void futex_wait_private(std::uint32_t* word, std::uint32_t seen, Deadline end) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - Clock::now()).count();
    if (left <= 0)
        return;
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    (void)::syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
}

} // namespace kel
