// Reading a robust mutex's lock word without locking it.
#pragma once

#include <atomic>
#include <pthread.h>
#include <sys/types.h>

namespace kel {

// The owner's thread id in a robust mutex's lock word (glibc keeps it in the first
// word, beside the waiters and owner-died bits); 0 when nobody holds it.
inline pid_t mutex_owner_tid(pthread_mutex_t* mutex) {
    constexpr unsigned kTidMask = 0x3fffffffU;
    auto* word = reinterpret_cast<unsigned*>(mutex);
    return static_cast<pid_t>(std::atomic_ref<unsigned>(*word).load(std::memory_order_relaxed) & kTidMask);
}

} // namespace kel
