// kv_queue_*: the C API of the byte queue, one core call each (core/queue.hpp).
//
// A call with a timeout of 0 waits for nothing but a mutex held for one copy (up to the
// core's busy_mutex_bound), as the Python binding's zero-timeout calls do; the tries
// never wait at all.

#include "capi.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <span>
#include <unistd.h>

namespace kel::capi {

namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
// The ring and its mirror must fit the address space: anything larger fails there anyway.
constexpr std::uint64_t kMaxCapacity = std::uint64_t{1} << 46;

// A failure to open or create a queue, worded as the Python binding words it.
int open_failure(const QueueOpenError& error, const char* name) {
    switch (error.kind) {
    case QueueOpenError::Kind::NeverInitialised:
        return fail(KV_EUNINIT, "Failed to open mirrored shm: " + error.display() + "; kv_queue_unlink(\"" +
                                    name + "\") removes it");
    case QueueOpenError::Kind::Open:
        if (error.segment.kind == SegmentError::Kind::SizeMismatch)
            return fail(KV_ECAPACITY, "Failed to open mirrored shm: " + error.display() +
                                          "; every process must pass the creator's capacity");
        return fail(segment_code(error.segment), "Failed to open mirrored shm: " + error.display());
    case QueueOpenError::Kind::CapacityMismatch:
        return fail(KV_ECAPACITY, "Failed to open mirrored shm: " + error.display());
    case QueueOpenError::Kind::Create:
        return fail(segment_code(error.segment), "Failed to create mirrored shm: " + error.display());
    case QueueOpenError::Kind::Init:
        return fail(KV_ESYSTEM, "Failed init buffer: " + error.display());
    }
    return fail_static(KV_EINTERNAL, "kelvane: unknown queue open error");
}

int opened(kv_queue** out, Result<QueueSegment, QueueOpenError>&& result, const char* name) {
    if (!result.ok())
        return open_failure(result.error(), name);
    auto handle = std::make_unique<kv_queue>(std::move(result.value()), InUseMark(name), name);
    *out = handle.release(); // kv_queue_close takes it back
    return KV_OK;
}

} // namespace

int queue_failure(const char* prefix, const QueueError& error) {
    // A message too long for the length field blames the argument alone, as in Python.
    if (error.bad_argument())
        return fail(KV_EMSGSIZE, error.display());
    return fail(queue_code(error), prefix + error.display());
}

bool wait_of(std::int64_t timeout_ns, const RingQueue& ring, Wait& wait) noexcept {
    if (timeout_ns == 0) {
        wait = {Clock::now() + busy_mutex_bound(ring.capacity()), WaitFor::Mutex};
        return true;
    }
    wait.what = WaitFor::Anything;
    return deadline_of(timeout_ns, wait.until);
}

int bad_timeout(const char* fname) {
    return fail(KV_EINVAL, std::string(fname) + ": the timeout must be KV_FOREVER (-1) or at least 0 nanoseconds");
}

int null_argument(const char* fname) { return fail(KV_EINVAL, std::string(fname) + ": a required pointer is NULL"); }

// A receive that ended without a message: the queue was empty (WouldBlock) or its mutex
// held (Busy), at that instant for a try (kNoWait), else until the deadline.
int nothing_taken(Attempt outcome, Deadline until) {
    const bool empty = outcome == Attempt::WouldBlock;
    if (until == kNoWait)
        return empty ? fail_static(KV_EAGAIN, "the queue is empty")
                     : fail_static(KV_EBUSY, "another thread held the queue's mutex");
    return empty ? fail_static(KV_ETIMEDOUT, "no message came before the timeout")
                 : fail_static(KV_ETIMEDOUT, "the queue's mutex stayed held until the timeout");
}

