// The shared byte queue: header layout, ring operations and waits.
//
// A queue is one mirrored segment: a 16384-byte header, then a data area of D
// bytes that every process maps twice back to back, so every record of up to D
// bytes is one contiguous range. Records are a 4-byte native-endian length and
// the payload, packed without padding. Positions only grow; offsets are taken
// modulo D. Every read or write of the positions and data happens under the
// header's robust mutex.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <span>

#include "errors.hpp"
#include "shm.hpp"

namespace kel {

// A wait word pair in place of a condition variable: waiters sleep on `seq` with
// a shared futex, wakers bump it. A waiter killed in its sleep leaves only a stale
// count behind, never something a waker would block on.
struct WaitSlot {
    std::uint32_t seq;
    std::uint32_t sleepers;
    std::uint8_t unused[120];
};

struct QueueHeader {
    union {
        pthread_mutex_t mutex;
        std::uint8_t mutex_slot[128];
    };
    WaitSlot not_empty; // bumped after data was added; consumers wait on it
    WaitSlot not_full;  // bumped after space was freed; producers wait on it
    std::uint64_t read_pos;
    std::uint64_t write_pos;
    std::uint64_t capacity;
    std::uint64_t ready;
    std::uint8_t reserved[kMirrorHeaderSize - 416];
};
static_assert(sizeof(pthread_mutex_t) <= 128);
static_assert(offsetof(QueueHeader, mutex) == 0);
static_assert(offsetof(QueueHeader, not_empty) == 128);
static_assert(offsetof(QueueHeader, not_full) == 256);
static_assert(offsetof(QueueHeader, read_pos) == 384);
static_assert(offsetof(QueueHeader, write_pos) == 392);
static_assert(offsetof(QueueHeader, capacity) == 400);
static_assert(offsetof(QueueHeader, ready) == 408);
static_assert(sizeof(QueueHeader) == kMirrorHeaderSize);

inline constexpr std::uint64_t kRecordPrefix = 4;

enum class Attempt { Done, WouldBlock, SinkFailed };

// Waits end at a point on the monotonic clock; kForever never comes.
using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
inline constexpr Deadline kForever = Deadline::max();

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

// A process's handle on one queue: addresses derived from its mapping base. Owns
// nothing; valid as long as the mapping it was made from.
//
// The try_ operations never wait for anything, so they may run with the
// interpreter lock held; the others may wait and must run without it.
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

    // A message that can never be stored: longer than the ring, or than the length field holds.
    [[nodiscard]] Status<QueueError> check_fits(std::uint64_t length) const;
    // The same for a batch that is stored as a whole.
    [[nodiscard]] Status<QueueError> check_fits(std::span<const Piece> batch) const;

    // A batch goes in whole or not at all, under one hold of the mutex, its records
    // next to each other. put_until gives up at `until` (WouldBlock), storing nothing.
    [[nodiscard]] Result<Attempt, QueueError> try_put(std::span<const Piece> batch);
    [[nodiscard]] Result<Attempt, QueueError> put_until(std::span<const Piece> batch, Deadline until);
    [[nodiscard]] Result<Attempt, QueueError> try_put(const void* bytes, std::uint64_t length) {
        const Piece piece{bytes, length};
        return try_put(std::span(&piece, 1));
    }
    [[nodiscard]] Status<QueueError> put(const void* bytes, std::uint64_t length);

    // Takes the oldest records, up to `max`, each into the memory `sink` gives; `taken`
    // tells how many. SinkFailed (nothing taken) leaves the record queued; a sink that
    // fails after the first record ends the batch there, with Done.
    [[nodiscard]] Result<Attempt, QueueError> try_get_many(Sink sink, void* context, std::size_t max,
                                                           std::size_t& taken);
    [[nodiscard]] Result<Attempt, QueueError> try_get(Sink sink, void* context) {
        std::size_t taken = 0;
        return try_get_many(sink, context, 1, taken);
    }
    // Waits until a record is there (another consumer may still take it first);
    // WouldBlock when `until` came first.
    [[nodiscard]] Result<Attempt, QueueError> wait_readable_until(Deadline until);
    [[nodiscard]] Status<QueueError> wait_readable();

    // The oldest record, left in the ring.
    [[nodiscard]] Result<Attempt, QueueError> try_peek(RecordView& out);
    [[nodiscard]] Result<Attempt, QueueError> peek_until(Deadline until, RecordView& out);
    [[nodiscard]] Result<RecordView, QueueError> peek();

    // Consumes the record that ends at next_pos; the current read position is accepted
    // as nothing to do, anything else is refused and changes nothing.
    [[nodiscard]] Result<Attempt, QueueError> try_commit(std::uint64_t next_pos);
    [[nodiscard]] Status<QueueError> commit(std::uint64_t next_pos);

    // Counts the records under the mutex (may wait for it: not with the interpreter lock).
    [[nodiscard]] Result<Fill, QueueError> fill();

private:
    [[nodiscard]] Result<Attempt, QueueError> put_locked(std::span<const Piece> batch, std::uint64_t need,
                                                         Deadline until);
    [[nodiscard]] Result<RecordView, QueueError> oldest_locked() const;
    [[nodiscard]] Status<QueueError> commit_locked(std::uint64_t next_pos);

    QueueHeader* header_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::uint64_t capacity_ = 0;
};

// Creator only, on the fresh zero-filled mapping of a mirrored segment.
[[nodiscard]] Result<RingQueue, QueueError> init_header(void* base, std::size_t mapping_length);

enum class Readiness { Ready, NeverReady, CapacityMismatch };

// Waits (bounded, without the interpreter lock) until the creator has stored `ready`,
// then checks that the header's capacity is the one this process mapped.
[[nodiscard]] Readiness wait_ready(void* base, std::uint64_t data_size);

} // namespace kel
