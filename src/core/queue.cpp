// Ring operations on the queue header, and the KelQueue class.

#include "core/queue.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <memory>
#include <optional>
#include <sys/syscall.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "core/kill_points.hpp"
#include "core/mutex_word.hpp"
#include "core/spin.hpp"
#include "python/pyutil.hpp"

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

timespec monotonic_timespec(Deadline t) {
    const auto since_epoch = t.time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    return timespec{static_cast<time_t>(secs.count()),
                    static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs).count())};
}

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
    if (what == WaitFor::Mutex || until == kNoWait) {
        if (!room_for_it())
            return Attempt::WouldBlock; // no room: leave the mutex alone
    } else {
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
    while (taken < max && load_pos(h.write_pos) != load_pos(h.read_pos)) {
        auto oldest = oldest_locked();
        if (!oldest.ok())
            return unlock_with(&h.mutex, oldest.error());
        const RecordView& rec = oldest.value();

        std::uint8_t* out = sink(context, rec.length);
        if (out == nullptr) {
            if (taken == 0)
                return unlock_with(&h.mutex, Attempt::SinkFailed);
            break;
        }
#ifdef KELVANE_KILL_POINTS
        std::memcpy(out, rec.payload, rec.length / 2);
        KEL_KILL_POINT("get:mid_copy");
        std::memcpy(out + rec.length / 2, rec.payload + rec.length / 2, rec.length - rec.length / 2);
#else
        std::memcpy(out, rec.payload, rec.length);
#endif
        // Consumed only once copied out: a reader that dies before this leaves the record queued.
        store_pos(h.read_pos, rec.next_pos());
        KEL_KILL_POINT("get:after_position");
        ++taken;
    }
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

} // namespace kel

// ---------------------------------------------------------------------------
// Binding: KelQueue, and the ring calls the pool shares.

namespace kel::py {

namespace {

PyTypeObject* kel_queue = nullptr;
PyTypeObject* queue_view = nullptr;

constexpr std::uint64_t kMaxSizeMb = std::uint64_t{1} << 44; // D = size_mb << 20 must not wrap

struct KelQueueObject {
    PyObject_HEAD
    Mapping mapping;
    RingQueue ring;
};

// Exports one record's payload to a memoryview and keeps the queue object, and so
// its mapping, alive for as long as any view of it exists.
struct QueueViewObject {
    PyObject_HEAD
    PyObject* owner;
    const std::uint8_t* data;
    Py_ssize_t length;
};

KelQueueObject* as_queue(PyObject* o) { return reinterpret_cast<KelQueueObject*>(o); }

std::uint8_t* bytes_sink(void* context, std::uint32_t length) {
    auto* out = static_cast<PyObject**>(context);
    *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    return *out != nullptr ? reinterpret_cast<std::uint8_t*>(PyBytes_AsString(*out)) : nullptr;
}

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* never_initialised(PyObject* name) {
    PyErr_Format(PyExc_RuntimeError,
                 "Failed to open mirrored shm: the queue was never initialised by its creator; "
                 "KelQueue.unlink(%R) removes it",
                 name);
    return nullptr;
}

PyObject* KelQueue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        std::string_view name;
        std::uint64_t size_mb = 0;
        if (!bind_args("KelQueue", {"name", "size_mb"}, args, kwargs, argv) ||
            !to_name(argv[0], "KelQueue", "name", name) || !to_u64(argv[1], "KelQueue", "size_mb", size_mb))
            return nullptr;
        if (size_mb >= kMaxSizeMb) {
            PyErr_SetString(PyExc_OverflowError, "size_mb must be less than 2**44");
            return nullptr;
        }
        const std::uint64_t data_size = size_mb << 20;

