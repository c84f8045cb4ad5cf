// The robust lock record: the whole state of a named lock, at the start of its
// 4096-byte segment, and a process's handle on it.
//
// The record is one robust, process-shared, error-checking pthread mutex at offset 0
// and a ready mark at 64 that the creator stores last, so that an opener never uses
// a mutex that is not initialised yet. A holder that dies leaves the mutex marked by
// the kernel; the next acquirer marks it consistent and is told it took it over.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <utility>

#include "deadline.hpp"
#include "errors.hpp"
#include "shm.hpp"

namespace kel {

struct LockRecord {
    pthread_mutex_t mutex;
    alignas(64) std::uint64_t ready;
};
static_assert(offsetof(LockRecord, mutex) == 0);
static_assert(offsetof(LockRecord, ready) == 64);
static_assert(sizeof(LockRecord) <= kPlainSegmentSize);

inline constexpr std::uint64_t kLockReady = 0x314b434f4c4c454bULL; // "KELLOCK1"

// How an acquire ended: the lock is held (Clean), held after a dead holder (Recovered:
// what it protected may be half done), or held by somebody else until the call's end (Busy).
enum class Acquired { Clean, Recovered, Busy };

// Why a lock could not be opened or created. Open: the object exists but cannot be
// used as it is; Create: exclusive creation failed; Init: the creator could not
// initialise the mutex; NeverInitialised: the creator never finished.
struct LockOpenError {
    enum class Kind { Open, Create, Init, NeverInitialised };

    Kind kind;
    SegmentError segment{SegmentError::nix(0)};      // Open, Create
    LockError lock{LockError::Kind::Pthread, 0};      // Init

    static LockOpenError open(SegmentError e) { return with_segment(Kind::Open, std::move(e)); }
    static LockOpenError create(SegmentError e) { return with_segment(Kind::Create, std::move(e)); }
    static LockOpenError init(LockError e) {
        LockOpenError error{Kind::Init};
        error.lock = e;
        return error;
    }
    static LockOpenError never_initialised() { return {Kind::NeverInitialised}; }

    [[nodiscard]] std::string display() const {
        switch (kind) {
        case Kind::Open:
        case Kind::Create:
            return segment.display();
        case Kind::Init:
            return lock.display();
        case Kind::NeverInitialised:
            return "the lock was never initialised by its creator";
        }
        return "unknown lock open error";
    }

private:
    static LockOpenError with_segment(Kind kind, SegmentError e) {
        LockOpenError error{kind};
        error.segment = std::move(e);
        return error;
    }
};

// A process's handle on one named lock: its own mapping of the segment, and the record
// in it. Move-only. Every thread may call every method at once; the mutex belongs to
// the thread that took it.
class LockHandle {
public:
    LockHandle() = default;
    explicit LockHandle(Mapping mapping) noexcept
        : mapping_(std::move(mapping)), record_(static_cast<LockRecord*>(mapping_.base())) {}
    LockHandle(LockHandle&& other) noexcept
        : mapping_(std::move(other.mapping_)), record_(std::exchange(other.record_, nullptr)) {}
    LockHandle& operator=(LockHandle&&) = delete;
    LockHandle(const LockHandle&) = delete;
    LockHandle& operator=(const LockHandle&) = delete;
    // Unmaps, unless a thread of this process holds the lock (see lock.cpp).
    ~LockHandle();

    [[nodiscard]] pthread_mutex_t* mutex() const noexcept { return &record_->mutex; }

    // One try; never waits. The uncontended case, kept short.
    [[nodiscard]] Result<Acquired, LockError> try_acquire() noexcept {
        const int rc = pthread_mutex_trylock(&record_->mutex);
        if (rc == 0) [[likely]]
            return Acquired::Clean;
        return classify(rc);
    }
    // Waits as long as it takes: Clean or Recovered, never Busy.
    [[nodiscard]] Result<Acquired, LockError> acquire();
    // Waits until `end` at most: Busy when it came first.
    [[nodiscard]] Result<Acquired, LockError> acquire_until(Deadline end);
    // Only the thread that holds the lock may release it (EPERM for any other).
    // Inline, as try_acquire: the caller tests the code, not a value built from it.
    [[nodiscard]] Status<LockError> release() noexcept {
        const int rc = pthread_mutex_unlock(&record_->mutex);
        if (rc == 0) [[likely]]
            return {};
        return LockError::pthread(rc);
    }

private:
    // The result of a lock call that did not simply succeed.
    [[nodiscard]] Result<Acquired, LockError> classify(int rc) noexcept;

    Mapping mapping_;
    LockRecord* record_ = nullptr;
};

// One open of an existing lock (see open_or_create_lock).
struct LockOpening {
    std::optional<Result<Mapping, SegmentError>> opened;
    bool ready = false;

    // None to open, or none that can be mapped: creating it may go ahead.
    [[nodiscard]] bool creatable() const;
};

// Opens the existing lock segment `name` and waits (bounded) for its creator to store
// the ready mark.
[[nodiscard]] LockOpening open_existing_lock(std::string_view name);
// Creates the lock segment `name` exclusively and initialises its record; never waits.
[[nodiscard]] Result<LockHandle, LockOpenError> create_lock(std::string_view name);
// The lock an opening found, or why it cannot be used.
[[nodiscard]] Result<LockHandle, LockOpenError> opened_lock(LockOpening&& opening);

// Opens the lock `name`, or creates it when there is none. Of several processes that
// do this at once for a new name, one creates and the others open what it made.
// `waiting(step)` runs each step that may wait for another process (an opener waits
// for a creator that has not finished); the binding gives up the interpreter lock
// there. Creating never waits and runs outside `waiting`.
template <class Waiting>
[[nodiscard]] Result<LockHandle, LockOpenError> open_or_create_lock(std::string_view name, Waiting&& waiting) {
    LockOpening opening;
    waiting([&] { opening = open_existing_lock(name); });
    if (opening.creatable()) {
        auto created = create_lock(name);
        if (created.ok() || created.error().kind != LockOpenError::Kind::Create ||
            !created.error().segment.is_errno(EEXIST))
            return created;
        // EEXIST: another process created the lock since our open; attach to it.
        waiting([&] { opening = open_existing_lock(name); });
        if (opening.creatable())
            return created;
    }
    return opened_lock(std::move(opening));
}

} // namespace kel
