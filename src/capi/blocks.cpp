// Large messages from C: loans and sends into the queue's block arena, receives that hold
// a block until its release, and the hooks that keep a C handle's puts and gets in step
// with the arena (core/blocks.hpp), exactly as Python's handles do.
//
// A C handle's hooks run under the queue mutex, on the thread of the call that puts or
// takes: a taking call leaves a Taking where they find it (taking_now), and learns from it
// what the record was. Everything else here runs without the queue mutex.

#include "capi.hpp"

#include <cerrno>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <initializer_list>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

// A loan: the block this process writes, until it is sent or dropped.
struct kv_loan_held {
    kv_queue* queue;
    std::shared_ptr<kel::BlockArena> arena;
    kel::Lease lease;
    std::uint64_t size;
    std::uint32_t pid; // the process that took it: a forked child's copy is not its own
};

// A received message: a block this process holds, or a ring message's copy.
struct kv_block_held {
    std::shared_ptr<kel::BlockArena> arena; // null for a copy
    std::uint32_t slot = 0;
    std::uint64_t generation = 0;
    std::uint32_t pid = 0;
    std::vector<kv_part> parts;
    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<void, Free> copy;
};

namespace kel::capi {

namespace {

thread_local Taking* taking_now = nullptr;

std::uint32_t my_pid() { return static_cast<std::uint32_t>(::getpid()); }

std::uint64_t load(const std::uint64_t& f) { return std::atomic_ref<const std::uint64_t>(f).load(); }

// A record that is a block's reference: a kelvane.Queue record of exactly one reference,
// of the queue's arena, whose check holds. Anything else is bytes to a C program.
bool is_reference(const std::uint8_t* payload, std::uint64_t length, std::uint64_t arena_id, BlockRef& ref) {
    if (length != kBlockRefSize || arena_id == 0 || !ends_in_ref(payload, length, arena_id))
        return false;
    ref = read_ref(payload, length);
    return ref.check == ref_check(ref);
}

} // namespace

TakingNow::TakingNow(Taking& t) noexcept { taking_now = &t; }
TakingNow::~TakingNow() { taking_now = nullptr; }

// ---------------------------------------------------------------------------
// The hooks

RecordHooks::Outcome CapiHooks::published(std::span<const Piece> batch, std::uint64_t first_pos,
                                          Deadline until) noexcept {
    // The ledger publishes only through the arena it has: a loan's arena is opened by this
    // process already, and opening it here costs a look in the process's registry.
    const std::uint64_t id = queue_arena_id(*queue_);
    for (const Piece& piece : batch) {
        if (id != 0 && ends_in_ref(static_cast<const std::uint8_t*>(piece.bytes), piece.length, id)) {
            try {
                (void)ledger_.arena();
            } catch (...) {
                // no memory to open it: the record is stored as it is
            }
            break;
        }
    }
    return ledger_.published(batch, first_pos, until);
}

RecordHooks::Outcome CapiHooks::taking(const RecordView& record, Deadline until) noexcept {
    Taking* t = taking_now;
    if (t != nullptr)
        t->is = Taking::Is::Bytes;
    // A pool message ends in a reference after its own header: bytes to a C program, its
    // block left queued for the reclaim to free.
    if (record.length != kBlockRefSize)
        return Outcome::Done;
    if (ledger_.taking(record, until) == Outcome::Busy)
        return Outcome::Busy;
    if (t == nullptr || !is_reference(record.payload, record.length, queue_arena_id(*queue_), t->ref))
        return Outcome::Done;
    t->is = Taking::Is::Block;
    if (t->whole)
        return Outcome::Done; // inspected once held
    // A copying get must know before it takes whether the message is one part, and how long.
    try {
        std::shared_ptr<BlockArena> arena = ledger_.arena(); // locked by the ledger when it is there
        if (!arena || arena->id() != t->ref.arena_id) {
            t->is = Taking::Is::Unreadable;
            t->why = "its block memory cannot be opened (every process that had it open has exited?)";
            return Outcome::Done;
        }
        auto message = arena->queued_message_locked(t->ref, record.pos);
        if (!message.ok()) {
            t->is = Taking::Is::Unreadable;
            t->why = std::move(message.error());
            return Outcome::Done;
        }
        t->parts = static_cast<std::uint32_t>(message.value().parts.size());
        t->content = message.value().parts[0].length;
    } catch (...) {
        t->is = Taking::Is::Unreadable;
        t->why.clear();
    }
    return Outcome::Done;
}

void CapiHooks::taken(const RecordView& record) noexcept {
    if (record.length == kBlockRefSize)
        ledger_.taken(record);
}

// ---------------------------------------------------------------------------
// The arena

std::shared_ptr<BlockArena> queue_arena(kv_queue* q) {
    const std::uint64_t id = queue_arena_id(*q->queue.ring.header());
    std::lock_guard held(q->arena_mutex);
    if (q->arena && q->arena->id() == id && q->arena->usable())
        return q->arena;
    if (id == 0)
        return nullptr;
    auto opened = BlockArena::open(id);
    if (!opened.ok())
        return nullptr;
    q->arena = std::move(opened.value());
    return q->arena;
}

namespace {

// As kelvane.Queue: 64 times the ring's capacity, in /dev/shm while it has room for all of
// it, else in a memfd; KELVANE_BLOCKS=shm or =memfd decides for good.
constexpr std::uint64_t kSpacePerCapacity = 64;

bool use_memfd(std::uint64_t space) {
    if (const char* setting = std::getenv("KELVANE_BLOCKS")) {
        std::string word;
        for (const char* c = setting; *c != '\0'; ++c)
            if (!std::isspace(static_cast<unsigned char>(*c)))
                word += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        if (word == "shm" || word == "memfd")
            return word == "memfd";
    }
    struct statvfs st {};
    if (::statvfs("/dev/shm", &st) != 0)
        return true;
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize < space;
}

int arena_failure(const char* fname, const ArenaError& e) {
    const bool full = e.kind == ArenaError::Kind::NoSpace ||
                      (e.kind == ArenaError::Kind::Segment && e.segment.is_errno(ENOSPC));
    const int code = full ? KV_ENOSPC : e.kind == ArenaError::Kind::Segment ? segment_code(e.segment) : KV_ESYSTEM;
    return fail(code == KV_ENOENT ? KV_ESYSTEM : code, std::string(fname) + ": Block arena error: " + e.display());
}

// The queue's arena, made now if it has none.
int ensure_arena(kv_queue* q, const char* fname, std::shared_ptr<BlockArena>& out) {
    if ((out = queue_arena(q)))
        return KV_OK;
    QueueHeader& h = *q->queue.ring.header();
    const std::uint64_t space = kSpacePerCapacity * q->queue.ring.capacity();
    std::lock_guard held(q->arena_mutex);
    auto made = ensure_queue_arena(h, q->name, use_memfd(space) ? SpaceKind::Memfd : SpaceKind::Shm, space);
    if (!made.ok())
        return arena_failure(fname, made.error());
    q->arena = made.value().arena;
    out = q->arena;
    return KV_OK;
}

// Takes a block of `length` bytes for a loan, waiting as `wait` says.
int acquire_block(kv_queue* q, BlockArena& arena, std::uint64_t length, const Wait& wait, Lease& lease,
                  const char* fname) {
    const QueueHeader& h = *q->queue.ring.header();
    for (;;) {
        auto got = arena.acquire(length, h, wait.until, lease);
        if (!got.ok())
            return arena_failure(fname, got.error());
        switch (got.value()) {
        case AcquireOutcome::Acquired:
            return KV_OK;
        case AcquireOutcome::Busy:
            return fail_static(KV_ETIMEDOUT, "the block arena's mutex stayed held until the timeout");
        case AcquireOutcome::Wait:
        case AcquireOutcome::Fallback: // every block that fits is held: one comes back when its holder lets go
            if (wait.what == WaitFor::Mutex || Clock::now() >= wait.until)
                return fail_static(KV_ETIMEDOUT, "no free block came before the timeout");
            arena.wait_freed(wait.until);
            break;
        }
    }
}

int lend_block(kv_queue* q, kv_loan* loan, std::uint64_t size, const Wait& wait, const char* fname) {
    if (size > (std::uint64_t{1} << 62))
        return fail(KV_EMSGSIZE, std::string(fname) + ": a loan of " + std::to_string(size) + " bytes never fits");
    auto held = std::make_unique<kv_loan_held>();
    int rc = ensure_arena(q, fname, held->arena);
    if (rc != KV_OK)
        return rc;
    if (!held->arena->can_hold(kLoanData + size))
        return fail(KV_EMSGSIZE, std::string(fname) + ": a message of " + std::to_string(size) +
                                     " bytes never fits the queue's block memory (" +
                                     std::to_string(held->arena->space_size()) + " bytes, 64 times its capacity)");
    if ((rc = acquire_block(q, *held->arena, kLoanData + size, wait, held->lease, fname)) != KV_OK)
        return rc;
    held->queue = q;
    held->size = size;
    held->pid = my_pid();
    *loan = kv_loan{held->lease.address + kLoanData, static_cast<std::size_t>(size), held.release()};
    return KV_OK;
}

// Puts the reference that sends a loan's block, whose parts are in place; the loan is
// the receiver's once it is stored.
int send_loan(kv_queue* q, kv_loan* loan, BlockKind kind, std::span<const std::uint8_t> stream,
              std::uint64_t nbytes, const Wait& wait) {
    kv_loan_held& held = *loan->held_;
    std::uint8_t* block = held.lease.address;
    std::array<BlockPart, 2> parts{{{kLoanTable, stream.size()}, {kLoanData, nbytes}}};
    std::span<const BlockPart> table(parts);
    if (kind == BlockKind::Pickle)
        std::memcpy(block + kLoanTable, stream.data(), stream.size());
    else
        table = table.subspan(1);
    const std::uint64_t length = kLoanData + nbytes;
    write_block_header(block, held.lease.generation, length, kind, table);
    const BlockRef ref = block_ref(held.arena->id(), held.lease, kind, length);
    if (int rc = put_one(q, Piece{&ref, sizeof ref}, wait); rc != KV_OK)
        return rc; // still the caller's loan
    const std::unique_ptr<kv_loan_held> sent(loan->held_);
    *loan = kv_loan{};
    return KV_OK;
}

// The checks every send of a loan makes.
int sendable(kv_queue* q, const kv_loan* loan, std::uint64_t nbytes, const char* fname) {
    if (loan->held_ == nullptr)
        return fail(KV_EINVAL, std::string(fname) + ": not a loan (sent or dropped already?)");
    if (loan->held_->queue != q)
        return fail(KV_EINVAL, std::string(fname) + ": the loan was made by another queue handle");
    if (loan->held_->pid != my_pid())
        return fail_static(KV_EPERM, "the loan belongs to the parent of this forked process");
    if (nbytes > loan->held_->size)
        return fail(KV_EINVAL, std::string(fname) + ": " + std::to_string(nbytes) + " bytes do not fit a loan of " +
                                   std::to_string(loan->held_->size));
    return KV_OK;
}

// numpy's type strings for the arrays a C program sends: '<', '>', '|' or '=', a kind of
// b, i, u, f, c, and an item size numpy has for it.
bool dtype_itemsize(const char* dtype, std::uint64_t& itemsize) {
    const std::string_view d(dtype, ::strnlen(dtype, 8));
    if (d.size() < 3 || d.size() > 4 || std::string_view("<>|=").find(d[0]) == std::string_view::npos)
        return false;
    std::uint64_t n = 0;
    for (char c : d.substr(2)) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    auto one_of = [n](std::initializer_list<std::uint64_t> sizes) {
        return std::find(sizes.begin(), sizes.end(), n) != sizes.end();
    };
    const bool known = (d[1] == 'b' && n == 1) || ((d[1] == 'i' || d[1] == 'u') && one_of({1, 2, 4, 8})) ||
                       (d[1] == 'f' && one_of({2, 4, 8, 16})) || (d[1] == 'c' && one_of({8, 16, 32}));
    itemsize = n;
    return known;
}

// The pickle stream (protocol 5) of kelvane._blocks.array_of(<buffer 1>, dtype, shape):
// what Python's kelvane decodes to a numpy array that is a view of the block's part 1.
std::vector<std::uint8_t> array_stream(std::string_view dtype, std::span<const std::size_t> shape) {
    std::vector<std::uint8_t> out{0x80, 5};
    auto text = [&](std::string_view s) { // SHORT_BINUNICODE
        out.push_back(0x8c);
        out.push_back(static_cast<std::uint8_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    };
    text("kelvane._blocks");
    text("array_of");
    out.push_back(0x93); // STACK_GLOBAL
    out.push_back(0x97); // NEXT_BUFFER
    text(dtype);
    out.push_back('('); // MARK
    for (std::size_t n : shape) {
        out.push_back(0x8a); // LONG1, 8 bytes, little-endian two's complement
        out.push_back(8);
        for (int i = 0; i < 8; ++i)
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> (8 * i)));
    }
    out.push_back('t');  // TUPLE
    out.push_back(0x87); // TUPLE3
    out.push_back('R');  // REDUCE
    out.push_back('.');  // STOP
    return out;
}

// What receive's sink does: a block's reference goes to `ref`, a ring message to a copy.
struct Whole {
    Taking taking{};
    kv_block_held* held = nullptr;
    std::uint64_t length = 0;
    std::uint8_t ref[kBlockRefSize]{};