        enum class Failure { None, Open, Create, Init, NeverReady, Capacity } failure = Failure::None;
        std::optional<SegmentError> segment_error;
        std::optional<QueueError> queue_error;
        Mapping mapping;
        RingQueue ring;
        {
            GilRelease nogil;
            // Opens an existing queue: false when there is none to open (or it cannot be
            // mapped), so that the caller goes on to create it.
            auto try_open = [&]() -> bool {
                auto opened = open_mirrored_segment(name, data_size, false);
                if (!opened.ok()) {
                    if (opened.error().kind == SegmentError::Kind::SizeMismatch ||
                        opened.error().kind == SegmentError::Kind::NeverInitialised ||
                        opened.error().is_errno(EACCES)) {
                        // The object exists but cannot be used as it is; creating it would only say EEXIST.
                        failure = Failure::Open;
                        segment_error = std::move(opened.error());
                        return true;
                    }
                    return false;
                }
                mapping = std::move(opened.value());
                switch (wait_ready(mapping.base(), data_size)) {
                case Readiness::Ready:
                    ring = RingQueue(mapping.base());
                    break;
                case Readiness::NeverReady:
                    failure = Failure::NeverReady;
                    break;
                case Readiness::CapacityMismatch:
                    failure = Failure::Capacity;
                    break;
                }
                return true;
            };
            if (!try_open()) {
                auto created = open_mirrored_segment(name, data_size, true);
                if (created.ok()) {
                    auto initialised = init_header(created.value().base(), created.value().length());
                    if (initialised.ok()) {
                        mapping = std::move(created.value());
                        ring = initialised.value();
                    } else {
                        failure = Failure::Init;
                        queue_error = std::move(initialised.error());
                    }
                } else if (!created.error().is_errno(EEXIST) || !try_open()) {
                    // EEXIST: another process created the queue since our open; the second
                    // open attaches to what it made (waiting for it to become ready).
                    failure = Failure::Create;
                    segment_error = std::move(created.error());
                }
            }
        }

        switch (failure) {
        case Failure::None:
            break;
        case Failure::Open:
            if (segment_error->kind == SegmentError::Kind::NeverInitialised)
                return never_initialised(argv[0]);
            if (segment_error->kind == SegmentError::Kind::SizeMismatch)
                return raise_runtime("Failed to open mirrored shm: ",
                                     segment_error->display() + "; every process must pass the creator's size_mb");
            return raise_runtime("Failed to open mirrored shm: ", segment_error->display());
        case Failure::Create:
            return raise_runtime("Failed to create mirrored shm: ", segment_error->display());
        case Failure::Init:
            return raise_runtime("Failed init buffer: ", queue_error->display());
        case Failure::NeverReady:
            return never_initialised(argv[0]);
        case Failure::Capacity:
            return raise_runtime("Failed to open mirrored shm: ",
                                 "the queue header records a capacity of " +
                                     std::to_string(RingQueue(mapping.base()).capacity()) +
                                     " bytes, this process expects " + std::to_string(data_size) + " bytes");
        }

        PyObject* self = alloc_instance(type);
        if (self == nullptr)
            return nullptr;
        auto* q = as_queue(self);
        std::construct_at(&q->mapping, std::move(mapping));
        std::construct_at(&q->ring, ring);
        return self;
    });
}

// A handle on an existing queue, its size taken from the object: never creates one.
PyObject* KelQueue_attach(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::string_view name;
        if (!bind_args("attach", {"name"}, args, nargs, kwnames, argv) || !to_name(argv[0], "attach", "name", name))
            return nullptr;
        std::optional<Result<Mapping, SegmentError>> opened;
        std::uint64_t data_size = 0;
        Readiness readiness = Readiness::NeverReady;
        {
            GilRelease nogil;
            opened.emplace(attach_mirrored_segment(name, data_size));
            if (opened->ok())
                readiness = wait_ready(opened->value().base(), data_size);
        }
        if (!opened->ok()) {
            if (opened->error().kind == SegmentError::Kind::NeverInitialised)
                return never_initialised(argv[0]);
            return raise_runtime("Failed to open mirrored shm: ", opened->error().display());
        }
        Mapping mapping = std::move(opened->value());
        if (readiness == Readiness::NeverReady)
            return never_initialised(argv[0]);
        if (readiness == Readiness::CapacityMismatch)
            return raise_runtime("Failed to open mirrored shm: ",
                                 "the queue header records a capacity of " +
                                     std::to_string(RingQueue(mapping.base()).capacity()) +
                                     " bytes, this process expects " + std::to_string(data_size) + " bytes");
        PyObject* self = alloc_instance(reinterpret_cast<PyTypeObject*>(cls));
        if (self == nullptr)
            return nullptr;
        auto* q = as_queue(self);
        RingQueue ring(mapping.base());
        std::construct_at(&q->mapping, std::move(mapping));
        std::construct_at(&q->ring, ring);
        return self;
    });
}

void KelQueue_dealloc(PyObject* self) {
    std::destroy_at(&as_queue(self)->mapping);
    free_instance(self);
}

