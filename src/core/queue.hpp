// The shared byte queue: header layout, ring operations and waits.
//
// A queue is one mirrored segment: a 16384-byte header, then a data area of D
// bytes that every process maps twice back to back, so every record of up to D
// bytes is one contiguous range. Records are a 4-byte native-endian length and
// the payload, packed without padding. Positions only grow; offsets are taken
// modulo D. Every read or write of the positions and data happens under the
// header's robust mutex.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <span>
#include <string>
#include <string_view>

#include "deadline.hpp"
#include "errors.hpp"
#include "shm.hpp"

namespace kel {

// A wait word pair in place of a condition variable: waiters sleep on `seq` with
// a shared futex, wakers bump it. A waiter killed in its sleep leaves only a stale
// count behind, never something a waker would block on.
struct WaitWords {
    std::uint32_t seq;
    std::uint32_t sleepers;
};

// A producer's claim on room. Small messages can keep a ring from ever having room
// for a large one: each record a consumer frees is refilled at once. So a producer
// that has waited for room longer than a short grace publishes its need here, and
// other producers put only while they leave that much room free, until it is
// served or gives up. Written only under the mutex. Nobody waits on a claim itself,
// only, as ever, on `not_full` with a bounded wait, and a claim counts only while
// its claimant's thread exists and has renewed it within a short lease (it renews
// at every wake): a claimant killed or stopped holds nobody back for long.
struct RoomClaim {
    std::uint64_t need;       // bytes of room the claimant waits for; 0: no claim
    std::uint64_t expires_ns; // on CLOCK_MONOTONIC
    std::uint32_t tid;        // the claimant's thread
    std::uint32_t unused;
};

struct QueueHeader {
    union {
        pthread_mutex_t mutex;
        std::uint8_t mutex_slot[128];
    };
    WaitWords not_empty; // bumped after data was added; consumers wait on it
    std::uint8_t not_empty_unused[120];
    WaitWords not_full; // bumped after space was freed; producers wait on it
    RoomClaim room_claim;
    std::uint8_t not_full_unused[120 - sizeof(RoomClaim)];
    std::uint64_t read_pos;
    std::uint64_t write_pos;
    std::uint64_t capacity;
    std::uint64_t ready;
    // The id of the queue's block arena (see blocks.hpp), 0 until a producer of a large
    // message makes one; set once, by compare-and-swap, never under the mutex.
    std::uint64_t block_arena;
    std::uint8_t reserved[kMirrorHeaderSize - 424];
};
static_assert(sizeof(pthread_mutex_t) <= 128);
static_assert(offsetof(QueueHeader, mutex) == 0);
static_assert(offsetof(QueueHeader, not_empty) == 128);
static_assert(offsetof(QueueHeader, not_full) == 256);
static_assert(offsetof(QueueHeader, room_claim) == 264);
static_assert(offsetof(QueueHeader, read_pos) == 384);
static_assert(offsetof(QueueHeader, write_pos) == 392);
static_assert(offsetof(QueueHeader, capacity) == 400);
static_assert(offsetof(QueueHeader, ready) == 408);
static_assert(offsetof(QueueHeader, block_arena) == 416);
static_assert(sizeof(QueueHeader) == kMirrorHeaderSize);

inline constexpr std::uint64_t kRecordPrefix = 4;
// The length field holds at most this; a longer message cannot be a record at all.
inline constexpr std::uint64_t kMaxRecordLength = UINT32_MAX;

// Done: the operation happened. WouldBlock: no data or room, and the call may not
// wait for it (any longer). Busy: another thread held the mutex until the call's
// deadline. SinkFailed: the sink gave no memory; the record stays queued.
enum class Attempt { Done, WouldBlock, Busy, SinkFailed };

// What an operation may wait for up to its deadline: only for the mutex, which is
// held for one copy at a time (a call with a zero timeout), or for data or room too.
// Claim (puts only, with a zero timeout) waits for nothing either, but a put that
// finds no room claims it at once, or renews the calling thread's claim: for a caller
// that waits elsewhere (an event loop's) and has waited longer than the grace.
enum class WaitFor { Mutex, Anything, Claim };

// How long a call that waits for nothing else (a zero timeout) waits for a busy
// mutex. A holder keeps it for one copy of at most the capacity (a batch), which
// takes far less than 1 ns a byte; a holder that keeps it longer is stopped or
// stuck, and the call ends as if its time had run out.
inline std::chrono::nanoseconds busy_mutex_bound(std::uint64_t capacity) {
    return std::chrono::seconds(1) + std::chrono::nanoseconds(std::min<std::uint64_t>(capacity, 1ULL << 40));
}

// One message of a batch: the caller keeps the bytes alive and unchanged.
struct Piece {
    const void* bytes;
    std::uint64_t length;
};

// What a queue holds: bytes between the positions (length fields included) and records.
struct Fill {
    std::uint64_t bytes;
    std::uint64_t messages;
};

// Where one record of the ring lies: its position, payload length and address.
struct RecordView {
    std::uint64_t pos;
    std::uint32_t length;
    const std::uint8_t* payload;
    [[nodiscard]] std::uint64_t next_pos() const noexcept { return pos + kRecordPrefix + length; }
};

// Gives the memory a record's payload is copied into, or nullptr when none can be had.
using Sink = std::uint8_t* (*)(void* context, std::uint32_t length);

// What a queue handle may keep in step with its records beside the ring: called only
// with the queue mutex held. `published` runs when a put has room and before it copies
// the batch, whose first record goes at `first_pos`; `taking` before a get hands a
// record to its sink, `taken` after the copy, each before the position that publishes
// or consumes the records is stored; `done` once at the end of a get that called
// `taking`. Busy: what the hooks need was held by another until `until`; the put or
// the rest of the get is given up, the records stay where they are.
class RecordHooks {
public:
    enum class Outcome { Done, Busy };
    virtual Outcome published(std::span<const Piece> batch, std::uint64_t first_pos, Deadline until) noexcept = 0;
    virtual Outcome taking(const RecordView& record, Deadline until) noexcept = 0;
    virtual void taken(const RecordView& record) noexcept = 0;
    virtual void done() noexcept = 0;

protected:
    ~RecordHooks() = default;
};

// A process's handle on one queue: addresses derived from its mapping base. Owns
// nothing; valid as long as the mapping it was made from.
//
// Every operation takes the mutex waiting at most until its deadline, and leaves
// it released whatever the outcome. Only the kNoWait forms may run with the
// interpreter lock held; the others must run without it.
class RingQueue {
public:
    RingQueue() = default;
    // Only once the header is ready: the capacity is read here, once, and never changes.
    explicit RingQueue(void* base) noexcept
        : header_(static_cast<QueueHeader*>(base)),
          data_(static_cast<std::uint8_t*>(base) + kMirrorHeaderSize),
          capacity_(header_->capacity) {}

