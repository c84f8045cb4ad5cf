// kelvane.hpp: C++ handles over kelvane.h. Needs C++20 (std::span).
//
//   auto q = kv::queue::open("frames", 64 << 20);      // a kv::result<kv::queue>
//   if (!q) { std::cerr << q.error().message() << '\n'; return 1; }
//   if (auto put = q->put(std::as_bytes(std::span(frame))); !put) ...
//
//   auto frame = q->loan(rows * cols * sizeof(float));  // large messages: a loan in a block
//   std::ranges::fill(frame->as<float>(), 1.0f);         // filled in place, then sent:
//   q->send_array<float>(*frame, {rows, cols});          // Python gets a numpy array, no copy
//
// Handles (kv::queue, kv::lock, kv::held, kv::message, kv::loan, kv::block) are move-only and
// release what they hold in their destructors. Every call that can fail returns a kv::result<T>: a T, or a
// kv::error with the result code of kelvane.h and the message kv_last_error() gave (the
// same text Python's kelvane_core raises for the same failure). Nothing here throws but
// std::bad_alloc (for an error's text) and value() of a result that holds an error
// (std::bad_variant_access): test first.
// Thread safety and every wait are those of the C functions, documented in kelvane.h.
#ifndef KELVANE_HPP
#define KELVANE_HPP

#if __cplusplus < 202002L
#error "kelvane.hpp needs C++20 (std::span); compile with -std=c++20 or later"
#endif

#include <bit>
#include <chrono>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "kelvane.h"

namespace kv {

// How long a call may wait; kv::forever: as long as it takes; zero: not at all (see
// kelvane.h for the one bounded wait a zero timeout still makes for a busy queue).
using timeout = std::chrono::nanoseconds;
inline constexpr timeout forever{KV_FOREVER};

// A failure: the result code (KV_E* of kelvane.h) and its whole text.
class error {
public:
    error(int code, std::string message) : code_(code), message_(std::move(message)) {}

    [[nodiscard]] int code() const noexcept { return code_; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    [[nodiscard]] const char* what() const noexcept { return message_.c_str(); }
    [[nodiscard]] bool timed_out() const noexcept { return code_ == KV_ETIMEDOUT; }

    // The failure the calling thread's last C call returned `code` for.
    static error last(int code) { return error(code, kv_last_error()); }

private:
    int code_;
    std::string message_;
};

// A value or an error.
template <class T>
class [[nodiscard]] result {
public:
    result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    result(kv::error e) : v_(std::in_place_index<1>, std::move(e)) {}

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    [[nodiscard]] int code() const noexcept { return ok() ? KV_OK : error().code(); }