int put_one(kv_queue* q, const Piece& piece, const Wait& wait) {
    RingQueue& ring = q->queue.ring;
    auto attempt = ring.put(std::span(&piece, 1), wait.until, wait.what, Clock::now());
    if (attempt.ok() && attempt.value() == Attempt::Done)
        return KV_OK;
    // A producer that claimed room and gave up lets the others go on at once.
    ring.withdraw_claim(Clock::now() + std::chrono::milliseconds(20));
    if (!attempt.ok())
        return queue_failure("Queue put error: ", attempt.error());
    if (attempt.value() == Attempt::Busy)
        return fail_static(KV_ETIMEDOUT, "the queue's mutex stayed held until the timeout");
    return fail_static(KV_ETIMEDOUT, "no room for the message came before the timeout");
}

namespace {

// The id of the arena the queue `name` names in its header (0: none, or no such queue),
// read without mapping it.
std::uint64_t arena_named_by(const char* name) {
    const std::string path = "/dev/shm" + segment_os_name(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::uint64_t id = 0;
    const bool read = ::pread(fd, &id, sizeof id, kArenaIdOffset) == static_cast<ssize_t>(sizeof id);
    ::close(fd);
    return read ? id : 0;
}


// Where a record is copied to: the caller's buffer, or memory of its own. A block message
// is copied there once its block is held: the ring's record, its reference, goes to `ref`.
struct Into {
    std::uint8_t* buf;
    std::size_t cap;
    bool allocate;
    std::uint64_t length = 0;
    void* allocated = nullptr;
    Taking taking{};
    bool refused = false;         // a block of several parts
    std::uint8_t* dest = nullptr; // where a block message's bytes go
    std::uint8_t ref[kBlockRefSize]{};

    Into(std::uint8_t* buffer, std::size_t capacity, bool allocating) : buf(buffer), cap(capacity), allocate(allocating) {}

    std::uint8_t* place(std::uint64_t n) {
        length = n;
        if (allocate) {
            allocated = std::malloc(n > 0 ? n : 1);
            return static_cast<std::uint8_t*>(allocated);
        }
        if (n > cap)
            return nullptr;
        static std::uint8_t nowhere; // a record of 0 bytes needs somewhere that is not null
        return buf != nullptr ? buf : &nowhere;
    }

    static std::uint8_t* sink(void* context, std::uint32_t length) {
        auto* into = static_cast<Into*>(context);
        switch (into->taking.is) {
        case Taking::Is::Bytes:
            break;
        case Taking::Is::Unreadable:
            return into->ref; // taken, and reported
        case Taking::Is::Block:
            if (into->taking.parts != 1) {
                into->refused = true;
                return nullptr;
            }
            into->dest = into->place(into->taking.content);
            return into->dest != nullptr ? into->ref : nullptr;
        }
        return into->place(length);
    }
};

int take(kv_queue* q, Into& into, std::size_t* len, Deadline until, WaitFor what) {
    std::size_t taken = 0;
    Result<Attempt, QueueError> attempt = Attempt::WouldBlock;
    {
        TakingNow now(into.taking);
        attempt = q->queue.ring.get_many(Into::sink, &into, 1, taken, until, what);
    }
    if (!attempt.ok())
        return queue_failure("Queue get error: ", attempt.error());
    switch (attempt.value()) {
    case Attempt::Done:
        *len = static_cast<std::size_t>(into.length);
        if (into.taking.is == Taking::Is::Unreadable)
            return unreadable(into.taking);
        if (into.taking.is == Taking::Is::Block)
            return deliver_copy(into.taking, into.dest);
        return KV_OK;
    case Attempt::SinkFailed:
        *len = static_cast<std::size_t>(into.length);
        if (into.refused)
            return fail(KV_EPARTS, "Queue get error: the oldest message is a block of " +
                                       std::to_string(into.taking.parts) +
                                       " parts (a pickle with out-of-band buffers); it stays queued: "
                                       "kv_queue_receive takes it");
        if (into.allocate)
            return fail(KV_ENOMEM, "Queue get error: no memory for a message of " + std::to_string(into.length) +
                                       " bytes; it stays queued");
        return fail(KV_EBUFSIZE, "Queue get error: a message of " + std::to_string(into.length) +
                                     " bytes does not fit a buffer of " + std::to_string(into.cap) +
                                     " bytes; it stays queued");
    case Attempt::WouldBlock:
    case Attempt::Busy:
        break;
    }
    return nothing_taken(attempt.value(), until);
}

int timed_get(kv_queue* q, Into& into, std::size_t* len, std::int64_t timeout_ns, const char* fname) {
    Wait wait;
    if (!wait_of(timeout_ns, q->queue.ring, wait))
        return bad_timeout(fname);
    return take(q, into, len, wait.until, wait.what);
}

int lend(kv_queue* q, kv_view* view, Deadline until, WaitFor what) {
    for (;;) {
        RecordView record{};
        auto attempt = q->queue.ring.peek(record, until, what);
        if (!attempt.ok())
            return queue_failure("Queue get_view error: ", attempt.error());
        switch (attempt.value()) {
        case Attempt::Done: {
            *view = kv_view{record.payload, record.length, record.next_pos()};
            const int rc = view_block(q, record, view, until);
            if (rc == 1)
                continue; // its block was taken by another consumer meanwhile: the next one
            return rc;
        }
        case Attempt::WouldBlock:
        case Attempt::Busy:
        case Attempt::SinkFailed:
            break;
        }
        return nothing_taken(attempt.value(), until);
    }
}

} // namespace

} // namespace kel::capi

