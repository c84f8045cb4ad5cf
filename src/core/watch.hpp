// One thread waiting for many queues at once, for a process that serves many
// waiting callers (an event loop's awaiting calls) without a thread for each.
//
// The thread counts itself among the sleepers of each queue's wait word, as a
// blocked put or get does, so every waker bumps the word and wakes it; it sleeps on
// all the words at once with futex_waitv (Linux 5.16 and later, up to 128 words a
// call) and on a word of its own process that its other threads bump to make it look
// again (a new caller, one that gave up). Words beyond what one futex_waitv takes,
// and every word on a kernel without it, are polled in short slices instead. It never
// waits for a queue's mutex: a busy one is tried again after a short sleep. The
// queue header gains nothing; a waiter killed while counted leaves a stale count
// behind, as a killed blocked get does (wakers then pay for a futex wake).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "deadline.hpp"
#include "errors.hpp"
#include "queue.hpp"

namespace kel {

// One queue to wait for: a record (room 0), or `room` bytes of room (RingQueue::watch),
// for a caller whose own claim on room is that of thread `claimant` (0: none).
struct Watch {
    RingQueue* ring;
    std::uint64_t room;
    std::uint32_t claimant;
    bool ready; // out: it was there when the wait ended (another process may take it first)
};

enum class WaitMethod { Vector, Poll };

// Waits without the interpreter lock until one of `watches` is ready, `*wake` no longer
// holds `seen_wake`, or `until`. Returns how many are ready (0: woken or timed out).
// Nothing stays counted once it returns. Poll (or a kernel without futex_waitv) polls
// every word in slices of a few milliseconds.
[[nodiscard]] Result<std::size_t, QueueError> wait_any(std::span<Watch> watches, std::uint32_t* wake,
                                                       std::uint32_t seen_wake, Deadline until, WaitMethod method);

// Changes `*wake` and wakes a wait_any of this process that sleeps on it.
[[nodiscard]] Status<QueueError> interrupt_wait(std::uint32_t* wake);

} // namespace kel
