// Reading a robust mutex's lock word without locking it.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

namespace kel {

// glibc keeps a robust mutex's futex word first: the owner's thread id beside the
// kernel's waiters and owner-died bits (the robust futex ABI, linux/futex.h).
inline constexpr std::uint32_t kFutexWaiters = 0x80000000U;
inline constexpr std::uint32_t kFutexOwnerDied = 0x40000000U;
inline constexpr std::uint32_t kFutexTidMask = 0x3fffffffU;

inline std::uint32_t* mutex_word(pthread_mutex_t* mutex) { return reinterpret_cast<std::uint32_t*>(mutex); }

// The owner's thread id in a robust mutex's lock word; 0 when nobody holds it.
inline pid_t mutex_owner_tid(pthread_mutex_t* mutex) {
    return static_cast<pid_t>(std::atomic_ref<std::uint32_t>(*mutex_word(mutex)).load(std::memory_order_relaxed) &
                              kFutexTidMask);
}

// True while a live thread holds the mutex: an owner's id without the owner-died bit.
// (A holder that died leaves the bit, and its id too when only its thread ended.)
inline bool mutex_held(pthread_mutex_t* mutex) {
    const std::uint32_t v = std::atomic_ref<std::uint32_t>(*mutex_word(mutex)).load(std::memory_order_relaxed);
    return (v & kFutexTidMask) != 0 && (v & kFutexOwnerDied) == 0;
}

} // namespace kel