    static std::uint8_t* sink(void* context, std::uint32_t length) {
        auto* w = static_cast<Whole*>(context);
        if (w->taking.is != Taking::Is::Bytes)
            return w->ref;
        w->length = length;
        w->held->copy.reset(std::malloc(length > 0 ? length : 1));
        return static_cast<std::uint8_t*>(w->held->copy.get());
    }
};

// Gives a held block back unless kept.
struct HoldGuard {
    const std::shared_ptr<BlockArena>& arena;
    const BlockRef& ref;
    bool kept = false;
    ~HoldGuard() {
        if (!kept && arena)
            (void)arena->release(ref.slot, ref.generation, kForever);
    }
};

int receive(kv_queue* q, kv_block* out, Deadline until, WaitFor what) {
    auto held = std::make_unique<kv_block_held>();
    held->parts.reserve(1); // taken, a ring message needs no more memory
    Whole w;
    w.taking.whole = true;
    w.held = held.get();
    std::size_t taken = 0;
    Result<Attempt, QueueError> attempt = Attempt::WouldBlock;
    {
        TakingNow now(w.taking);
        attempt = q->queue.ring.get_many(Whole::sink, &w, 1, taken, until, what);
    }
    if (!attempt.ok())
        return queue_failure("Queue get error: ", attempt.error());
    switch (attempt.value()) {
    case Attempt::Done:
        break;
    case Attempt::SinkFailed:
        return fail(KV_ENOMEM, "Queue get error: no memory for a message of " + std::to_string(w.length) +
                                   " bytes; it stays queued");
    case Attempt::WouldBlock:
    case Attempt::Busy:
        return nothing_taken(attempt.value(), until);
    }
    held->pid = my_pid();
    if (w.taking.is == Taking::Is::Bytes) {
        held->parts.push_back(kv_part{held->copy.get(), static_cast<std::size_t>(w.length)});
        *out = kv_block{held->copy.get(), static_cast<std::size_t>(w.length), KV_KIND_RING, 1, held->parts.data(), nullptr};
        out->held_ = held.release();
        return KV_OK;
    }
    const BlockRef& ref = w.taking.ref;
    auto opened = BlockArena::open(ref.arena_id);
    if (!opened.ok())
        return fail(KV_EDECODE, "Queue get error: the block message cannot be read: its block memory cannot be opened: " +
                                    opened.error().display());
    held->arena = std::move(opened.value());
    HoldGuard guard{held->arena, ref};
    auto message = held->arena->held_message(ref);
    if (!message.ok())
        return fail(KV_EDECODE, "Queue get error: the block message cannot be read: " + message.error());
    const BlockArena::Message& m = message.value();
    held->parts.reserve(m.parts.size());
    for (const BlockPart& p : m.parts)
        held->parts.push_back(kv_part{m.block + p.offset, static_cast<std::size_t>(p.length)});
    held->slot = ref.slot;
    held->generation = ref.generation;
    guard.kept = true;
    *out = kv_block{held->parts[0].data, held->parts[0].len, static_cast<int>(m.kind), held->parts.size(),
                    held->parts.data(), held.release()};
    return KV_OK;
}

} // namespace