PyObject* KelQueue_put_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        const char* data;
        std::uint64_t size;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("put_bytes", {"data"}, args, nargs, kwnames, argv) ||
            !to_bytes(argv[0], "put_bytes", "data", data, size))
            return nullptr;
        return queue_put(as_queue(self)->ring, data, size, "Queue put error: ");
    });
}

PyObject* KelQueue_get_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_queue_type, "KelQueue"))
            return nullptr;
        return queue_get(as_queue(self)->ring, "Queue get error: ");
    });
}

// (memoryview, next_pos) for a record that stays in the ring until committed.
PyObject* view_of(PyObject* self, const RecordView& record) {
    PyTypeObject* view_type = queue_view_type();
    if (view_type == nullptr)
        return raise_runtime("", "Failed to create memoryview");
    Ref exporter(alloc_instance(view_type));
    if (!exporter)
        return raise_runtime("", "Failed to create memoryview");
    auto* v = reinterpret_cast<QueueViewObject*>(exporter.get());
    Py_INCREF(self);
    v->owner = self;
    v->data = record.payload;
    v->length = static_cast<Py_ssize_t>(record.length);
    Ref view(PyMemoryView_FromObject(exporter.get()));
    if (!view)
        return raise_runtime("", "Failed to create memoryview");
    Ref next(PyLong_FromUnsignedLongLong(record.next_pos()));
    if (!next)
        return nullptr;
    Ref result(PyTuple_New(2));
    if (!result)
        return nullptr;
    PyTuple_SetItem(result.get(), 0, view.release());
    PyTuple_SetItem(result.get(), 1, next.release());
    return result.release();
}

PyObject* KelQueue_recv_view(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_queue_type, "KelQueue"))
            return nullptr;
        RingQueue& ring = as_queue(self)->ring;
        RecordView record{};
        auto attempt = ring.try_peek(record);
        if (!attempt.ok())
            return raise_runtime("Queue get_view error: ", attempt.error().display());
        if (attempt.value() != Attempt::Done) {
            std::optional<Result<Attempt, QueueError>> waited;
            {
                GilRelease nogil;
                waited.emplace(ring.peek(record, kForever, WaitFor::Anything));
            }
            if (!waited->ok())
                return raise_runtime("Queue get_view error: ", waited->error().display());
        }
        return view_of(self, record);
    });
}

// ---------------------------------------------------------------------------
// Calls with a timeout. Each waits in slices (see run_sliced), so that signal
// handlers run while it waits; a call that ends without its result, by timeout or
// by an exception from a handler, has changed nothing in the queue.

// Maps a ring attempt to a step, raising prefix + error on failure.
Step step_of(Result<Attempt, QueueError> attempt, const char* prefix) {
    if (!attempt.ok()) {
        raise_queue_error(prefix, attempt.error());
        return Step::Failed;
    }
    switch (attempt.value()) {
    case Attempt::Done:
        return Step::Done;
    case Attempt::WouldBlock:
        return Step::Again;
    case Attempt::Busy:
        return Step::Busy;
    case Attempt::SinkFailed:
        break;
    }
    return Step::Failed; // the sink's exception is set
}

// The same without the interpreter lock: the error is kept for the caller to raise.
// A sink there never fails for want of memory (see take), so SinkFailed only asks
// for another round.
Step step_of(Result<Attempt, QueueError>&& attempt, std::optional<QueueError>& error) {
    if (!attempt.ok()) {
        error.emplace(std::move(attempt.error()));
        return Step::Failed;
    }
    switch (attempt.value()) {
    case Attempt::Done:
        return Step::Done;
    case Attempt::WouldBlock:
        return Step::Again;
    case Attempt::Busy:
    case Attempt::SinkFailed:
        break;
    }
    return Step::Busy;
}

WaitFor wait_for(const WaitBudget& budget) { return budget.nonblocking() ? WaitFor::Mutex : WaitFor::Anything; }

// A producer that claimed room and then gave up lets the others go on at once
// rather than after the claim's lease; a short try, since the claim lapses anyway.
void give_up_claim(RingQueue& ring) {
    GilRelease nogil;
    ring.withdraw_claim(Clock::now() + std::chrono::milliseconds(20));
}

