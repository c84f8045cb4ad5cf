// Ring operations on the queue header, and opening or creating a queue.

#include "queue.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <optional>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "kill_points.hpp"
#include "mutex_word.hpp"
#include "spin.hpp"

namespace kel {

namespace {

constexpr std::uint64_t kReady = 1;
constexpr long kWaitNanos = 100'000'000; // every wait re-tests its condition at least this often

// Positions are whole 64-bit atomics: a process that dies mid-store never leaves half
// a value. Under the mutex its ordering would do; the release store pairs with the
// acquire load of a process that reads the position as a hint without the mutex.
std::uint64_t load_pos(std::uint64_t& field) {
    return std::atomic_ref<std::uint64_t>(field).load(std::memory_order_acquire);
}
void store_pos(std::uint64_t& field, std::uint64_t value) {
    std::atomic_ref<std::uint64_t>(field).store(value, std::memory_order_release);
}

bool thread_exists(pid_t tid) { return ::kill(tid, 0) == 0 || errno != ESRCH; }

pid_t current_thread() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Queue critical sections are one copy long, so a busy mutex is usually free again
// within a microsecond or two: try for that long before the kernel gets involved.
// After that the wait sleeps in the kernel in slices, up to the caller's deadline.
// A mutex whose owner word names a thread that does not exist, without the kernel's
// owner-died mark, can only come from damage to the header and would never be
// unlocked: when the same missing owner is seen for a whole second (by this thread,
// across calls, so that callers waiting in short slices see it too), it is
// reported instead of waited for.
constexpr auto kLockSlice = std::chrono::milliseconds(250);
constexpr auto kOwnerGoneAfter = std::chrono::seconds(1);

struct MissingOwner {
    pid_t tid;
    Deadline since;
};
thread_local MissingOwner missing_owner{0, {}};

// Returns the code of the last lock call: EBUSY when `until` came first.
Result<int, LockError> lock_blocking(pthread_mutex_t* mutex, Deadline until) {
    // Watch the lock word and try only when it reads free: polling a shared line is
    // cheap for the holder, hammering it with atomic tries is not.
    int rc = EBUSY;
    if (poll_until([&] {
            if (mutex_owner_tid(mutex) != 0)
                return false;
            rc = pthread_mutex_trylock(mutex);
            return rc != EBUSY;
        }))
        return rc;
    for (;;) {
        const Deadline now = Clock::now();
        if (now >= until)
            return EBUSY;
        const Deadline slice_end = until - now > kLockSlice ? now + kLockSlice : until;
        const timespec abs = monotonic_timespec(slice_end);
        rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &abs);
        if (rc != ETIMEDOUT) {
            missing_owner.tid = 0;
            return rc;
        }
        const pid_t tid = mutex_owner_tid(mutex);
        if (tid == 0 || thread_exists(tid)) {
            missing_owner.tid = 0;
        } else if (tid != missing_owner.tid) {
            missing_owner = {tid, Clock::now()};
        } else if (Clock::now() - missing_owner.since >= kOwnerGoneAfter) {
            return LockError::owner_gone(tid);
        }
    }
}

Result<Attempt, LockError> lock_queue_after_try(pthread_mutex_t* mutex, Deadline until, int rc) {
    if (rc == EBUSY && until != kNoWait) {
        auto waited = lock_blocking(mutex, until);
        if (!waited.ok())
            return waited.error();
        rc = waited.value();
    }
    switch (rc) {
    case 0:
        return Attempt::Done;
    case EOWNERDEAD:
        // The dead holder stored positions only after its bytes were in place, so the
        // header is as consistent as it was before its operation started.
        (void)pthread_mutex_consistent(mutex);
        return Attempt::Done;
    case EBUSY:
        return Attempt::Busy;
    default:
        return LockError::pthread(rc);
    }
}

// Takes the queue mutex, waiting at most until `until` (kNoWait: one try): Done when
// held, Busy when `until` came first. The free mutex is the usual case: inline.
[[gnu::always_inline]] inline Result<Attempt, LockError> lock_queue(pthread_mutex_t* mutex, Deadline until) {
    const int rc = pthread_mutex_trylock(mutex);
    if (rc == 0) [[likely]]
        return Attempt::Done;
    return lock_queue_after_try(mutex, until, rc);
}

Status<QueueError> unlock_queue(pthread_mutex_t* mutex) {
    if (int rc = pthread_mutex_unlock(mutex); rc != 0)
        return QueueError::from_mutex(LockError::pthread(rc));
    return {};
}

long futex(std::uint32_t* word, int op, std::uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

// One bounded wait on `slot` (at most kWaitNanos, and never past `until`), entered
// with the mutex held. Done: the mutex is held again; Busy: it could not be had
// again by `until`, and is not held. The sequence is read under the mutex, so a
// waker that bumps it after we unlock makes FUTEX_WAIT return at once: no wake is
// lost.
Result<Attempt, CondError> timed_wait(WaitWords& slot, pthread_mutex_t* mutex, Deadline until) {
    long nanos = kWaitNanos;
    if (until != kForever) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
        nanos = static_cast<long>(std::clamp<long long>(left, 0, kWaitNanos));
    }
    std::atomic_ref<std::uint32_t> seq(slot.seq);
    std::atomic_ref<std::uint32_t> sleepers(slot.sleepers);
    const std::uint32_t seen = seq.load();
    sleepers.fetch_add(1);
    if (int rc = pthread_mutex_unlock(mutex); rc != 0) {
        sleepers.fetch_sub(1);
        return CondError::from_mutex(LockError::pthread(rc));
    }
    KEL_KILL_POINT("wait");
    const timespec timeout{0, nanos};
    int err = futex(&slot.seq, FUTEX_WAIT, seen, &timeout) == 0 ? 0 : errno;
    // Awake: no longer counted, so wakers stop paying for a syscall while we re-take the mutex.
    sleepers.fetch_sub(1);
    auto relock = lock_queue(mutex, until);
    if (!relock.ok())
        return CondError::from_mutex(relock.error());
    if (relock.value() == Attempt::Busy)
        return Attempt::Busy;
    if (err != 0 && err != EAGAIN && err != ETIMEDOUT && err != EINTR)
        return CondError::pthread(err);
    return Attempt::Done;
}

// Under the mutex: announce a change; tells whether anybody sleeps on it.
// A waiter counts itself and reads `seq` in the same critical section in which it
// found its condition false, so a change made while nobody is counted needs no bump:
// any later waiter tests the condition after it.
bool bump(WaitWords& slot) {
    if (std::atomic_ref<std::uint32_t>(slot.sleepers).load() == 0)
        return false;
    std::atomic_ref<std::uint32_t>(slot.seq).fetch_add(1);
    return true;
}

// After the unlock, so the woken find the mutex free.
Status<QueueError> wake_all(WaitWords& slot) {
    if (futex(&slot.seq, FUTEX_WAKE, INT_MAX, nullptr) < 0)
        return QueueError::from_cond(CondError::pthread(errno));
    return {};
}

// Unlocks, then wakes the sleepers of `slot` if `announce` said there are any.
Status<QueueError> unlock_and_wake(pthread_mutex_t* mutex, WaitWords& slot, bool sleepers) {
    if (auto st = unlock_queue(mutex); !st.ok())
        return st;
    if (sleepers)
        return wake_all(slot);
    return {};
}

// Leaves an operation that failed with the mutex held.
template <class E>
E unlock_with(pthread_mutex_t* mutex, E error) {
    (void)pthread_mutex_unlock(mutex);
    return error;
}

QueueError cond_failure(pthread_mutex_t* mutex, CondError e) {
    if (e.mutex_held())
        (void)pthread_mutex_unlock(mutex);
    return QueueError::from_cond(e);
}

// Leaves an operation that waited and ended without data or room, with the mutex
// held; producers held back by a claim that was dropped meanwhile are woken.
Result<Attempt, QueueError> unlock_would_block(QueueHeader& h, bool wake_producers) {
    const bool sleepers = wake_producers && bump(h.not_full);
    if (auto st = unlock_and_wake(&h.mutex, h.not_full, sleepers); !st.ok())
        return st.error();
    return Attempt::WouldBlock;
}

// --- claims on room (see RoomClaim); all under the mutex --------------------------

// A producer waits this long before it claims room, so that a ring that drains
// steadily never sees claims; a claim lapses unless renewed within the lease, which
// its claimant does at least every kWaitNanos while it waits.
constexpr auto kClaimGrace = std::chrono::milliseconds(20);
constexpr auto kClaimLease = std::chrono::milliseconds(500);

std::uint64_t ns_of(Deadline t) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

template <class T>
std::atomic_ref<T> field(T& f) {
    return std::atomic_ref<T>(f);
}

void clear_claim(RoomClaim& c) {
    field(c.need).store(0, std::memory_order_relaxed);
    field(c.tid).store(0, std::memory_order_relaxed);
    field(c.expires_ns).store(0, std::memory_order_relaxed);
}

void set_claim(RoomClaim& c, std::uint64_t need, pid_t tid, Deadline now) {
    field(c.tid).store(static_cast<std::uint32_t>(tid), std::memory_order_relaxed);
    field(c.expires_ns).store(ns_of(now + kClaimLease), std::memory_order_relaxed);
    field(c.need).store(need, std::memory_order_relaxed); // last: a claim killed half-written has no need
}

// A claim counts while its lease runs and its thread exists. An expiry further off
// than a whole lease was not written on this clock (another time namespace) or was
// damaged: it does not count either.
bool claim_lapsed(RoomClaim& c) {
    const std::uint64_t expires = field(c.expires_ns).load(std::memory_order_relaxed);
    const std::uint64_t now = ns_of(Clock::now());
    if (expires <= now || expires - now > ns_of(Deadline{} + kClaimLease))
        return true;
    return !thread_exists(static_cast<pid_t>(field(c.tid).load(std::memory_order_relaxed)));
}

} // namespace