int deliver_copy(const Taking& t, std::uint8_t* dest) {
    auto opened = BlockArena::open(t.ref.arena_id);
    if (!opened.ok())
        return fail(KV_EDECODE, "Queue get error: the block message cannot be read: its block memory cannot be opened: " +
                                    opened.error().display());
    const std::shared_ptr<BlockArena> arena = std::move(opened.value());
    HoldGuard guard{arena, t.ref};
    auto message = arena->held_message(t.ref);
    if (!message.ok())
        return fail(KV_EDECODE, "Queue get error: the block message cannot be read: " + message.error());
    const BlockArena::Message& m = message.value();
    if (m.parts.size() != 1 || m.parts[0].length != t.content)
        return fail_static(KV_EDECODE, "Queue get error: the block message changed while it was taken");
    std::memcpy(dest, m.block + m.parts[0].offset, m.parts[0].length);
    return KV_OK;
}

int unreadable(const Taking& t) {
    // Taken, perhaps held by this process already: it goes back, whatever it holds.
    if (auto opened = BlockArena::open(t.ref.arena_id); opened.ok())
        (void)opened.value()->release(t.ref.slot, t.ref.generation, kForever);
    return fail(KV_EDECODE, "Queue get error: the block message cannot be read" + (t.why.empty() ? "" : ": " + t.why));
}