    [[nodiscard]] std::uint64_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] QueueHeader* header() const noexcept { return header_; }
    // Hooks that every put and get of this handle runs (none by default); they must
    // outlive the handle's use.
    void set_hooks(RecordHooks* hooks) noexcept { hooks_ = hooks; }

    // A message that can never be stored: longer than the ring, or than the length field holds.
    [[nodiscard]] Status<QueueError> check_fits(std::uint64_t length) const;
    // The same for a batch that is stored as a whole.
    [[nodiscard]] Status<QueueError> check_fits(std::span<const Piece> batch) const;

    // A batch goes in whole or not at all, under one hold of the mutex, its records
    // next to each other. `since` is when the caller began to wait, for its claim on
    // room; a caller that gives up after waiting calls withdraw_claim.
    [[nodiscard]] Result<Attempt, QueueError> put(std::span<const Piece> batch, Deadline until, WaitFor what,
                                                  Deadline since);
    [[nodiscard]] Result<Attempt, QueueError> try_put(std::span<const Piece> batch) {
        return put(batch, kNoWait, WaitFor::Mutex, kNoWait);
    }
    [[nodiscard]] Result<Attempt, QueueError> try_put(const void* bytes, std::uint64_t length) {
        const Piece piece{bytes, length};
        return try_put(std::span(&piece, 1));
    }
    // One try, as try_put; without room, the calling thread claims it (WaitFor::Claim).
    [[nodiscard]] Result<Attempt, QueueError> try_put_claiming(std::span<const Piece> batch) {
        return put(batch, kNoWait, WaitFor::Claim, kNoWait);
    }
    // Drops this thread's claim on room, if it has one, once the mutex is had by `until`.
    void withdraw_claim(Deadline until);