Status<QueueError> RingQueue::check_fits(std::uint64_t length) const {
    if (length > capacity() || capacity() - length < kRecordPrefix)
        return QueueError::buffer_too_small();
    if (length > kMaxRecordLength) // only a ring of more than 4 GiB gets here
        return QueueError::record_too_long(length);
    return {};
}

Status<QueueError> RingQueue::check_fits(std::span<const Piece> batch) const {
    std::uint64_t need = 0;
    for (const Piece& piece : batch) {
        if (auto st = check_fits(piece.length); !st.ok())
            return st;
        need += piece.length + kRecordPrefix; // each term is at most the capacity: no wrap
        if (need > capacity())
            return QueueError::buffer_too_small();
    }
    return {};
}

namespace {

std::uint64_t batch_need(std::span<const Piece> batch) {
    std::uint64_t need = 0;
    for (const Piece& piece : batch)
        need += piece.length + kRecordPrefix;
    return need;
}

} // namespace

Result<Attempt, QueueError> RingQueue::put_locked(std::span<const Piece> batch, std::uint64_t need, Deadline until,
                                                  WaitFor what, Deadline since) {
    QueueHeader& h = *header_;
    RoomClaim& claim = h.room_claim;
    const std::uint64_t capacity = capacity_;
    pid_t me = 0;
    bool mine = false;
    bool claim_changed = false; // producers held back for a claim must look again
    for (;;) {
        const std::uint64_t used = load_pos(h.write_pos) - load_pos(h.read_pos);
        if (used > capacity)
            return unlock_with(&h.mutex, QueueError::corrupt("more bytes held than the ring's capacity"));
        const std::uint64_t room = capacity - used;
        const std::uint64_t claimed = field(claim.need).load(std::memory_order_relaxed);
        mine = false;
        if (claimed == 0 && room >= need) [[likely]]
            break;
        auto fits = [&](std::uint64_t reserved) { return room >= need && room - need >= reserved; };
        std::uint64_t reserved = 0; // room to leave free for somebody else's claim
        if (claimed != 0) {
            if (me == 0)
                me = current_thread();
            if (static_cast<pid_t>(field(claim.tid).load(std::memory_order_relaxed)) == me) {
                mine = true;
            } else if (!fits(claimed) && claim_lapsed(claim)) {
                clear_claim(claim);
                claim_changed = true;
            } else {
                reserved = claimed;
            }
        }
        if (fits(reserved))
            break;
        if (what == WaitFor::Claim) {
            // The caller has waited elsewhere for longer than the grace: claim now, or
            // renew its claim, unless another producer's claim holds the room.
            if (mine || reserved == 0) {
                if (me == 0)
                    me = current_thread();
                set_claim(claim, need, me, Clock::now());
            }
            return unlock_would_block(h, claim_changed);
        }
        if (what == WaitFor::Mutex || until == kNoWait)
            return unlock_would_block(h, claim_changed);
        const Deadline now = Clock::now();
        if (now >= until)
            return unlock_would_block(h, claim_changed);
        if (mine) {
            set_claim(claim, need, me, now); // renewed at every wake
        } else if (reserved == 0 && since != kNoWait && now - since >= kClaimGrace) {
            if (me == 0)
                me = current_thread();
            set_claim(claim, need, me, now);
            mine = true;
        }
        auto waited = timed_wait(h.not_full, &h.mutex, until);
        if (!waited.ok())
            return cond_failure(&h.mutex, waited.error());
        if (waited.value() == Attempt::Busy)
            return Attempt::Busy;
    }
    if (mine) {
        clear_claim(claim);
        claim_changed = true;
    }
    if (hooks_ != nullptr && hooks_->published(batch, load_pos(h.write_pos), until) == RecordHooks::Outcome::Busy)
        return unlock_with(&h.mutex, Attempt::Busy);

    // The bytes go in first and the position last: a writer that dies on the way
    // leaves no partial record, only bytes past write_pos that nobody reads.
    std::uint64_t w = load_pos(h.write_pos);
    for (const Piece& piece : batch) {
        const std::uint64_t length = piece.length;
        const auto length32 = static_cast<std::uint32_t>(length);
        std::memcpy(data_ + w % capacity, &length32, sizeof length32);
        KEL_KILL_POINT("put:after_length");
        w += kRecordPrefix;
        if (length > 0) {
#ifdef KELVANE_KILL_POINTS
            const std::uint64_t half = length / 2;
            std::memcpy(data_ + w % capacity, piece.bytes, half);
            KEL_KILL_POINT("put:mid_copy");
            std::memcpy(data_ + w % capacity + half, static_cast<const std::uint8_t*>(piece.bytes) + half,
                        length - half);
#else
            std::memcpy(data_ + w % capacity, piece.bytes, length);
#endif
        }
        w += length;
    }
    store_pos(h.write_pos, w);
    KEL_KILL_POINT("put:after_position");
    const bool consumers = bump(h.not_empty);
    const bool producers = claim_changed && bump(h.not_full);
    if (auto st = unlock_and_wake(&h.mutex, h.not_empty, consumers); !st.ok())
        return st.error();
    if (producers) {
        if (auto st = wake_all(h.not_full); !st.ok())
            return st.error();
    }
    return Attempt::Done;
}