// Ends a sliced call: the result on Done, `timed_out` (a new reference) on Again,
// nullptr with the exception set on Failed.
PyObject* finish(Step step, bool wait_failed, const std::optional<QueueError>& error, const char* prefix,
                 PyObject* result, PyObject* timed_out) {
    if (step == Step::Failed) {
        Py_XDECREF(result);
        Py_XDECREF(timed_out);
        if (wait_failed)
            return raise_queue_error(prefix, *error);
        return nullptr;
    }
    if (step == Step::Again) {
        Py_XDECREF(result);
        return timed_out;
    }
    Py_XDECREF(timed_out);
    return result;
}

PyObject* put_pieces(RingQueue& ring, std::span<const Piece> batch, const WaitBudget& budget) {
    constexpr const char* prefix = "Queue put error: ";
    std::optional<QueueError> error;
    bool wait_failed = false;
    const WaitFor what = wait_for(budget);
    Deadline since = kNoWait; // when the first wait began: what a claim on room counts from
    const Step step = run_sliced(
        budget, busy_mutex_bound(ring.capacity()), [&] { return step_of(ring.try_put(batch), prefix); },
        [&](Step, Deadline end) {
            if (since == kNoWait)
                since = Clock::now();
            return step_of(ring.put(batch, end, what, since), error);
        },
        wait_failed);
    if (step != Step::Done)
        give_up_claim(ring);
    return finish(step, wait_failed, error, prefix, Py_NewRef(Py_True), Py_NewRef(Py_False));
}

PyObject* KelQueue_put_bytes_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        BufferView view;
        const void* data;
        std::uint64_t size;
        WaitBudget budget;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("put_bytes_timed", {"data", "timeout"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[1], "put_bytes_timed", "timeout") ||
            !to_bytes_like(argv[0], "put_bytes_timed", "data", view, data, size))
            return nullptr;
        const Piece piece{data, size};
        return put_pieces(as_queue(self)->ring, std::span(&piece, 1), budget);
    });
}

PyObject* KelQueue_put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        WaitBudget budget;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("put_many", {"items", "timeout"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[1], "put_many", "timeout"))
            return nullptr;
        // The tuple keeps every item alive while the interpreter lock is given up, and
        // `views` every export of one that is not a bytes object.
        Ref items(PySequence_Tuple(argv[0]));
        if (!items)
            return nullptr;
        const Py_ssize_t n = PyTuple_Size(items.get());
        std::vector<Piece> batch;
        batch.reserve(static_cast<std::size_t>(n));
        std::vector<std::unique_ptr<BufferView>> views; // each stays where it was made
        views.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GetItem(items.get(), i);
            if (PyBytes_Check(item)) {
                batch.push_back(Piece{PyBytes_AsString(item), static_cast<std::uint64_t>(PyBytes_Size(item))});
                continue;
            }
            if (!PyObject_CheckBuffer(item)) {
                Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__name__"));
                PyErr_Format(PyExc_TypeError,
                             "put_many() argument 'items' must hold bytes-like objects, not %S at index %zd",
                             type_name ? type_name.get() : Py_None, i);
                return nullptr;
            }
            BufferView& view = *views.emplace_back(std::make_unique<BufferView>());
            if (!view.acquire(item, "put_many", "items", i))
                return nullptr;
            batch.push_back(Piece{view.data(), view.size()});
        }
        if (batch.empty())
            Py_RETURN_TRUE;
        return put_pieces(as_queue(self)->ring, batch, budget);
    });
}

std::uint8_t* list_sink(void* context, std::uint32_t length) {
    auto* list = static_cast<PyObject*>(context);
    Ref item(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!item || PyList_Append(list, item.get()) != 0)
        return nullptr;
    // The list holds it now; bytes objects never move.
    return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(item.get()));
}

// The record is copied straight into a new bytes object under the queue mutex,
// which only a thread that holds the interpreter lock can make. While the mutex is
// busy, waiting for it with the interpreter lock held would stall the process's
// other threads, and waiting without it and then trying again with it can lose
// every round to a process that takes the mutex over and over. So a bytes object
// is made beforehand, with the interpreter lock, for the length the positions show
// for the oldest record, and the wait for the mutex takes that record straight into
// it. A record of another length by then (another consumer was first) stays queued:
// the next round makes a new one. Nothing is consumed that has no object yet.
struct Spare {
    Ref bytes;
    std::uint32_t length = 0;
    std::uint8_t* data = nullptr;

    // With the interpreter lock; false with MemoryError set.
    bool prepare(std::uint32_t wanted) {
        if (bytes && length == wanted)
            return true;
        bytes = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
        if (!bytes)
            return false;
        length = wanted;
        data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
        return true;
    }

