// One thread waiting for many robust locks to come free, without taking them, for a
// process that serves many waiting callers (an event loop's awaiting acquires) with
// no thread for each. A robust mutex belongs to the thread that takes it, so the
// callers take it themselves, on their own threads, once told that it came free.
//
// The waiter sets FUTEX_WAITERS on the word of each held lock, as a thread blocked
// in pthread_mutex_lock does (by compare-and-swap, only beside a live owner's thread
// id: a word of the waiters bit alone would be held by nobody for ever), and sleeps
// on all the words at once with futex_waitv (Linux 5.16 and later, up to 127 locks a
// call), beside a word of its own process that its other threads bump to make it look
// again. The holder's unlock, and the kernel or glibc when the holder dies, wake one
// sleeper of a word that carries the bit. A waiter so woken may have taken that one
// wake from a thread blocked in pthread_mutex_lock, which would then sleep on: so on
// every lock it finds free after a wake it wakes all sleepers, and on every lock it
// finds held again it sets the bit again, whether or not it goes on waiting for it.
// Locks beyond what one futex_waitv takes, and every lock on a kernel without it, are
// read every millisecond instead. The lock record gains nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <span>

#include "deadline.hpp"

namespace kel {

// One lock to wait for.
struct LockWatch {
    pthread_mutex_t* mutex;
    bool free; // out: nobody held it, or its holder had died, when the wait ended
};

enum class LockWaitMethod { Vector, Poll };

// Waits until one of `watches` is free, `*wake` no longer holds `seen_wake`, or
// `until`; returns how many are free (0: woken or timed out). A free lock may be
// taken by another thread or process before the caller tries it.
[[nodiscard]] std::size_t wait_any_free(std::span<LockWatch> watches, std::uint32_t* wake, std::uint32_t seen_wake,
                                        Deadline until, LockWaitMethod method = LockWaitMethod::Vector);

// Changes `*wake` and wakes a wait_any_free of this process that sleeps on it.
void interrupt_lock_wait(std::uint32_t* wake);

} // namespace kel