Result<Attempt, QueueError> RingQueue::put(std::span<const Piece> batch, Deadline until, WaitFor what,
                                           Deadline since) {
    if (auto st = check_fits(batch); !st.ok())
        return st.error();
    const std::uint64_t need = batch_need(batch);
    QueueHeader& h = *header_;
    auto room_for_it = [&] { return capacity_ - (load_pos(h.write_pos) - load_pos(h.read_pos)) >= need; };
    if (what == WaitFor::Mutex || (until == kNoWait && what != WaitFor::Claim)) {
        if (!room_for_it())
            return Attempt::WouldBlock; // no room: leave the mutex alone
    } else if (what == WaitFor::Anything) {
        (void)spin_until(room_for_it);
    }
    auto locked = lock_queue(&h.mutex, until);
    if (!locked.ok())
        return QueueError::from_mutex(locked.error());
    if (locked.value() == Attempt::Busy)
        return Attempt::Busy;
    KEL_KILL_POINT("put:after_lock");
    return put_locked(batch, need, until, what, since);
}

void RingQueue::withdraw_claim(Deadline until) {
    RoomClaim& claim = header_->room_claim;
    if (field(claim.need).load(std::memory_order_relaxed) == 0)
        return;
    const pid_t me = current_thread();
    if (static_cast<pid_t>(field(claim.tid).load(std::memory_order_relaxed)) != me)
        return;
    auto locked = lock_queue(&header_->mutex, until);
    if (!locked.ok() || locked.value() != Attempt::Done)
        return; // it lapses by itself
    bool sleepers = false;
    if (field(claim.need).load(std::memory_order_relaxed) != 0 &&
        static_cast<pid_t>(field(claim.tid).load(std::memory_order_relaxed)) == me) {
        clear_claim(claim);
        sleepers = bump(header_->not_full);
    }
    (void)unlock_and_wake(&header_->mutex, header_->not_full, sleepers);
}