    // Runs without the interpreter lock: the object is this thread's alone until returned.
    static std::uint8_t* sink(void* context, std::uint32_t length) {
        auto* spare = static_cast<Spare*>(context);
        return length == spare->length ? spare->data : nullptr;
    }
};

PyObject* take(PyObject* self, std::size_t max, const WaitBudget& budget, const char* prefix, bool as_list) {
    RingQueue& ring = as_queue(self)->ring;
    Ref list(PyList_New(0));
    if (!list)
        return nullptr;
    Spare spare;
    bool spare_taken = false;
    const WaitFor what = wait_for(budget);
    std::optional<QueueError> error;
    bool wait_failed = false;
    const Step step = run_sliced(
        budget, busy_mutex_bound(ring.capacity()),
        [&] {
            std::size_t taken = 0;
            auto attempt = ring.try_get_many(list_sink, list.get(), max, taken);
            if (attempt.ok() && attempt.value() == Attempt::Done && PyErr_Occurred())
                PyErr_Clear(); // a later record could not be had: it stays queued, the earlier ones are ours
            const Step tried = step_of(attempt, prefix);
            if (tried == Step::Busy && !spare.prepare(ring.oldest_length_hint()))
                return Step::Failed;
            return tried;
        },
        [&](Step why, Deadline end) {
            if (why == Step::Again) {
                // Empty: wait for a record; the next round takes it with the interpreter
                // lock (another consumer may be first).
                auto ready = ring.wait_readable(end);
                return ready.ok() ? Step::Again : step_of(std::move(ready), error);
            }
            std::size_t taken = 0;
            const Step got = step_of(ring.get_many(Spare::sink, &spare, 1, taken, end, what), error);
            spare_taken = got == Step::Done;
            return got;
        },
        wait_failed);
    if (step == Step::Done && spare_taken) {
        if (!as_list)
            return spare.bytes.release();
        if (PyList_Append(list.get(), spare.bytes.get()) != 0)
            return nullptr;
    }
    if (step == Step::Done && !as_list) {
        PyObject* item = PyList_GetItem(list.get(), 0);
        return finish(step, wait_failed, error, prefix, Py_NewRef(item), Py_NewRef(Py_None));
    }
    return finish(step, wait_failed, error, prefix, list.release(), as_list ? PyList_New(0) : Py_NewRef(Py_None));
}

PyObject* KelQueue_get_bytes_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        WaitBudget budget;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("get_bytes_timed", {"timeout"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[0], "get_bytes_timed", "timeout"))
            return nullptr;
        return take(self, 1, budget, "Queue get error: ", false);
    });
}

PyObject* KelQueue_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        std::uint64_t max_items = 0;
        WaitBudget budget;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("get_many", {"max_items", "timeout"}, args, nargs, kwnames, argv) ||
            !to_u64(argv[0], "get_many", "max_items", max_items) || !budget.parse(argv[1], "get_many", "timeout"))
            return nullptr;
        if (max_items == 0) {
            PyErr_SetString(PyExc_ValueError, "get_many() argument 'max_items' must be at least 1");
            return nullptr;
        }
        return take(self, static_cast<std::size_t>(std::min<std::uint64_t>(max_items, SIZE_MAX)), budget,
                    "Queue get error: ", true);
    });
}

PyObject* KelQueue_recv_view_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        WaitBudget budget;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("recv_view_timed", {"timeout"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[0], "recv_view_timed", "timeout"))
            return nullptr;
        constexpr const char* prefix = "Queue get_view error: ";
        RingQueue& ring = as_queue(self)->ring;
        RecordView record{};
        std::optional<QueueError> error;
        bool wait_failed = false;
        const WaitFor what = wait_for(budget);
        const Step step = run_sliced(
            budget, busy_mutex_bound(ring.capacity()), [&] { return step_of(ring.try_peek(record), prefix); },
            [&](Step, Deadline end) { return step_of(ring.peek(record, end, what), error); }, wait_failed);
        if (step == Step::Done)
            return view_of(self, record);
        return finish(step, wait_failed, error, prefix, nullptr, Py_NewRef(Py_None));
    });
}

