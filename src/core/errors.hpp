// Error values of the core layers and their display texts.
//
// Nothing below the binding layer raises or prints: every failure is one of these
// values, passed up by return. Texts compose by concatenation, the outer value
// prefixing the inner one, and the binding adds the operation prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "errno_table.hpp"

namespace kel {

// An errno value as the module reports it: values without a name of their own
// (0, 41, 58, negatives, above 133) all read as UnknownErrno.
class Errno {
public:
    explicit Errno(int value) noexcept
        : value_(value > 0 && value <= kMaxErrno && kErrnoTable[value].name != nullptr ? value : 0) {}

    [[nodiscard]] int value() const noexcept { return value_; }

    [[nodiscard]] std::string display() const {
        const ErrnoEntry& e = kErrnoTable[value_];
        return std::string(e.name) + ": " + e.description;
    }

private:
    int value_;
};

struct SegmentError {
    enum class Kind {
        Nix,             // a system call failed
        CString,         // the name holds a zero byte
        SizeMismatch,    // an existing object does not have the size this process expects
        NeverInitialised, // the creator never finished sizing or initialising the object
        NotAQueue         // an object attached to as a queue has no queue's size
    };

    Kind kind;
    Errno err{0};
    std::string os_name;     // CString only
    std::size_t position{0}; // CString only
    std::uint64_t actual{0}, expected{0};

    static SegmentError nix(int errno_value) { return {Kind::Nix, Errno(errno_value), {}, 0, 0, 0}; }
    static SegmentError cstring(std::string name, std::size_t pos) {
        return {Kind::CString, Errno(0), std::move(name), pos, 0, 0};
    }
    static SegmentError size_mismatch(std::uint64_t actual, std::uint64_t expected) {
        return {Kind::SizeMismatch, Errno(0), {}, 0, actual, expected};
    }
    static SegmentError never_initialised() { return {Kind::NeverInitialised, Errno(0), {}, 0, 0, 0}; }
    static SegmentError not_a_queue(std::uint64_t actual) { return {Kind::NotAQueue, Errno(0), {}, 0, actual, 0}; }

    [[nodiscard]] bool is_errno(int value) const noexcept { return kind == Kind::Nix && err.value() == value; }

    [[nodiscard]] std::string display() const {
        switch (kind) {
        case Kind::Nix:
            return "Nix error: " + err.display();
        case Kind::CString:
            return "CString error: nul byte found in provided data at position: " + std::to_string(position);
        case Kind::SizeMismatch:
            return "the object is " + std::to_string(actual) + " bytes, this process expects " +
                   std::to_string(expected) + " bytes";
        case Kind::NeverInitialised:
            return "the object was never initialised by its creator";
        case Kind::NotAQueue:
            return "the object is " + std::to_string(actual) +
                   " bytes, not the size of a queue (16384 + a whole number of MiB)";
        }
        return "unknown segment error";
    }
};

struct LockError {
    enum class Kind {
        Pthread,
        Recovered,
        OwnerGone // the owner word names a thread that does not exist and never will unlock
    };

    Kind kind;
    int code{0}; // the pthread code, or the missing owner's thread id

    static LockError pthread(int code) { return {Kind::Pthread, code}; }
    static LockError recovered() { return {Kind::Recovered, 0}; }
    static LockError owner_gone(int tid) { return {Kind::OwnerGone, tid}; }

    [[nodiscard]] std::string display() const {
        switch (kind) {
        case Kind::Recovered:
            return "Lock recovered from dead owner";
        case Kind::OwnerGone:
            return "held by thread " + std::to_string(code) + ", which does not exist";
        case Kind::Pthread:
            break;
        }
        return "Pthread error: " + std::to_string(code);
    }
};

struct CondError {
    enum class Kind { Mutex, Pthread };

    Kind kind;
    LockError mutex{LockError::Kind::Pthread, 0}; // Mutex only
    int code{0};                                   // Pthread only

    static CondError from_mutex(LockError e) { return {Kind::Mutex, e, 0}; }
    static CondError pthread(int code) { return {Kind::Pthread, {LockError::Kind::Pthread, 0}, code}; }

    // A wait that fails in its own call returns with the mutex still held; one that
    // fails to release or re-take the mutex returns without it.
    [[nodiscard]] bool mutex_held() const noexcept { return kind == Kind::Pthread; }

    [[nodiscard]] std::string display() const {
        if (kind == Kind::Mutex)
            return "Mutex error: " + mutex.display();
        return "Pthread error: " + std::to_string(code);
    }
};

struct QueueError {
    enum class Kind {
        Mutex,
        Cond,
        BufferTooSmall,
        Corrupt,       // the shared positions or a length field break the ring's invariants
        BadPosition,   // commit_read was given something other than a record boundary it may store
        RecordTooLong  // a message that fits the ring but not the 4-byte length field of a record
    };

    Kind kind;
    LockError mutex{LockError::Kind::Pthread, 0};
    CondError cond{CondError::Kind::Pthread, {LockError::Kind::Pthread, 0}, 0};
    std::string detail;    // Corrupt and BadPosition
    std::uint64_t length{0}; // RecordTooLong

    static QueueError from_mutex(LockError e) { return {Kind::Mutex, e, {}, {}, 0}; }
    static QueueError from_cond(CondError e) { return {Kind::Cond, {}, e, {}, 0}; }
    static QueueError buffer_too_small() { return {Kind::BufferTooSmall, {}, {}, {}, 0}; }
    static QueueError corrupt(std::string what) { return {Kind::Corrupt, {}, {}, std::move(what), 0}; }
    static QueueError bad_position(std::string what) { return {Kind::BadPosition, {}, {}, std::move(what), 0}; }
    static QueueError record_too_long(std::uint64_t length) { return {Kind::RecordTooLong, {}, {}, {}, length}; }

    // A fault of the caller's argument rather than of the queue: raised as ValueError.
    [[nodiscard]] bool bad_argument() const noexcept { return kind == Kind::RecordTooLong; }

    [[nodiscard]] std::string display() const {
        switch (kind) {
        case Kind::Mutex:
            return "Mutex error: " + mutex.display();
        case Kind::Cond:
            return "Cond error: " + cond.display();
        case Kind::BufferTooSmall:
            return "Buffer too small";
        case Kind::Corrupt:
            return "Queue corrupted: " + detail;
        case Kind::BadPosition:
            return "Invalid position: " + detail;
        case Kind::RecordTooLong:
            return "a message of " + std::to_string(length) +
                   " bytes is over the 4 GiB limit of a record (4294967295 bytes at most)";
        }
        return "unknown queue error";
    }
};

// A value or an error; the error alternative is the failure.
template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    [[nodiscard]] T& value() { return std::get<0>(v_); }
    [[nodiscard]] const T& value() const { return std::get<0>(v_); }
    [[nodiscard]] E& error() { return std::get<1>(v_); }
    [[nodiscard]] const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

// Success, or an error.
template <class E>
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(E error) : e_(std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return !e_.has_value(); }
    [[nodiscard]] E& error() { return *e_; }
    [[nodiscard]] const E& error() const { return *e_; }

private:
    std::optional<E> e_;
};

} // namespace kel