// The oldest record, checked against the ring's invariants so that a damaged
// header is reported rather than read past the mapping.
Result<RecordView, QueueError> RingQueue::oldest_locked() const {
    QueueHeader& h = *header_;
    const std::uint64_t capacity = capacity_;
    const std::uint64_t r = load_pos(h.read_pos);
    const std::uint64_t used = load_pos(h.write_pos) - r;
    if (used > capacity || used < kRecordPrefix)
        return QueueError::corrupt("the positions do not frame a record");
    std::uint32_t length;
    std::memcpy(&length, data_ + r % capacity, sizeof length);
    if (length > used - kRecordPrefix)
        return QueueError::corrupt("a record's length runs past the written data");
    return RecordView{r, length, data_ + (r + kRecordPrefix) % capacity};
}

std::uint32_t RingQueue::oldest_length_hint() const {
    QueueHeader& h = *header_;
    const std::uint64_t r = load_pos(h.read_pos);
    const std::uint64_t used = load_pos(h.write_pos) - r;
    if (used < kRecordPrefix || used > capacity_)
        return 0;
    std::uint32_t length;
    std::memcpy(&length, data_ + r % capacity_, sizeof length); // within the mapping, whatever r is
    return length <= used - kRecordPrefix ? length : 0;
}

namespace {

// Waits, with the mutex held, until a record is there. Done: there is one, the
// mutex held; WouldBlock: none, and the call may not wait (any longer), the mutex
// released; Busy: the mutex could not be had again by `until`.
Result<Attempt, QueueError> await_data_locked(QueueHeader& h, Deadline until, WaitFor what) {
    while (load_pos(h.write_pos) == load_pos(h.read_pos)) {
        if (what == WaitFor::Mutex || until == kNoWait || Clock::now() >= until) {
            if (auto st = unlock_queue(&h.mutex); !st.ok())
                return st.error();
            return Attempt::WouldBlock;
        }
        auto waited = timed_wait(h.not_empty, &h.mutex, until);
        if (!waited.ok())
            return cond_failure(&h.mutex, waited.error());
        if (waited.value() == Attempt::Busy)
            return Attempt::Busy;
    }
    return Attempt::Done;
}

} // namespace

