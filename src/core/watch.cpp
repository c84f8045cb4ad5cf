// Waiting for many queues at once (see watch.hpp).

#include "watch.hpp"

#include "futex.hpp"
#include "spin.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <vector>

namespace kel {

namespace {

// Every sleep ends this soon, so a change nobody announced (a claim on room that
// lapsed) is seen as a blocked put sees it.
constexpr auto kSleepBound = std::chrono::milliseconds(100);
// Words that futex_waitv cannot take are read this often.
constexpr auto kPollSlice = std::chrono::milliseconds(2);
// A busy mutex is tried again after this, doubling up to kBusyMost: one that is
// held for long is stopped or stuck, and nobody needs to hear of it at once.
constexpr auto kBusyFirst = std::chrono::milliseconds(1);
constexpr auto kBusyMost = std::chrono::milliseconds(64);

// Up to this many watches are looked at for a while before the thread sleeps.
constexpr std::size_t kSpinWatches = 16;

enum class State : std::uint8_t { Busy, Counted, Ready };

struct Armed {
    State state;
    std::uint32_t seen;
};

std::uint32_t load_word(std::uint32_t* word) { return std::atomic_ref<std::uint32_t>(*word).load(); }

} // namespace

Result<std::size_t, QueueError> wait_any(std::span<Watch> watches, std::uint32_t* wake, std::uint32_t seen_wake,
                                         Deadline until, WaitMethod method) {
    std::vector<Armed> armed(watches.size(), Armed{State::Busy, 0});
    std::size_t ready = 0;
    auto uncount = [&] {
        for (std::size_t i = 0; i < watches.size(); ++i) {
            if (armed[i].state == State::Counted) {
                watches[i].ring->unwatch(watches[i].room);
                armed[i].state = State::Busy;
            }
        }
    };
    // Counts this thread on one watch's queue, unless its mutex is busy; false on an error.
    std::optional<QueueError> error;
    auto arm = [&](std::size_t i) {
        auto tried = watches[i].ring->watch(watches[i].room, watches[i].claimant, armed[i].seen);
        if (!tried.ok()) {
            error.emplace(std::move(tried.error()));
            return false;
        }
        switch (tried.value()) {
        case Attempt::Done:
            armed[i].state = State::Ready;
            ++ready;
            break;
        case Attempt::WouldBlock:
            armed[i].state = State::Counted;
            break;
        default:
            armed[i].state = State::Busy;
            break;
        }
        return true;
    };
    for (std::size_t i = 0; i < watches.size(); ++i) {
        if (!arm(i)) {
            uncount();
            return *error;
        }
    }

    // An answer is often on its way (a reply, another caller of this process): watch for
    // it a short while before sleeping, as a blocked get does. Few watches only: each
    // look reads every one.
    if (ready == 0 && watches.size() <= kSpinWatches) {
        (void)spin_until([&] {
            if (load_word(wake) != seen_wake)
                return true;
            for (std::size_t i = 0; i < watches.size(); ++i) {
                const Watch& w = watches[i];
                if (armed[i].state == State::Counted && w.ring->ready_hint(w.room, w.claimant))
                    return true;
            }
            return false;
        });
    }

    std::vector<FutexVectorEntry> entries;
    auto busy_pause = std::chrono::duration_cast<Clock::duration>(kBusyFirst);
    while (ready == 0 && load_word(wake) == seen_wake) {
        const Deadline now = Clock::now();
        if (now >= until)
            break;
        Deadline end = std::min(until, now + kSleepBound);
        bool busy = false;
        std::size_t counted = 0;
        entries.clear();
        if (method == WaitMethod::Vector)
            entries.push_back({seen_wake, reinterpret_cast<std::uint64_t>(wake), kFutexSize32 | kFutexPrivate, 0});
        for (std::size_t i = 0; i < watches.size(); ++i) {
            if (armed[i].state == State::Busy) {
                busy = true;
            } else if (armed[i].state == State::Counted) {
                ++counted;
                if (method == WaitMethod::Vector && entries.size() < kFutexVectorMax)
                    entries.push_back({armed[i].seen,
                                       reinterpret_cast<std::uint64_t>(watches[i].ring->wait_word(watches[i].room)),
                                       kFutexSize32, 0});
            }
        }
        if (busy) {
            end = std::min(end, now + busy_pause);
            busy_pause = std::min(busy_pause * 2, std::chrono::duration_cast<Clock::duration>(kBusyMost));
        }
        if (method == WaitMethod::Poll || counted + 1 > entries.size())
            end = std::min(end, now + kPollSlice);
        if (method == WaitMethod::Vector) {
            if (futex_wait_vector(entries, end) < 0) {
                const int err = errno;
                if (err == ENOSYS || err == EPERM) {
                    method = WaitMethod::Poll; // a kernel before 5.16, or a sandbox that refuses it
                    continue;
                }
                if (err != EAGAIN && err != ETIMEDOUT && err != EINTR) {
                    uncount();
                    return QueueError::from_cond(CondError::pthread(err));
                }
            }
        } else {
            futex_wait_private(wake, seen_wake, end);
        }
        // Still counted on every queue whose word moved: reading the word again and
        // then the condition loses no change, since every later one bumps it again.
        for (std::size_t i = 0; i < watches.size(); ++i) {
            Watch& w = watches[i];
            if (armed[i].state == State::Counted) {
                armed[i].seen = load_word(w.ring->wait_word(w.room));
                if (w.ring->ready_hint(w.room, w.claimant)) {
                    w.ring->unwatch(w.room);
                    armed[i].state = State::Ready;
                    ++ready;
                }
            } else if (armed[i].state == State::Busy && !arm(i)) {
                uncount();
                return *error;
            }
        }
    }
    uncount();
    for (std::size_t i = 0; i < watches.size(); ++i)
        watches[i].ready = armed[i].state == State::Ready;
    return ready;
}

Status<QueueError> interrupt_wait(std::uint32_t* wake) {
    std::atomic_ref<std::uint32_t>(*wake).fetch_add(1);
    if (::syscall(SYS_futex, wake, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0) < 0)
        return QueueError::from_cond(CondError::pthread(errno));
    return {};
}

} // namespace kel
