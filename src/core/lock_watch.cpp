// Waiting for many robust locks to come free (see lock_watch.hpp).

#include "lock_watch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <vector>

#include "futex.hpp"
#include "mutex_word.hpp"

namespace kel {

namespace {

// Every sleep ends this soon and looks at the words again, so that a wake nobody sent
// (a taker that dropped the waiters bit) costs no more than this.
constexpr auto kSleepBound = std::chrono::milliseconds(100);
// Locks that futex_waitv cannot take are read this often.
constexpr auto kPollSlice = std::chrono::milliseconds(1);

// Free: the next try takes it (nobody holds it, or its holder died). Held: the word
// carries the waiters bit beside a live owner, and `value` is what it holds.
struct Look {
    bool free;
    std::uint32_t value;
};

Look look_at(pthread_mutex_t* mutex, bool mark) {
    std::atomic_ref<std::uint32_t> word(*mutex_word(mutex));
    std::uint32_t v = word.load(std::memory_order_acquire);
    for (;;) {
        if ((v & kFutexTidMask) == 0 || (v & kFutexOwnerDied) != 0)
            return {true, v};
        if ((v & kFutexWaiters) != 0 || !mark)
            return {false, v};
        // Only from the value just read, owner and all: an owner that let go meanwhile
        // must not find the bit on a free word.
        if (word.compare_exchange_weak(v, v | kFutexWaiters, std::memory_order_relaxed))
            return {false, v | kFutexWaiters};
    }
}

// A free lock this waiter slept on: the wake it took may have been meant for a thread
// blocked in pthread_mutex_lock, which is woken now to try for itself.
void pass_on_wake(pthread_mutex_t* mutex) {
    (void)::syscall(SYS_futex, mutex_word(mutex), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace

std::size_t wait_any_free(std::span<LockWatch> watches, std::uint32_t* wake, std::uint32_t seen_wake, Deadline until,
                          LockWaitMethod method) {
    std::vector<FutexVectorEntry> entries;
    std::vector<std::size_t> slept_on; // the watches of `entries` beyond the wake word
    bool woken = false;                // the last sleep ended by a wake, perhaps of a lock
    for (;;) {
        const bool vector = method == LockWaitMethod::Vector;
        std::size_t free = 0;
        entries.clear();
        if (vector)
            entries.push_back({seen_wake, reinterpret_cast<std::uint64_t>(wake), kFutexSize32 | kFutexPrivate, 0});
        std::vector<std::size_t> sleeping;
        for (std::size_t i = 0; i < watches.size(); ++i) {
            const Look look = look_at(watches[i].mutex, vector);
            watches[i].free = look.free;
            if (look.free) {
                ++free;
            } else if (vector && entries.size() < kFutexVectorMax) {
                // Shared, as glibc wakes a robust mutex's sleepers.
                entries.push_back({look.value, reinterpret_cast<std::uint64_t>(mutex_word(watches[i].mutex)),
                                   kFutexSize32, 0});
                sleeping.push_back(i);
            }
        }
        if (woken) {
            for (std::size_t i : slept_on) {
                if (watches[i].free)
                    pass_on_wake(watches[i].mutex);
            }
        }
        if (free > 0)
            return free;
        if (std::atomic_ref<std::uint32_t>(*wake).load() != seen_wake)
            return 0;
        const Deadline now = Clock::now();
        if (now >= until)
            return 0;
        Deadline end = std::min(until, now + kSleepBound);
        if (!vector || sleeping.size() < watches.size())
            end = std::min(end, now + kPollSlice);
        woken = false;
        slept_on = std::move(sleeping);
        if (!vector) {
            futex_wait_private(wake, seen_wake, end);
            continue;
        }
        if (futex_wait_vector(entries, end) >= 0) {
            woken = true;
        } else if (errno != EAGAIN && errno != ETIMEDOUT && errno != EINTR) {
            method = LockWaitMethod::Poll; // a kernel before 5.16, or a sandbox that refuses it
            slept_on.clear();
        }
    }
}

void interrupt_lock_wait(std::uint32_t* wake) {
    std::atomic_ref<std::uint32_t>(*wake).fetch_add(1);
    (void)::syscall(SYS_futex, wake, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace kel