Result<Attempt, QueueError> RingQueue::get_many(Sink sink, void* context, std::size_t max, std::size_t& taken,
                                                Deadline until, WaitFor what) {
    taken = 0;
    QueueHeader& h = *header_;
    if ((what == WaitFor::Mutex || until == kNoWait) && load_pos(h.write_pos) == load_pos(h.read_pos))
        return Attempt::WouldBlock; // nothing there: leave the mutex alone
    auto locked = lock_queue(&h.mutex, until);
    if (!locked.ok())
        return QueueError::from_mutex(locked.error());
    if (locked.value() == Attempt::Busy)
        return Attempt::Busy;
    KEL_KILL_POINT("get:after_lock");
    if (load_pos(h.write_pos) == load_pos(h.read_pos)) {
        if (auto there = await_data_locked(h, until, what); !there.ok() || there.value() != Attempt::Done)
            return there;
    }
    // Whatever the hooks took for this get is let go on every way out, after the
    // positions were stored and before the mutex is: the handle's next get, on another
    // thread, finds its hooks as they were before this one.
    struct HooksDone {
        RecordHooks* hooks;
        void now() noexcept {
            if (hooks != nullptr)
                std::exchange(hooks, nullptr)->done();
        }
        ~HooksDone() { now(); }
    } hooks_done{hooks_};
    while (taken < max && load_pos(h.write_pos) != load_pos(h.read_pos)) {
        auto oldest = oldest_locked();
        if (!oldest.ok()) {
            hooks_done.now();
            return unlock_with(&h.mutex, oldest.error());
        }
        const RecordView& rec = oldest.value();
        if (hooks_ != nullptr && hooks_->taking(rec, until) == RecordHooks::Outcome::Busy) {
            if (taken == 0) {
                hooks_done.now();
                return unlock_with(&h.mutex, Attempt::Busy);
            }
            break;
        }

        std::uint8_t* out = sink(context, rec.length);
        if (out == nullptr) {
            if (taken == 0) {
                hooks_done.now();
                return unlock_with(&h.mutex, Attempt::SinkFailed);
            }
            break;
        }
#ifdef KELVANE_KILL_POINTS
        std::memcpy(out, rec.payload, rec.length / 2);
        KEL_KILL_POINT("get:mid_copy");
        std::memcpy(out + rec.length / 2, rec.payload + rec.length / 2, rec.length - rec.length / 2);
#else
        std::memcpy(out, rec.payload, rec.length);
#endif
        if (hooks_ != nullptr)
            hooks_->taken(rec);
        // Consumed only once copied out: a reader that dies before this leaves the record queued.
        store_pos(h.read_pos, rec.next_pos());
        KEL_KILL_POINT("get:after_position");
        ++taken;
    }
    hooks_done.now();
    const bool sleepers = bump(h.not_full);
    if (auto st = unlock_and_wake(&h.mutex, h.not_full, sleepers); !st.ok())
        return st.error();
    return Attempt::Done;
}