PyObject* KelQueue_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_queue_type, "KelQueue"))
            return nullptr;
        // Counting walks every record: never with the interpreter lock. The mutex is
        // waited for in slices, so that Ctrl-C reaches a count stuck behind a stopped holder.
        RingQueue& ring = as_queue(self)->ring;
        const WaitBudget as_long_as_it_takes;
        Fill fill{};
        std::optional<QueueError> error;
        bool wait_failed = false;
        const Step step = run_sliced(
            as_long_as_it_takes, {}, [] { return Step::Busy; },
            [&](Step, Deadline end) { return step_of(ring.fill(fill, end), error); }, wait_failed);
        if (step != Step::Done)
            return finish(step, wait_failed, error, "Queue stats error: ", nullptr, nullptr);
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(fill.bytes),
                             static_cast<unsigned long long>(fill.messages));
    });
}

PyObject* KelQueue_capacity(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_queue_type, "KelQueue"))
            return nullptr;
        return PyLong_FromUnsignedLongLong(as_queue(self)->ring.capacity());
    });
}

PyObject* KelQueue_commit_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::uint64_t next_pos;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("commit_read", {"next_pos"}, args, nargs, kwnames, argv) ||
            !to_u64(argv[0], "commit_read", "next_pos", next_pos))
            return nullptr;
        RingQueue& ring = as_queue(self)->ring;
        auto attempt = ring.commit(next_pos, kNoWait);
        if (!attempt.ok())
            return raise_runtime("Queue commit_read error: ", attempt.error().display());
        if (attempt.value() == Attempt::Busy) {
            std::optional<Result<Attempt, QueueError>> committed;
            {
                GilRelease nogil;
                committed.emplace(ring.commit(next_pos, kForever));
            }
            if (!committed->ok())
                return raise_runtime("Queue commit_read error: ", committed->error().display());
        }
        Py_RETURN_NONE;
    });
}

PyObject* KelQueue_unlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::string_view name;
        if (!bind_args("unlink", {"name"}, args, nargs, kwnames, argv) || !to_name(argv[0], "unlink", "name", name))
            return nullptr;
        if (auto st = unlink_segment(name); !st.ok())
            return raise_runtime("Unlink failed: ", st.error().display());
        Py_RETURN_NONE;
    });
}

PyMethodDef kel_queue_methods[] = {
    {"put_bytes", as_cfunction(KelQueue_put_bytes), METH_FASTCALL | METH_KEYWORDS, "put_bytes($self, data)\n--\n\n"},
    {"get_bytes", KelQueue_get_bytes, METH_NOARGS, "get_bytes($self)\n--\n\n"},
    {"recv_view", KelQueue_recv_view, METH_NOARGS,
     "recv_view($self)\n--\n\nZero-copy receive. Returns a PyMemoryView.\nIMPORTANT: The user MUST call "
     "commit_read(view_info) after processing to advance the queue.\nreturns (memoryview, view_info)"},
    {"commit_read", as_cfunction(KelQueue_commit_read), METH_FASTCALL | METH_KEYWORDS,
     "commit_read($self, next_pos)\n--\n\n"},
    {"unlink", as_cfunction(KelQueue_unlink), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "unlink(name)\n--\n\n"},
    {"put_bytes_timed", as_cfunction(KelQueue_put_bytes_timed), METH_FASTCALL | METH_KEYWORDS,
     "put_bytes_timed($self, data, timeout)\n--\n\nPut one message (any C-contiguous buffer), waiting at most "
     "`timeout` seconds for room (None: as long as it takes; 0: never waits).\nReturns True when the message was "
     "put, False on timeout."},
    {"get_bytes_timed", as_cfunction(KelQueue_get_bytes_timed), METH_FASTCALL | METH_KEYWORDS,
     "get_bytes_timed($self, timeout)\n--\n\nTake the oldest message, waiting at most `timeout` seconds "
     "(None: as long as it takes; 0: never waits).\nReturns the message, or None on timeout."},
    {"put_many", as_cfunction(KelQueue_put_many), METH_FASTCALL | METH_KEYWORDS,
     "put_many($self, items, timeout)\n--\n\nPut a sequence of messages (any C-contiguous buffers) as one batch: "
     "all of them, next to each other, or none.\nReturns True when the batch was put, False on timeout."},
    {"get_many", as_cfunction(KelQueue_get_many), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, max_items, timeout)\n--\n\nWait at most `timeout` seconds for a message, then take up to "
     "max_items messages at once.\nReturns a list, empty on timeout."},
    {"recv_view_timed", as_cfunction(KelQueue_recv_view_timed), METH_FASTCALL | METH_KEYWORDS,
     "recv_view_timed($self, timeout)\n--\n\nrecv_view, waiting at most `timeout` seconds.\nReturns "
     "(memoryview, next_pos), or None on timeout."},
    {"attach", as_cfunction(KelQueue_attach), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "attach($type, name)\n--\n\nOpen the existing queue `name`, whatever its size; never creates one.\nRaises "
     "RuntimeError (Nix error: ENOENT) when there is none."},
    {"stats", KelQueue_stats, METH_NOARGS,
     "stats($self)\n--\n\nReturns (bytes_held, messages_held): the bytes between the read and write positions, "
     "length fields included, and the number of messages."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kel_queue_getset[] = {
    {"capacity", KelQueue_capacity, nullptr, "Bytes in the ring; a message takes its length plus 4.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kel_queue_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(KelQueue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(KelQueue_dealloc)},
    {Py_tp_doc, const_cast<char*>("KelQueue(name, size_mb)\n--\n\n")},
    {Py_tp_methods, kel_queue_methods},
    {Py_tp_getset, kel_queue_getset},
    {0, nullptr},
};

PyType_Spec kel_queue_spec = {"builtins.KelQueue", sizeof(KelQueueObject), 0, Py_TPFLAGS_DEFAULT, kel_queue_slots};

int QueueView_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* v = reinterpret_cast<QueueViewObject*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<std::uint8_t*>(v->data), v->length, 1, flags);
}