    // Takes the oldest records, up to `max`, each into the memory `sink` gives; `taken`
    // tells how many. SinkFailed (nothing taken) leaves the record queued; a sink that
    // fails after the first record ends the batch there, with Done.
    [[nodiscard]] Result<Attempt, QueueError> get_many(Sink sink, void* context, std::size_t max,
                                                       std::size_t& taken, Deadline until, WaitFor what);
    [[nodiscard]] Result<Attempt, QueueError> try_get_many(Sink sink, void* context, std::size_t max,
                                                           std::size_t& taken) {
        return get_many(sink, context, max, taken, kNoWait, WaitFor::Mutex);
    }
    [[nodiscard]] Result<Attempt, QueueError> try_get(Sink sink, void* context) {
        std::size_t taken = 0;
        return try_get_many(sink, context, 1, taken);
    }
    // Waits until a record is there (another consumer may still take it first).
    [[nodiscard]] Result<Attempt, QueueError> wait_readable(Deadline until);
    // The length of the oldest record as the positions read without the mutex say
    // now: a guess, 0 when none is there, never more than the capacity.
    [[nodiscard]] std::uint32_t oldest_length_hint() const;

    // The oldest record, left in the ring.
    [[nodiscard]] Result<Attempt, QueueError> peek(RecordView& out, Deadline until, WaitFor what);
    [[nodiscard]] Result<Attempt, QueueError> try_peek(RecordView& out) { return peek(out, kNoWait, WaitFor::Mutex); }

    // Consumes the record that ends at next_pos; the current read position is accepted
    // as nothing to do, anything else is refused and changes nothing.
    [[nodiscard]] Result<Attempt, QueueError> commit(std::uint64_t next_pos, Deadline until);

    // Counts the records under the mutex.
    [[nodiscard]] Result<Attempt, QueueError> fill(Fill& out, Deadline until);
    // Counts them without the mutex, from a moment at which no consumer moved the read
    // position: the records between the positions never change meanwhile. False when
    // consumers kept moving it; nothing then is known.
    [[nodiscard]] Result<bool, QueueError> fill_unlocked(Fill& out) const;

    // Watching a queue for a thread that waits for several at once (see watch.hpp).
    // `room` 0 waits for a record; n > 0 for n bytes of room that a put without a wait
    // may use now (room that a waiting producer claimed is not free for it, unless that
    // producer is the thread `claimant`: its own claim holds nothing back from it).
    //
    // One try of the mutex. Done: it is there, nothing changed. WouldBlock: it is not;
    // the calling thread is now counted among the sleepers of the wait word (so every
    // change from now on bumps it) and `seen` holds the word's value; unwatch ends
    // that. Busy: the mutex was held; nothing changed.
    [[nodiscard]] Result<Attempt, QueueError> watch(std::uint64_t room, std::uint32_t claimant, std::uint32_t& seen);
    // Once per WouldBlock of watch; needs no mutex.
    void unwatch(std::uint64_t room) noexcept;
    // The word a counted watcher sleeps on and whose value watch gave.
    [[nodiscard]] std::uint32_t* wait_word(std::uint64_t room) const noexcept;
    // Whether what watch waits for is there, read without the mutex: a hint, which a
    // counted watcher may take as exact up to the next bump of the wait word.
    [[nodiscard]] bool ready_hint(std::uint64_t room, std::uint32_t claimant) const;

private:
    [[nodiscard]] Result<Attempt, QueueError> put_locked(std::span<const Piece> batch, std::uint64_t need,
                                                         Deadline until, WaitFor what, Deadline since);
    [[nodiscard]] Result<RecordView, QueueError> oldest_locked() const;
    [[nodiscard]] Status<QueueError> commit_locked(std::uint64_t next_pos);
    [[nodiscard]] WaitWords& watched_slot(std::uint64_t room) const noexcept {
        return room == 0 ? header_->not_empty : header_->not_full;
    }
    [[nodiscard]] bool ready_now(std::uint64_t room, std::uint32_t claimant) const;