    [[nodiscard]] T& value() & { return std::get<0>(v_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(v_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    [[nodiscard]] const kv::error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, kv::error> v_;
};

template <>
class [[nodiscard]] result<void> {
public:
    result() = default;
    result(kv::error e) : e_(std::move(e)) {}

    [[nodiscard]] bool ok() const noexcept { return !e_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    [[nodiscard]] int code() const noexcept { return ok() ? KV_OK : e_->code(); }
    [[nodiscard]] const kv::error& error() const { return e_.value(); }

private:
    std::optional<kv::error> e_;
};

namespace detail {

inline result<void> status(int rc) {
    if (rc == KV_OK)
        return {};
    return error::last(rc);
}

inline std::span<const std::byte> as_bytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

// A name goes to the C API as a zero-terminated string; one with a zero byte inside is
// refused as the Python module refuses it (the position counts the leading "/").
inline std::optional<error> checked_name(std::string_view name, std::string& out, const char* prefix) {
    if (auto pos = name.find('\0'); pos != std::string_view::npos) {
        const std::size_t at = pos + (name.front() == '/' ? 0 : 1);
        return error(KV_EINVAL,
                     std::string(prefix) + "CString error: nul byte found in provided data at position: " +
                         std::to_string(at));
    }
    out.assign(name);
    return std::nullopt;
}

// kv_*_open(&handle, name, ...) with the name as a C string: the C++ handle that adopts
// the new one, or the failure.
template <class Handle, class Native, class Open>
result<Handle> opened(std::string_view name, const char* prefix, Open open) {
    std::string n;
    if (auto e = checked_name(name, n, prefix))
        return std::move(*e);
    Native* native = nullptr;
    if (int rc = open(&native, n.c_str()); rc != KV_OK)
        return error::last(rc);
    return Handle(native);
}

// A call by name alone (kv_*_unlink).
inline result<void> by_name(std::string_view name, const char* prefix, int (*call)(const char*)) {
    std::string n;
    if (auto e = checked_name(name, n, prefix))
        return std::move(*e);
    return status(call(n.c_str()));
}

struct free_deleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

} // namespace detail

// A message taken from a queue, in memory of its own.
class message {
public:
    message(void* data, std::size_t size) noexcept : data_(static_cast<std::byte*>(data)), size_(size) {}

    [[nodiscard]] std::span<const std::byte> bytes() const noexcept { return {data_.get(), size_}; }
    [[nodiscard]] std::string_view str() const noexcept {
        return {reinterpret_cast<const char*>(data_.get()), size_};
    }
    [[nodiscard]] std::byte* data() noexcept { return data_.get(); }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

private:
    std::unique_ptr<std::byte, detail::free_deleter> data_;
    std::size_t size_;
};

// A message lent where it lies in the queue's shared memory (queue::view): readable until
// queue::commit takes it (or another consumer does), and never after its queue is gone.
class record_view {
public:
    explicit record_view(const kv_view& v) noexcept : v_(v) {}

    [[nodiscard]] std::span<const std::byte> bytes() const noexcept {
        return {static_cast<const std::byte*>(v_.data), v_.len};
    }
    [[nodiscard]] std::string_view str() const noexcept { return {static_cast<const char*>(v_.data), v_.len}; }
    [[nodiscard]] std::size_t size() const noexcept { return v_.len; }
    [[nodiscard]] std::uint64_t next_pos() const noexcept { return v_.next_pos; }
    [[nodiscard]] const kv_view& native() const noexcept { return v_; }

private:
    kv_view v_;
};

// numpy's type string for T (send_array): "<f8" for double on a little-endian machine.
template <class T>
constexpr const char* dtype_of() noexcept {
    constexpr bool little = std::endian::native == std::endian::little;
    if constexpr (std::is_same_v<T, bool>)
        return "|b1";
    else if constexpr (std::is_same_v<T, std::byte>)
        return "|u1";
    else if constexpr (std::is_same_v<T, std::complex<float>>)
        return little ? "<c8" : ">c8";
    else if constexpr (std::is_same_v<T, std::complex<double>>)
        return little ? "<c16" : ">c16";
    else if constexpr (std::is_floating_point_v<T>) {
        static_assert(sizeof(T) == 4 || sizeof(T) == 8 || sizeof(T) == 16, "a floating type numpy has");
        if constexpr (sizeof(T) == 4)
            return little ? "<f4" : ">f4";
        else if constexpr (sizeof(T) == 8)
            return little ? "<f8" : ">f8";
        else
            return little ? "<f16" : ">f16";
    } else {
        static_assert(std::is_integral_v<T>, "kv::dtype_of: an arithmetic type, std::byte or std::complex");
        constexpr bool s = std::is_signed_v<T>;
        if constexpr (sizeof(T) == 1)
            return s ? "|i1" : "|u1";
        else if constexpr (sizeof(T) == 2)
            return s ? (little ? "<i2" : ">i2") : (little ? "<u2" : ">u2");
        else if constexpr (sizeof(T) == 4)
            return s ? (little ? "<i4" : ">i4") : (little ? "<u4" : ">u4");
        else
            return s ? (little ? "<i8" : ">i8") : (little ? "<u8" : ">u8");
    }
}

// Writable bytes in a block of a queue (queue::loan), to fill in place and send with
// queue::send or queue::send_array; given back by the destructor unless sent.
class loan {
public:
    loan() noexcept : l_{} {}
    explicit loan(const kv_loan& l) noexcept : l_(l) {}
    loan(loan&& other) noexcept : l_(std::exchange(other.l_, kv_loan{})) {}
    loan& operator=(loan&& other) noexcept {
        if (this != &other) {
            kv_loan_drop(&l_);
            l_ = std::exchange(other.l_, kv_loan{});
        }
        return *this;
    }
    loan(const loan&) = delete;
    loan& operator=(const loan&) = delete;
    ~loan() { kv_loan_drop(&l_); }

    // False once sent or dropped.
    explicit operator bool() const noexcept { return l_.held_ != nullptr; }
    [[nodiscard]] std::size_t capacity() const noexcept { return l_.capacity; }
    [[nodiscard]] std::span<std::byte> bytes() const noexcept {
        return {static_cast<std::byte*>(l_.data), l_.capacity};
    }
    // The loan as capacity() / sizeof(T) items of T (its start is aligned to 4096 bytes).
    template <class T>
    [[nodiscard]] std::span<T> as() const noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        return {static_cast<T*>(l_.data), l_.capacity / sizeof(T)};
    }
    void drop() noexcept { kv_loan_drop(&l_); }
    [[nodiscard]] kv_loan& native() noexcept { return l_; }

private:
    kv_loan l_;
};

// A message taken whole (queue::receive): a large one where it lies in a block of shared
// memory, with no copy, a small one copied out of the ring (kind() == KV_KIND_RING). Held
// until the destructor (or release()); it may outlive the queue handle.
class block {
public:
    block() noexcept : b_{} {}
    explicit block(const kv_block& b) noexcept : b_(b) {}
    block(block&& other) noexcept : b_(std::exchange(other.b_, kv_block{})) {}
    block& operator=(block&& other) noexcept {
        if (this != &other) {
            kv_block_release(&b_);
            b_ = std::exchange(other.b_, kv_block{});
        }
        return *this;
    }
    block(const block&) = delete;
    block& operator=(const block&) = delete;
    ~block() { kv_block_release(&b_); }

    // KV_KIND_RING, KV_KIND_BYTES or KV_KIND_PICKLE (see kelvane.h).
    [[nodiscard]] int kind() const noexcept { return b_.kind; }
    // Part 0: the whole message but for a pickle, where it is the stream.
    [[nodiscard]] std::span<const std::byte> bytes() const noexcept { return part(0); }
    [[nodiscard]] std::size_t size() const noexcept { return b_.len; }
    [[nodiscard]] std::size_t part_count() const noexcept { return b_.nparts; }
    // Part i (an empty span past the last); a pickle's buffers are parts 1 on.
    [[nodiscard]] std::span<const std::byte> part(std::size_t i) const noexcept {
        if (i >= b_.nparts)
            return {};
        return {static_cast<const std::byte*>(b_.parts[i].data), b_.parts[i].len};
    }
    // Part i as items of T: a numpy array's bytes, say (part 1 of a pickle).
    template <class T>
    [[nodiscard]] std::span<const T> as(std::size_t i = 0) const noexcept {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto p = part(i);
        return {reinterpret_cast<const T*>(p.data()), p.size() / sizeof(T)};
    }
    // Gives it back now (a second call does nothing).
    void release() noexcept { kv_block_release(&b_); }
    [[nodiscard]] const kv_block& native() const noexcept { return b_; }

private:
    kv_block b_;
};

struct queue_stats {
    std::uint64_t bytes;    // between the read and write positions, 4 per message included
    std::uint64_t messages;
};

// A handle on one named queue (kv_queue_*). Move-only; closed by its destructor.
class queue {
public:
    // Opens `name`, or creates it with `capacity` bytes (rounded up to a whole MiB).
    static result<queue> open(std::string_view name, std::uint64_t capacity) {
        auto open = [&](kv_queue** q, const char* n) { return kv_queue_open(q, n, capacity); };
        return detail::opened<queue, kv_queue>(name, "Failed to create mirrored shm: ", open);
    }
    // Opens the existing queue `name` at its own capacity.
    static result<queue> attach(std::string_view name) {
        return detail::opened<queue, kv_queue>(name, "Failed to open mirrored shm: ", kv_queue_attach);
    }
    static result<void> unlink(std::string_view name) {
        return detail::by_name(name, "Unlink failed: ", kv_queue_unlink);
    }

    // Adopts a handle of kv_queue_open or kv_queue_attach (nullptr: none).
    explicit queue(kv_queue* q) noexcept : q_(q) {}
    queue(queue&& other) noexcept : q_(std::exchange(other.q_, nullptr)) {}
    queue& operator=(queue&& other) noexcept {
        if (this != &other)
            kv_queue_close(std::exchange(q_, std::exchange(other.q_, nullptr)));
        return *this;
    }
    queue(const queue&) = delete;
    queue& operator=(const queue&) = delete;
    ~queue() { kv_queue_close(q_); }

    [[nodiscard]] std::uint64_t capacity() const noexcept { return kv_queue_capacity(q_); }
    [[nodiscard]] kv_queue* native() const noexcept { return q_; }

    result<void> put(std::span<const std::byte> message, timeout t = forever) {
        return detail::status(kv_queue_put(q_, message.data(), message.size(), t.count()));
    }
    result<void> put(std::string_view message, timeout t = forever) { return put(detail::as_bytes(message), t); }
    // Never waits: KV_EAGAIN (no room), KV_EBUSY (the mutex was held) as errors.
    result<void> try_put(std::span<const std::byte> message) {
        return detail::status(kv_queue_try_put(q_, message.data(), message.size()));
    }
    result<void> try_put(std::string_view message) { return try_put(detail::as_bytes(message)); }

    // The oldest message, in memory of its own.
    result<kv::message> get(timeout t = forever) {
        void* data = nullptr;
        std::size_t size = 0;
        if (int rc = kv_queue_get_alloc(q_, &data, &size, t.count()); rc != KV_OK)
            return error::last(rc);
        return kv::message(data, size);
    }
    // The oldest message copied into `buffer`; its length. KV_EBUFSIZE: it is longer, and stays queued.
    result<std::size_t> get_into(std::span<std::byte> buffer, timeout t = forever) {
        std::size_t size = 0;
        if (int rc = kv_queue_get(q_, buffer.data(), buffer.size(), &size, t.count()); rc != KV_OK)
            return error::last(rc);
        return size;
    }
    result<std::size_t> try_get_into(std::span<std::byte> buffer) {
        std::size_t size = 0;
        if (int rc = kv_queue_try_get(q_, buffer.data(), buffer.size(), &size); rc != KV_OK)
            return error::last(rc);
        return size;
    }

    // Zero-copy receive: the oldest message where it lies, still queued until commit.
    result<record_view> view(timeout t = forever) {
        kv_view v{};
        if (int rc = kv_queue_view(q_, &v, t.count()); rc != KV_OK)
            return error::last(rc);
        return record_view(v);
    }
    result<record_view> try_view() {
        kv_view v{};
        if (int rc = kv_queue_try_view(q_, &v); rc != KV_OK)
            return error::last(rc);
        return record_view(v);
    }
    result<void> commit(const record_view& v) { return detail::status(kv_queue_commit(q_, &v.native())); }

    // Large messages (see kelvane.h): `size` bytes to fill in a block of this queue.
    result<kv::loan> loan(std::size_t size, timeout t = forever) {
        kv_loan l{};
        if (int rc = kv_queue_loan(q_, &l, size, t.count()); rc != KV_OK)
            return error::last(rc);
        return kv::loan(l);
    }
    // Sends the first `len` bytes of a loan of this handle; it is empty afterwards. On an
    // error (a timeout, say) it is still the caller's.
    result<void> send(kv::loan& l, std::size_t len, timeout t = forever) {
        return detail::status(kv_loan_send(q_, &l.native(), len, t.count()));
    }
    result<void> send(kv::loan& l, timeout t = forever) { return send(l, l.capacity(), t); }
    // Sends a loan as a C-ordered numpy array of `dtype` and `shape`: Python's kelvane.Queue
    // gets a numpy.ndarray that is a view of the block.
    result<void> send_array(kv::loan& l, const char* dtype, std::span<const std::size_t> shape, timeout t = forever) {
        return detail::status(kv_loan_send_array(q_, &l.native(), dtype, shape.data(), static_cast<int>(shape.size()),
                                                 t.count()));
    }
    template <class T>
    result<void> send_array(kv::loan& l, std::span<const std::size_t> shape, timeout t = forever) {
        return send_array(l, dtype_of<T>(), shape, t);
    }
    template <class T>
    result<void> send_array(kv::loan& l, std::initializer_list<std::size_t> shape, timeout t = forever) {
        return send_array(l, dtype_of<T>(), std::span(shape.begin(), shape.size()), t);
    }
    // Copies a message into a block and sends it: for one that need not fit the ring.
    result<void> put_block(std::span<const std::byte> message, timeout t = forever) {
        return detail::status(kv_queue_put_block(q_, message.data(), message.size(), t.count()));
    }
    // The oldest message, whole: a block message in place, a ring message copied.
    result<kv::block> receive(timeout t = forever) {
        kv_block b{};
        if (int rc = kv_queue_receive(q_, &b, t.count()); rc != KV_OK)
            return error::last(rc);
        return kv::block(b);
    }
    result<kv::block> try_receive() {
        kv_block b{};
        if (int rc = kv_queue_try_receive(q_, &b); rc != KV_OK)
            return error::last(rc);
        return kv::block(b);
    }

    result<queue_stats> stats() {
        queue_stats s{};
        if (int rc = kv_queue_stats(q_, &s.bytes, &s.messages); rc != KV_OK)
            return error::last(rc);
        return s;
    }

private:
    kv_queue* q_;
};

// A lock held by the calling thread, released by the destructor (or by unlock()), which
// must run on that thread. recovered(): it was taken over from a holder that died; what
// it guards may be half done.
class held {
public:
    held(held&& other) noexcept
        : l_(std::exchange(other.l_, nullptr)), recovered_(other.recovered_) {}
    held& operator=(held&& other) noexcept {
        if (this != &other) {
            (void)unlock();
            l_ = std::exchange(other.l_, nullptr);
            recovered_ = other.recovered_;
        }
        return *this;
    }
    held(const held&) = delete;
    held& operator=(const held&) = delete;
    ~held() { (void)unlock(); }

    [[nodiscard]] bool recovered() const noexcept { return recovered_; }
    // Releases now (a second call does nothing). From a thread other than the one that
    // acquired it: KV_EPERM, and it stays held.
    result<void> unlock() {
        if (l_ == nullptr)
            return {};
        const int rc = kv_lock_release(l_);
        if (rc == KV_OK)
            l_ = nullptr;
        return detail::status(rc);
    }

private:
    friend class lock;
    held(kv_lock* l, bool recovered) noexcept : l_(l), recovered_(recovered) {}
    kv_lock* l_;
    bool recovered_;
};

// A handle on one named lock (kv_lock_*). Move-only; closed by its destructor, which does
// not release a lock that is held (a kv::held does).
class lock {
public:
    static result<lock> open(std::string_view name) {
        return detail::opened<lock, kv_lock>(name, "Failed to create shm: ", kv_lock_open);
    }
    static result<void> unlink(std::string_view name) {
        return detail::by_name(name, "Unlink failed: ", kv_lock_unlink);
    }

    // Adopts a handle of kv_lock_open (nullptr: none).
    explicit lock(kv_lock* l) noexcept : l_(l) {}
    lock(lock&& other) noexcept : l_(std::exchange(other.l_, nullptr)) {}
    lock& operator=(lock&& other) noexcept {
        if (this != &other)
            kv_lock_close(std::exchange(l_, std::exchange(other.l_, nullptr)));
        return *this;
    }
    lock(const lock&) = delete;
    lock& operator=(const lock&) = delete;
    ~lock() { kv_lock_close(l_); }

    [[nodiscard]] kv_lock* native() const noexcept { return l_; }

    // Holds the lock until the kv::held goes; it must not outlive this handle.
    result<held> acquire(timeout t = forever) { return holding(kv_lock_acquire(l_, t.count())); }
    result<held> try_acquire() { return holding(kv_lock_try_acquire(l_)); }

private:
    result<held> holding(int rc) {
        if (rc < 0)
            return error::last(rc);
        return held(l_, rc == KV_RECOVERED);
    }
    kv_lock* l_;
};

} // namespace kv

#endif // KELVANE_HPP