int view_block(kv_queue* q, const RecordView& record, kv_view* view, Deadline until) {
    const QueueHeader& h = *q->queue.ring.header();
    BlockRef ref;
    if (!is_reference(record.payload, record.length, queue_arena_id(h), ref))
        return KV_OK;
    *view = kv_view{};
    std::shared_ptr<BlockArena> arena = queue_arena(q);
    if (!arena || arena->id() != ref.arena_id)
        return fail_static(KV_EDECODE, "Queue get_view error: the block message cannot be read: its block memory "
                                       "cannot be opened; it stays queued (a get takes it)");
    if (!arena->lock(until))
        return until == kNoWait ? fail_static(KV_EBUSY, "another thread held the block arena's mutex")
                                : fail_static(KV_ETIMEDOUT, "the block arena's mutex stayed held until the timeout");
    auto message = arena->queued_message_locked(ref, record.pos);
    arena->unlock();
    if (!message.ok()) {
        if (load(h.read_pos) > record.pos)
            return 1; // taken by another consumer after the peek
        return fail(KV_EDECODE, "Queue get_view error: the block message cannot be read: " + message.error() +
                                    "; it stays queued (a get takes it)");
    }
    const BlockArena::Message& m = message.value();
    if (m.parts.size() != 1)
        return fail(KV_EPARTS, "Queue get_view error: the oldest message is a block of " +
                                   std::to_string(m.parts.size()) +
                                   " parts (a pickle with out-of-band buffers); it stays queued: kv_queue_receive "
                                   "takes it");
    *view = kv_view{m.block + m.parts[0].offset, static_cast<std::size_t>(m.parts[0].length), record.next_pos()};
    return KV_OK;
}