Result<Attempt, QueueError> RingQueue::wait_readable(Deadline until) {
    QueueHeader& h = *header_;
    if (spin_until([&] { return load_pos(h.write_pos) != load_pos(h.read_pos); }))
        return Attempt::Done;
    auto locked = lock_queue(&h.mutex, until);
    if (!locked.ok())
        return QueueError::from_mutex(locked.error());
    if (locked.value() == Attempt::Busy)
        return Attempt::Busy;
    if (auto there = await_data_locked(h, until, WaitFor::Anything); !there.ok() || there.value() != Attempt::Done)
        return there;
    if (auto st = unlock_queue(&h.mutex); !st.ok())
        return st.error();
    return Attempt::Done;
}

Result<Attempt, QueueError> RingQueue::peek(RecordView& out, Deadline until, WaitFor what) {
    QueueHeader& h = *header_;
    if (what == WaitFor::Mutex || until == kNoWait) {
        if (load_pos(h.write_pos) == load_pos(h.read_pos))
            return Attempt::WouldBlock;
    } else {
        (void)spin_until([&] { return load_pos(h.write_pos) != load_pos(h.read_pos); });
    }
    auto locked = lock_queue(&h.mutex, until);
    if (!locked.ok())
        return QueueError::from_mutex(locked.error());
    if (locked.value() == Attempt::Busy)
        return Attempt::Busy;
    if (load_pos(h.write_pos) == load_pos(h.read_pos)) {
        if (auto there = await_data_locked(h, until, what); !there.ok() || there.value() != Attempt::Done)
            return there;
    }
    auto oldest = oldest_locked();
    if (!oldest.ok())
        return unlock_with(&h.mutex, oldest.error());
    out = oldest.value();
    if (auto st = unlock_queue(&h.mutex); !st.ok())
        return st.error();
    return Attempt::Done;
}

Result<Attempt, QueueError> RingQueue::fill(Fill& out, Deadline until) {
    QueueHeader& h = *header_;
    auto locked = lock_queue(&h.mutex, until);
    if (!locked.ok())
        return QueueError::from_mutex(locked.error());
    if (locked.value() == Attempt::Busy)
        return Attempt::Busy;
    const std::uint64_t r = load_pos(h.read_pos);
    const std::uint64_t w = load_pos(h.write_pos);
    if (w - r > capacity_)
        return unlock_with(&h.mutex, QueueError::corrupt("more bytes held than the ring's capacity"));
    Fill fill{w - r, 0};
    for (std::uint64_t pos = r; pos != w; ++fill.messages) {
        if (w - pos < kRecordPrefix)
            return unlock_with(&h.mutex, QueueError::corrupt("the positions do not frame a record"));
        std::uint32_t length;
        std::memcpy(&length, data_ + pos % capacity_, sizeof length);
        if (length > w - pos - kRecordPrefix)
            return unlock_with(&h.mutex, QueueError::corrupt("a record's length runs past the written data"));
        pos += kRecordPrefix + length;
    }
    if (auto st = unlock_queue(&h.mutex); !st.ok())
        return st.error();
    out = fill;
    return Attempt::Done;
}

Result<bool, QueueError> RingQueue::fill_unlocked(Fill& out) const {
    QueueHeader& h = *header_;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::uint64_t r = load_pos(h.read_pos);
        const std::uint64_t w = load_pos(h.write_pos);
        Fill fill{w - r, 0};
        bool framed = fill.bytes <= capacity_;
        for (std::uint64_t pos = r; framed && pos != w; ++fill.messages) {
            std::uint32_t length = 0;
            if (w - pos >= kRecordPrefix)
                std::memcpy(&length, data_ + pos % capacity_, sizeof length);
            framed = w - pos >= kRecordPrefix && length <= w - pos - kRecordPrefix;
            pos += kRecordPrefix + length;
        }
        // Producers write only into free room, below read_pos + capacity: while the read
        // position stays where it was, the records from there to w never change. The
        // fence keeps the reads of the walk before the second look at it.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (load_pos(h.read_pos) != r)
            continue;
        if (!framed)
            return QueueError::corrupt(fill.bytes > capacity_ ? "more bytes held than the ring's capacity"
                                                              : "a record's length runs past the written data");
        out = fill;
        return true;
    }
    return false;
}