    QueueHeader* header_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::uint64_t capacity_ = 0;
    RecordHooks* hooks_ = nullptr;
};

// Creator only, on the fresh zero-filled mapping of a mirrored segment.
[[nodiscard]] Result<RingQueue, QueueError> init_header(void* base, std::size_t mapping_length);

enum class Readiness { Ready, NeverReady, CapacityMismatch };

// Waits (bounded, without the interpreter lock) until the creator has stored `ready`,
// then checks that the header's capacity is the one this process mapped.
[[nodiscard]] Readiness wait_ready(void* base, std::uint64_t data_size);

// One queue as this process has it: its own mapping, and the ring handle on it.
struct QueueSegment {
    Mapping mapping;
    RingQueue ring;
};

// Why a queue could not be opened or created. Open: the object exists but cannot be
// used as it is (`segment` says why); Create: exclusive creation failed; Init: the
// creator could not initialise the header; NeverInitialised: its creator never
// finished; CapacityMismatch: the header records another capacity than this process
// mapped.
struct QueueOpenError {
    enum class Kind { Open, Create, Init, NeverInitialised, CapacityMismatch };

    Kind kind;
    SegmentError segment{SegmentError::nix(0)};  // Open, Create
    QueueError queue{QueueError::buffer_too_small()}; // Init
    std::uint64_t recorded{0}, expected{0};      // CapacityMismatch

    static QueueOpenError open(SegmentError e) { return with_segment(Kind::Open, std::move(e)); }
    static QueueOpenError create(SegmentError e) { return with_segment(Kind::Create, std::move(e)); }
    static QueueOpenError init(QueueError e) {
        QueueOpenError error{Kind::Init};
        error.queue = std::move(e);
        return error;
    }
    static QueueOpenError never_initialised() { return {Kind::NeverInitialised}; }
    static QueueOpenError capacity_mismatch(std::uint64_t recorded, std::uint64_t expected) {
        QueueOpenError error{Kind::CapacityMismatch};
        error.recorded = recorded;
        error.expected = expected;
        return error;
    }

    [[nodiscard]] std::string display() const {
        switch (kind) {
        case Kind::Open:
        case Kind::Create:
            return segment.display();
        case Kind::Init:
            return queue.display();
        case Kind::NeverInitialised:
            return "the queue was never initialised by its creator";
        case Kind::CapacityMismatch:
            return "the queue header records a capacity of " + std::to_string(recorded) +
                   " bytes, this process expects " + std::to_string(expected) + " bytes";
        }
        return "unknown queue open error";
    }

private:
    static QueueOpenError with_segment(Kind kind, SegmentError e) {
        QueueOpenError error{kind};
        error.segment = std::move(e);
        return error;
    }
};

// Opens the queue `name` with a data area of `data_size` bytes, waiting (bounded) for a
// creator that has not finished, or, when there is none, creates it exclusively and
// initialises its header. Of several processes that do this at once for a new name,
// one creates and the others open what it made. May wait: never with the interpreter lock.
[[nodiscard]] Result<QueueSegment, QueueOpenError> open_or_create_queue(std::string_view name,
                                                                        std::uint64_t data_size);

// Opens the existing queue `name` at the size it was made with; never creates one. May
// wait like open_or_create_queue.
[[nodiscard]] Result<QueueSegment, QueueOpenError> attach_queue(std::string_view name);

} // namespace kel