void commit_block(kv_queue* q, const kv_view* view) {
    const auto* data = static_cast<const std::uint8_t*>(view->data);
    const auto* ring = static_cast<const std::uint8_t*>(q->queue.mapping.base());
    if (data >= ring && data <= ring + q->queue.mapping.length())
        return;
    // Its block is queued at a position the read position has passed: free, as the
    // reclaim finds every block of a record consumed without an account.
    std::shared_ptr<BlockArena> arena = queue_arena(q);
    if (arena && arena->lock(Clock::now() + std::chrono::seconds(1))) {
        arena->reclaim_locked(*q->queue.ring.header());
        arena->unlock();
    }
}

} // namespace kel::capi

using namespace kel;
using namespace kel::capi;

extern "C" {

int kv_queue_loan(kv_queue* q, kv_loan* loan, size_t size, int64_t timeout_ns) {
    if (loan != nullptr)
        *loan = kv_loan{};
    return guarded([&]() -> int {
        if (q == nullptr || loan == nullptr)
            return null_argument("kv_queue_loan");
        Wait wait;
        if (!wait_of(timeout_ns, q->queue.ring, wait))
            return bad_timeout("kv_queue_loan");
        return lend_block(q, loan, size, wait, "kv_queue_loan");
    });
}

int kv_loan_send(kv_queue* q, kv_loan* loan, size_t len, int64_t timeout_ns) {
    return guarded([&]() -> int {
        if (q == nullptr || loan == nullptr)
            return null_argument("kv_loan_send");
        if (int rc = sendable(q, loan, len, "kv_loan_send"); rc != KV_OK)
            return rc;
        Wait wait;
        if (!wait_of(timeout_ns, q->queue.ring, wait))
            return bad_timeout("kv_loan_send");
        return send_loan(q, loan, BlockKind::Bytes, {}, len, wait);
    });
}

int kv_loan_send_array(kv_queue* q, kv_loan* loan, const char* dtype, const size_t* shape, int ndim,
                       int64_t timeout_ns) {
    return guarded([&]() -> int {
        if (q == nullptr || loan == nullptr || dtype == nullptr || (shape == nullptr && ndim > 0))
            return null_argument("kv_loan_send_array");
        std::uint64_t itemsize = 0;
        if (!dtype_itemsize(dtype, itemsize))
            return fail(KV_EINVAL, "kv_loan_send_array: '" + std::string(dtype, ::strnlen(dtype, 16)) +
                                       "' is no dtype it takes: a byte order (<, >, |), a kind (b, i, u, f, c) and "
                                       "an item size, such as \"<f8\"");
        if (ndim < 0 || ndim > KV_MAX_DIMS)
            return fail(KV_EINVAL, "kv_loan_send_array: ndim must be from 0 to " + std::to_string(KV_MAX_DIMS));
        const std::span<const std::size_t> dims(shape, static_cast<std::size_t>(ndim));
        std::uint64_t nbytes = itemsize;
        for (std::size_t n : dims) {
            if (n != 0 && nbytes > UINT64_MAX / n)
                return fail_static(KV_EINVAL, "kv_loan_send_array: the array's size overflows");
            nbytes *= n;
        }
        if (int rc = sendable(q, loan, nbytes, "kv_loan_send_array"); rc != KV_OK)
            return rc;
        Wait wait;
        if (!wait_of(timeout_ns, q->queue.ring, wait))
            return bad_timeout("kv_loan_send_array");
        const std::vector<std::uint8_t> stream = array_stream(dtype, dims);
        static_assert(KV_MAX_DIMS * 10 + 64 < kLoanStream);
        return send_loan(q, loan, BlockKind::Pickle, stream, nbytes, wait);
    });
}

void kv_loan_drop(kv_loan* loan) {
    if (loan == nullptr || loan->held_ == nullptr)
        return;
    std::unique_ptr<kv_loan_held> held(loan->held_);
    *loan = kv_loan{};
    if (held->pid == my_pid())
        (void)held->arena->give_back(held->lease);
}

int kv_queue_put_block(kv_queue* q, const void* data, size_t len, int64_t timeout_ns) {
    return guarded([&]() -> int {
        if (q == nullptr || (data == nullptr && len > 0))
            return null_argument("kv_queue_put_block");
        Wait wait;
        if (!wait_of(timeout_ns, q->queue.ring, wait))
            return bad_timeout("kv_queue_put_block");
        kv_loan loan{};
        if (int rc = lend_block(q, &loan, len, wait, "kv_queue_put_block"); rc != KV_OK)
            return rc;
        struct Dropped {
            kv_loan& loan;
            ~Dropped() { kv_loan_drop(&loan); } // nothing once sent
        } dropped{loan};
        if (len > 0)
            std::memcpy(loan.data, data, len);
        return send_loan(q, &loan, BlockKind::Bytes, {}, len, wait);
    });
}

int kv_queue_receive(kv_queue* q, kv_block* block, int64_t timeout_ns) {
    if (block != nullptr)
        *block = kv_block{};
    return guarded([&]() -> int {
        if (q == nullptr || block == nullptr)
            return null_argument("kv_queue_receive");
        Wait wait;
        if (!wait_of(timeout_ns, q->queue.ring, wait))
            return bad_timeout("kv_queue_receive");
        return receive(q, block, wait.until, wait.what);
    });
}

int kv_queue_try_receive(kv_queue* q, kv_block* block) {
    if (block != nullptr)
        *block = kv_block{};
    return guarded([&]() -> int {
        if (q == nullptr || block == nullptr)
            return null_argument("kv_queue_try_receive");
        return receive(q, block, kNoWait, WaitFor::Mutex);
    });
}

void kv_block_release(kv_block* block) {
    if (block == nullptr || block->held_ == nullptr)
        return;
    std::unique_ptr<kv_block_held> held(block->held_);
    *block = kv_block{};
    if (held->arena && held->pid == my_pid())
        (void)held->arena->release(held->slot, held->generation, kForever);
}

} // extern "C"