bool RingQueue::ready_now(std::uint64_t room, std::uint32_t claimant) const {
    QueueHeader& h = *header_;
    const std::uint64_t r = load_pos(h.read_pos);
    const std::uint64_t w = load_pos(h.write_pos);
    if (room == 0)
        return w != r;
    const std::uint64_t used = w - r;
    if (used > capacity_)
        return true; // damaged (or read across a change): the put itself will say which
    const std::uint64_t free_room = capacity_ - used;
    if (free_room < room)
        return false;
    // As put_locked sees it: room that a live claim holds back is not free for a put
    // that does not wait; a lapsed claim is dropped by the next put.
    RoomClaim& claim = h.room_claim;
    const std::uint64_t claimed = field(claim.need).load(std::memory_order_relaxed);
    if (claimed == 0 || free_room - room >= claimed)
        return true;
    if (claimant != 0 && field(claim.tid).load(std::memory_order_relaxed) == claimant)
        return true; // the watcher's own claim
    return claim_lapsed(claim);
}

Result<Attempt, QueueError> RingQueue::watch(std::uint64_t room, std::uint32_t claimant, std::uint32_t& seen) {
    QueueHeader& h = *header_;
    auto locked = lock_queue(&h.mutex, kNoWait);
    if (!locked.ok())
        return QueueError::from_mutex(locked.error());
    if (locked.value() == Attempt::Busy)
        return Attempt::Busy;
    // Counted in the same hold of the mutex in which the condition was found false,
    // as timed_wait counts itself: a waker that changes it later sees the count and bumps.
    const bool ready = ready_now(room, claimant);
    if (!ready) {
        WaitWords& slot = watched_slot(room);
        std::atomic_ref<std::uint32_t>(slot.sleepers).fetch_add(1);
        seen = std::atomic_ref<std::uint32_t>(slot.seq).load();
    }
    if (auto st = unlock_queue(&h.mutex); !st.ok()) {
        if (!ready)
            unwatch(room);
        return st.error();
    }
    return ready ? Attempt::Done : Attempt::WouldBlock;
}

void RingQueue::unwatch(std::uint64_t room) noexcept {
    std::atomic_ref<std::uint32_t>(watched_slot(room).sleepers).fetch_sub(1);
}

std::uint32_t* RingQueue::wait_word(std::uint64_t room) const noexcept { return &watched_slot(room).seq; }

bool RingQueue::ready_hint(std::uint64_t room, std::uint32_t claimant) const {
    return ready_now(room, claimant);
}

Status<QueueError> RingQueue::commit_locked(std::uint64_t next_pos) {
    QueueHeader& h = *header_;
    const std::uint64_t r = load_pos(h.read_pos);
    if (next_pos == r) // somebody else consumed the viewed record already
        return unlock_queue(&h.mutex);
    if (load_pos(h.write_pos) == r)
        return unlock_with(&h.mutex, QueueError::bad_position(std::to_string(next_pos) +
                                                              " (the queue is empty at read position " +
                                                              std::to_string(r) + ")"));
    auto oldest = oldest_locked();
    if (!oldest.ok())
        return unlock_with(&h.mutex, oldest.error());
    if (next_pos != oldest.value().next_pos())
        return unlock_with(&h.mutex, QueueError::bad_position(
                                         std::to_string(next_pos) + " (the oldest record at read position " +
                                         std::to_string(r) + " ends at " +
                                         std::to_string(oldest.value().next_pos()) + ")"));
    store_pos(h.read_pos, next_pos);
    const bool sleepers = bump(h.not_full);
    return unlock_and_wake(&h.mutex, h.not_full, sleepers);
}

Result<Attempt, QueueError> RingQueue::commit(std::uint64_t next_pos, Deadline until) {
    auto locked = lock_queue(&header_->mutex, until);
    if (!locked.ok())
        return QueueError::from_mutex(locked.error());
    if (locked.value() == Attempt::Busy)
        return Attempt::Busy;
    if (auto st = commit_locked(next_pos); !st.ok())
        return st.error();
    return Attempt::Done;
}