void QueueView_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<QueueViewObject*>(self)->owner);
    free_instance(self);
}

PyType_Slot queue_view_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(QueueView_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(QueueView_dealloc)},
    {0, nullptr},
};

PyType_Spec queue_view_spec = {"builtins.KelQueueRecord", sizeof(QueueViewObject), 0, Py_TPFLAGS_DEFAULT,
                               queue_view_slots};

} // namespace

PyTypeObject* kel_queue_type() { return create_type_once(kel_queue, kel_queue_spec); }
PyTypeObject* queue_view_type() { return create_type_once(queue_view, queue_view_spec); }

// A message is put while holding the interpreter lock when the ring takes it at
// once; only a wait for room gives the interpreter lock up. `data` belongs to a
// bytes object the caller keeps referenced, and bytes never change.
PyObject* queue_put(RingQueue& ring, const char* data, std::uint64_t size, const char* prefix) {
    auto attempt = ring.try_put(data, size);
    if (!attempt.ok())
        return raise_queue_error(prefix, attempt.error());
    if (attempt.value() != Attempt::Done) {
        const Piece piece{data, size};
        const Deadline since = Clock::now();
        std::optional<Result<Attempt, QueueError>> put;
        {
            GilRelease nogil;
            put.emplace(ring.put(std::span(&piece, 1), kForever, WaitFor::Anything, since));
        }
        if (!put->ok()) {
            give_up_claim(ring);
            return raise_queue_error(prefix, put->error());
        }
    }
    Py_RETURN_NONE;
}

// The record is copied straight into the new bytes object under the queue mutex,
// with the interpreter lock held but never waited for while the mutex is held.
// When nothing can be taken at once, wait without the interpreter lock and retry.
// While the mutex is busy, the record goes into a bytes object made beforehand (see Spare).
PyObject* queue_get(RingQueue& ring, const char* prefix) {
    Spare spare;
    for (;;) {
        PyObject* out = nullptr;
        auto attempt = ring.try_get(bytes_sink, &out);
        Ref result(out);
        if (!attempt.ok())
            return raise_queue_error(prefix, attempt.error());
        if (attempt.value() == Attempt::Done)
            return result.release();
        if (attempt.value() == Attempt::SinkFailed)
            return nullptr; // MemoryError is set; the record stays queued
        const bool busy = attempt.value() == Attempt::Busy;
        if (busy && !spare.prepare(ring.oldest_length_hint()))
            return nullptr;
        std::optional<Result<Attempt, QueueError>> waited;
        {
            GilRelease nogil;
            std::size_t taken = 0;
            waited.emplace(busy ? ring.get_many(Spare::sink, &spare, 1, taken, kForever, WaitFor::Anything)
                                : ring.wait_readable(kForever));
        }
        if (!waited->ok())
            return raise_queue_error(prefix, waited->error());
        if (busy && waited->value() == Attempt::Done)
            return spare.bytes.release();
    }
}

} // namespace kel::py