using namespace kel;
using namespace kel::capi;

extern "C" {

int kv_queue_open(kv_queue** out, const char* name, uint64_t capacity) {
    if (out != nullptr)
        *out = nullptr;
    return guarded([&]() -> int {
        if (out == nullptr || name == nullptr)
            return null_argument("kv_queue_open");
        if (capacity == 0 || capacity > kMaxCapacity)
            return fail(KV_EINVAL, "kv_queue_open: the capacity must be from 1 byte to " +
                                       std::to_string(kMaxCapacity) + " bytes (kv_queue_attach opens a queue at "
                                       "whatever capacity it has)");
        if (int rc = refuse_unless(name, "queue"); rc != KV_OK)
            return rc;
        const std::uint64_t data_size = (capacity + kMiB - 1) / kMiB * kMiB;
        return opened(out, open_or_create_queue(name, data_size), name);
    });
}

int kv_queue_attach(kv_queue** out, const char* name) {
    if (out != nullptr)
        *out = nullptr;
    return guarded([&]() -> int {
        if (out == nullptr || name == nullptr)
            return null_argument("kv_queue_attach");
        if (int rc = refuse_unless(name, "queue"); rc != KV_OK)
            return rc;
        return opened(out, attach_queue(name), name);
    });
}

void kv_queue_close(kv_queue* q) { std::unique_ptr<kv_queue> owned(q); }

int kv_queue_unlink(const char* name) {
    return guarded([&]() -> int {
        if (name == nullptr)
            return null_argument("kv_queue_unlink");
        if (int rc = refuse_unless(name, "queue"); rc != KV_OK)
            return rc;
        const std::uint64_t arena = arena_named_by(name);
        if (auto st = unlink_segment(name); !st.ok())
            return fail(segment_code(st.error()), "Unlink failed: " + st.error().display());
        if (arena != 0)
            (void)unlink_arena(arena); // gone already, perhaps: nothing to say
        return KV_OK;
    });
}

uint64_t kv_queue_capacity(const kv_queue* q) { return q != nullptr ? q->queue.ring.capacity() : 0; }

int kv_queue_put(kv_queue* q, const void* data, size_t len, int64_t timeout_ns) {
    return guarded([&]() -> int {
        if (q == nullptr || (data == nullptr && len > 0))
            return null_argument("kv_queue_put");
        Wait wait;
        if (!wait_of(timeout_ns, q->queue.ring, wait))
            return bad_timeout("kv_queue_put");
        return put_one(q, Piece{data, len}, wait);
    });
}

int kv_queue_try_put(kv_queue* q, const void* data, size_t len) {
    return guarded([&]() -> int {
        if (q == nullptr || (data == nullptr && len > 0))
            return null_argument("kv_queue_try_put");
        auto attempt = q->queue.ring.try_put(data, len);
        if (!attempt.ok())
            return queue_failure("Queue put error: ", attempt.error());
        switch (attempt.value()) {
        case Attempt::Done:
            return KV_OK;
        case Attempt::WouldBlock:
            return fail_static(KV_EAGAIN, "no room for the message right now");
        case Attempt::Busy:
        case Attempt::SinkFailed:
            break;
        }
        return fail_static(KV_EBUSY, "another thread held the queue's mutex");
    });
}

int kv_queue_get(kv_queue* q, void* buf, size_t cap, size_t* len, int64_t timeout_ns) {
    return guarded([&]() -> int {
        if (q == nullptr || len == nullptr || (buf == nullptr && cap > 0))
            return null_argument("kv_queue_get");
        Into into{static_cast<std::uint8_t*>(buf), cap, false};
        return timed_get(q, into, len, timeout_ns, "kv_queue_get");
    });
}

int kv_queue_try_get(kv_queue* q, void* buf, size_t cap, size_t* len) {
    return guarded([&]() -> int {
        if (q == nullptr || len == nullptr || (buf == nullptr && cap > 0))
            return null_argument("kv_queue_try_get");
        Into into{static_cast<std::uint8_t*>(buf), cap, false};
        return take(q, into, len, kNoWait, WaitFor::Mutex);
    });
}

int kv_queue_get_alloc(kv_queue* q, void** data, size_t* len, int64_t timeout_ns) {
    if (data != nullptr)
        *data = nullptr;
    return guarded([&]() -> int {
        if (q == nullptr || data == nullptr || len == nullptr)
            return null_argument("kv_queue_get_alloc");
        Into into{nullptr, 0, true};
        const int rc = timed_get(q, into, len, timeout_ns, "kv_queue_get_alloc");
        if (rc == KV_OK)
            *data = into.allocated;
        else
            std::free(into.allocated); // a sink that ran for a record that was not taken
        return rc;
    });
}

int kv_queue_view(kv_queue* q, kv_view* view, int64_t timeout_ns) {
    return guarded([&]() -> int {
        if (q == nullptr || view == nullptr)
            return null_argument("kv_queue_view");
        Wait wait;
        if (!wait_of(timeout_ns, q->queue.ring, wait))
            return bad_timeout("kv_queue_view");
        return lend(q, view, wait.until, wait.what);
    });
}

int kv_queue_try_view(kv_queue* q, kv_view* view) {
    return guarded([&]() -> int {
        if (q == nullptr || view == nullptr)
            return null_argument("kv_queue_try_view");
        return lend(q, view, kNoWait, WaitFor::Mutex);
    });
}

int kv_queue_commit(kv_queue* q, const kv_view* view) {
    return guarded([&]() -> int {
        if (q == nullptr || view == nullptr)
            return null_argument("kv_queue_commit");
        auto attempt = q->queue.ring.commit(view->next_pos, kForever);
        if (!attempt.ok())
            return queue_failure("Queue commit_read error: ", attempt.error());
        commit_block(q, view);
        return KV_OK;
    });
}

int kv_queue_stats(kv_queue* q, uint64_t* bytes, uint64_t* messages) {
    return guarded([&]() -> int {
        if (q == nullptr)
            return null_argument("kv_queue_stats");
        Fill fill{};
        auto attempt = q->queue.ring.fill(fill, kForever);
        if (!attempt.ok())
            return queue_failure("Queue stats error: ", attempt.error());
        if (bytes != nullptr)
            *bytes = fill.bytes;
        if (messages != nullptr)
            *messages = fill.messages;
        return KV_OK;
    });
}

} // extern "C"