Result<RingQueue, QueueError> init_header(void* base, std::size_t mapping_length) {
    if (mapping_length <= kMirrorHeaderSize)
        return QueueError::buffer_too_small();
    auto* h = static_cast<QueueHeader*>(base);

    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return QueueError::from_mutex(LockError::pthread(rc));
    rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutex_init(&h->mutex, &attr);
    (void)pthread_mutexattr_destroy(&attr);
    if (rc != 0)
        return QueueError::from_mutex(LockError::pthread(rc));

    h->not_empty.seq = h->not_empty.sleepers = 0;
    h->not_full.seq = h->not_full.sleepers = 0;
    clear_claim(h->room_claim);
    store_pos(h->read_pos, 0);
    store_pos(h->write_pos, 0);
    h->capacity = (mapping_length - kMirrorHeaderSize) / 2;
    // Last, with release ordering: an opener that sees it sees everything above.
    std::atomic_ref<std::uint64_t>(h->ready).store(kReady, std::memory_order_release);
    return RingQueue(base);
}

Readiness wait_ready(void* base, std::uint64_t data_size) {
    auto* h = static_cast<QueueHeader*>(base);
    std::atomic_ref<std::uint64_t> ready(h->ready);
    const auto deadline = std::chrono::steady_clock::now() + kOpenWait;
    for (int spins = 0; ready.load(std::memory_order_acquire) != kReady; ++spins) {
        if (std::chrono::steady_clock::now() >= deadline)
            return Readiness::NeverReady;
        if (spins < 100)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return h->capacity == data_size ? Readiness::Ready : Readiness::CapacityMismatch;
}

namespace {

// The mapping of a queue that another process created, once that creator has
// published its header.
Result<QueueSegment, QueueOpenError> published_queue(Mapping mapping, std::uint64_t data_size) {
    switch (wait_ready(mapping.base(), data_size)) {
    case Readiness::Ready:
        break;
    case Readiness::NeverReady:
        return QueueOpenError::never_initialised();
    case Readiness::CapacityMismatch:
        return QueueOpenError::capacity_mismatch(RingQueue(mapping.base()).capacity(), data_size);
    }
    RingQueue ring(mapping.base());
    return QueueSegment{std::move(mapping), ring};
}

// One open of an existing queue. Nothing: there is none to open (or it cannot be
// mapped), and creating it may go ahead. Otherwise the queue, or the error that
// creating it would not mend.
std::optional<Result<QueueSegment, QueueOpenError>> open_existing_queue(std::string_view name,
                                                                        std::uint64_t data_size) {
    auto opened = open_mirrored_segment(name, data_size, false);
    if (!opened.ok()) {
        SegmentError& e = opened.error();
        if (e.kind == SegmentError::Kind::NeverInitialised)
            return QueueOpenError::never_initialised();
        // The object exists but cannot be used as it is; creating it would only say EEXIST.
        if (e.kind == SegmentError::Kind::SizeMismatch || e.is_errno(EACCES))
            return QueueOpenError::open(std::move(e));
        return std::nullopt;
    }
    return published_queue(std::move(opened.value()), data_size);
}

} // namespace

Result<QueueSegment, QueueOpenError> open_or_create_queue(std::string_view name, std::uint64_t data_size) {
    if (auto opened = open_existing_queue(name, data_size))
        return std::move(*opened);
    auto created = open_mirrored_segment(name, data_size, true);
    if (created.ok()) {
        auto initialised = init_header(created.value().base(), created.value().length());
        if (!initialised.ok())
            return QueueOpenError::init(std::move(initialised.error()));
        return QueueSegment{std::move(created.value()), initialised.value()};
    }
    // EEXIST: another process created the queue since our open; the second open
    // attaches to what it made (waiting for it to become ready).
    if (created.error().is_errno(EEXIST)) {
        if (auto opened = open_existing_queue(name, data_size))
            return std::move(*opened);
    }
    return QueueOpenError::create(std::move(created.error()));
}

Result<QueueSegment, QueueOpenError> attach_queue(std::string_view name) {
    std::uint64_t data_size = 0;
    auto opened = attach_mirrored_segment(name, data_size);
    if (!opened.ok()) {
        if (opened.error().kind == SegmentError::Kind::NeverInitialised)
            return QueueOpenError::never_initialised();
        return QueueOpenError::open(std::move(opened.error()));
    }
    return published_queue(std::move(opened.value()), data_size);
}

} // namespace kel
