// kelvane._native.BlockQueue, a queue handle that keeps the queue's block arena in step
// with the records it puts and takes, and kelvane._native.Block, the exporter of one
// received (or loaned) block: it counts its exports, as the mmap object does, and
// gives the block back when the last view of it in this process is gone.

#include "native.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "core/blocks.hpp"
#include "pickle_calls.hpp"
#include "python/ring_calls.hpp"

namespace kel::native {

namespace {

using py::BufferView;
using py::guarded;
using py::Ref;

PyTypeObject* block_queue = nullptr;
PyTypeObject* block = nullptr;
PyTypeObject* block_queue_type();
PyTypeObject* block_type();

// ---------------------------------------------------------------------------
// Block: one block of this process's, exported to memoryviews.

struct BlockObject {
    PyObject_HEAD
    std::shared_ptr<BlockArena> arena; // made in place by new_block, ended by the deallocator
    std::uint32_t slot;
    std::uint64_t generation;
    std::uint8_t* data;   // the block's first byte
    Py_ssize_t length;    // bytes exported: the message, its header included
    Py_ssize_t exports;
    bool foreign;         // a forked child's private copy: unmapped, never freed
    bool readonly;
    bool loan;            // lent to this process for writing (see BlockQueue.lend)
    std::uint8_t* block;  // loan: the block's first byte (its header goes there when it is sent)
    std::uint64_t offset, capacity; // loan: the block's place in its arena
};

// Every live Block of this process, for the fork handler and to give out one
// exporter per received block. Only touched with the interpreter lock held.
std::vector<BlockObject*>& live_blocks() {
    static std::vector<BlockObject*> blocks;
    return blocks;
}

// Blocks whose release found the arena mutex busy: tried again at the next chance.
struct PendingRelease {
    std::shared_ptr<BlockArena> arena;
    std::uint32_t slot;
    std::uint64_t generation;
    bool loan;
};
std::vector<PendingRelease>& pending_releases() {
    static std::vector<PendingRelease> pending;
    return pending;
}

void retry_pending_releases() {
    auto& pending = pending_releases();
    std::erase_if(pending, [](const PendingRelease& p) {
        return p.loan ? p.arena->end_loan(p.slot, p.generation, kNoWait) : p.arena->release(p.slot, p.generation, kNoWait);
    });
}

std::uint64_t page_round(std::uint64_t n) { return (n + 4095) / 4096 * 4096; }

int Block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<BlockObject*>(self);
    if (b->data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the block was released");
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, b->data, b->length, b->readonly ? 1 : 0, flags) != 0)
        return -1;
    ++b->exports;
    return 0;
}

void Block_releasebuffer(PyObject* self, Py_buffer*) { --reinterpret_cast<BlockObject*>(self)->exports; }

void give_back(BlockObject* b) {
    if (b->data == nullptr)
        return;
    if (b->foreign) {
        (void)::munmap(b->data, page_round(static_cast<std::uint64_t>(b->length)));
    } else if (b->arena) {
        // A short wait for the mutex; a holder that keeps it longer is stopped, and the
        // release is tried again later rather than holding up this thread.
        const Deadline until = Clock::now() + std::chrono::milliseconds(20);
        const bool done = b->loan ? b->arena->end_loan(b->slot, b->generation, until)
                                  : b->arena->release(b->slot, b->generation, until);
        if (!done)
            pending_releases().push_back({b->arena, b->slot, b->generation, b->loan});
    }
    b->data = nullptr;
}

void Block_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BlockObject*>(self);
    std::erase(live_blocks(), b);
    give_back(b);
    std::destroy_at(&b->arena);
    py::free_instance(self);
}

PyObject* Block_release(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* b = reinterpret_cast<BlockObject*>(self);
        if (b->exports > 0) {
            PyErr_SetString(PyExc_BufferError, "cannot release a block while views of it exist");
            return nullptr;
        }
        give_back(b);
        Py_RETURN_NONE;
    });
}

PyObject* Block_nbytes(PyObject* self, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<BlockObject*>(self)->length);
}

PyMethodDef block_methods[] = {
    {"release", Block_release, METH_NOARGS,
     "release($self)\n--\n\nGive the block back now (no view of it may exist); otherwise that happens when "
     "the last view of it is gone."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef block_getset[] = {
    {"nbytes", Block_nbytes, nullptr, "Bytes of the block that this object exports.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(Block_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(Block_releasebuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Block_dealloc)},
    {Py_tp_methods, block_methods},
    {Py_tp_getset, block_getset},
    {Py_tp_doc, const_cast<char*>("A block of shared memory that a large message arrived in; given back to its "
                                  "queue when the last view of it is gone.")},
    {0, nullptr},
};

PyType_Spec block_spec = {"kelvane._native.Block", sizeof(BlockObject), 0, Py_TPFLAGS_DEFAULT, block_slots};

PyTypeObject* block_type() { return py::create_type_once(block, block_spec); }

PyObject* new_block(std::shared_ptr<BlockArena> arena, std::uint32_t slot, std::uint64_t generation,
                    std::uint8_t* data, std::uint64_t length, bool readonly) {
    PyTypeObject* type = block_type();
    if (type == nullptr)
        return nullptr;
    PyObject* self = py::alloc_instance(type);
    if (self == nullptr)
        return nullptr;
    auto* b = reinterpret_cast<BlockObject*>(self);
    std::construct_at(&b->arena, std::move(arena));
    b->slot = slot;
    b->generation = generation;
    b->data = data;
    b->length = static_cast<Py_ssize_t>(length);
    b->exports = 0;
    b->foreign = false;
    b->readonly = readonly;
    b->loan = false;
    b->block = nullptr;
    b->offset = b->capacity = 0;
    live_blocks().push_back(b);
    return self;
}

// ---------------------------------------------------------------------------
// BlockQueue

struct BlockQueueObject {
    PyObject_HEAD
    // Made in place by BlockQueue_new, ended by the deallocator: the ring first, so its
    // hooks are never called again, then the ledger they point at.
    std::unique_ptr<QueueSegment> queue;
    std::unique_ptr<BlockLedger> ledger; // the ring's hooks
};

RingQueue& ring_of(PyObject* o) { return reinterpret_cast<BlockQueueObject*>(o)->queue->ring; }
BlockLedger& ledger_of(PyObject* o) { return *reinterpret_cast<BlockQueueObject*>(o)->ledger; }
QueueHeader& header_of(PyObject* o) { return *ring_of(o).header(); }

bool receiver(PyObject* self) { return py::check_receiver(self, block_queue_type, "BlockQueue"); }

PyObject* BlockQueue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::string_view name;
        if (!py::bind_args("BlockQueue", {"name"}, args, kwargs, argv) ||
            !py::to_name(argv[0], "BlockQueue", "name", name))
            return nullptr;
        std::optional<Result<QueueSegment, QueueOpenError>> opened;
        {
            py::GilRelease nogil;
            opened.emplace(attach_queue(name));
        }
        if (!opened->ok()) {
            if (opened->error().kind == QueueOpenError::Kind::Open && opened->error().segment.is_errno(ENOENT)) {
                PyErr_Format(PyExc_FileNotFoundError, "no kelvane queue named %R exists", argv[0]);
                return nullptr;
            }
            return py::raise_runtime("Failed to open mirrored shm: ", opened->error().display());
        }
        auto segment = std::make_unique<QueueSegment>(std::move(opened->value()));
        auto ledger = std::make_unique<BlockLedger>(segment->ring.header());
        segment->ring.set_hooks(ledger.get());
        PyObject* self = py::alloc_instance(type);
        if (self == nullptr)
            return nullptr;
        auto* q = reinterpret_cast<BlockQueueObject*>(self);
        std::construct_at(&q->queue, std::move(segment));
        std::construct_at(&q->ledger, std::move(ledger));
        return self;
    });
}

void BlockQueue_dealloc(PyObject* self) {
    auto* q = reinterpret_cast<BlockQueueObject*>(self);
    std::destroy_at(&q->queue); // unmaps the ring first: the hooks are never called again
    std::destroy_at(&q->ledger);
    py::free_instance(self);
}

PyObject* BlockQueue_put_bytes_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        BufferView view;
        const void* data;
        std::uint64_t size;
        py::WaitBudget budget;
        PyObject* done;
        if (!receiver(self) ||
            !py::bind_args("put_bytes_timed", {"data", "timeout", "done"}, args, nargs, kwnames, argv, 2) ||
            !budget.parse(argv[1], "put_bytes_timed", "timeout") ||
            !py::optional_list(argv[2], "put_bytes_timed", "done", done) ||
            !py::to_bytes_like(argv[0], "put_bytes_timed", "data", view, data, size))
            return nullptr;
        const Piece piece{data, size};
        return py::put_pieces(ring_of(self), std::span(&piece, 1), budget, done);
    });
}

PyObject* BlockQueue_put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        py::WaitBudget budget;
        py::Batch batch;
        PyObject* done;
        if (!receiver(self) || !py::bind_args("put_many", {"items", "timeout", "done"}, args, nargs, kwnames, argv, 2) ||
            !budget.parse(argv[1], "put_many", "timeout") || !py::optional_list(argv[2], "put_many", "done", done) ||
            !batch.collect(argv[0], "put_many"))
            return nullptr;
        if (batch.pieces.empty())
            Py_RETURN_TRUE;
        return py::put_pieces(ring_of(self), batch.pieces, budget, done);
    });
}

PyObject* BlockQueue_try_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        BufferView view;
        const void* data;
        std::uint64_t size;
        PyObject* done;
        int claim = 0;
        if (!receiver(self) || !py::bind_args("try_put", {"data", "done", "claim"}, args, nargs, kwnames, argv, 1) ||
            !py::optional_list(argv[1], "try_put", "done", done) || !py::to_flag(argv[2], claim) ||
            !py::to_bytes_like(argv[0], "try_put", "data", view, data, size))
            return nullptr;
        const Piece piece{data, size};
        return py::try_store(ring_of(self), std::span(&piece, 1), claim != 0, done);
    });
}

PyObject* BlockQueue_try_put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        py::Batch batch;
        PyObject* done;
        int claim = 0;
        if (!receiver(self) ||
            !py::bind_args("try_put_many", {"items", "done", "claim"}, args, nargs, kwnames, argv, 1) ||
            !py::optional_list(argv[1], "try_put_many", "done", done) || !py::to_flag(argv[2], claim) ||
            !batch.collect(argv[0], "try_put_many"))
            return nullptr;
        if (batch.pieces.empty())
            Py_RETURN_TRUE;
        return py::try_store(ring_of(self), batch.pieces, claim != 0, done);
    });
}

PyObject* BlockQueue_withdraw_claim(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!receiver(self))
            return nullptr;
        ring_of(self).withdraw_claim(kNoWait);
        Py_RETURN_NONE;
    });
}

bool max_items_of(PyObject* o, const char* fname, std::size_t& out) {
    std::uint64_t max_items = 0;
    if (!py::to_u64(o, fname, "max_items", max_items))
        return false;
    if (max_items == 0) {
        PyErr_Format(PyExc_ValueError, "%s() argument 'max_items' must be at least 1", fname);
        return false;
    }
    out = static_cast<std::size_t>(std::min<std::uint64_t>(max_items, SIZE_MAX));
    return true;
}

PyObject* BlockQueue_get_bytes_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        py::WaitBudget budget;
        PyObject* into;
        if (!receiver(self) || !py::bind_args("get_bytes_timed", {"timeout", "into"}, args, nargs, kwnames, argv, 1) ||
            !budget.parse(argv[0], "get_bytes_timed", "timeout") ||
            !py::optional_list(argv[1], "get_bytes_timed", "into", into))
            return nullptr;
        return py::take(ring_of(self), 1, budget, "Queue get error: ", false, into);
    });
}

PyObject* BlockQueue_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        std::size_t max_items = 0;
        py::WaitBudget budget;
        PyObject* into;
        if (!receiver(self) ||
            !py::bind_args("get_many", {"max_items", "timeout", "into"}, args, nargs, kwnames, argv, 2) ||
            !max_items_of(argv[0], "get_many", max_items) || !budget.parse(argv[1], "get_many", "timeout") ||
            !py::optional_list(argv[2], "get_many", "into", into))
            return nullptr;
        return py::take(ring_of(self), max_items, budget, "Queue get error: ", true, into);
    });
}

PyObject* BlockQueue_try_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        std::size_t max_items = 0;
        PyObject* into;
        if (!receiver(self) || !py::bind_args("try_get_many", {"max_items", "into"}, args, nargs, kwnames, argv, 1) ||
            !max_items_of(argv[0], "try_get_many", max_items) ||
            !py::optional_list(argv[1], "try_get_many", "into", into))
            return nullptr;
        return py::try_take(ring_of(self), max_items, into);
    });
}

// --- the arena ------------------------------------------------------------------

PyObject* raise_arena_error(const ArenaError& e) {
    if (e.kind == ArenaError::Kind::NoSpace || (e.kind == ArenaError::Kind::Segment && e.segment.kind == SegmentError::Kind::Nix)) {
        const int code = e.kind == ArenaError::Kind::NoSpace ? e.code : e.segment.err.value();
        Ref args(Py_BuildValue("(is)", code, e.display().c_str()));
        if (args)
            PyErr_SetObject(PyExc_OSError, args.get());
        return nullptr;
    }
    return py::raise_runtime("Block arena error: ", e.display());
}

// ensure_arena(space_size, memfd): the queue's arena, made now (with room for
// space_size bytes of blocks, in /dev/shm or in a memfd) if it has none. Returns
// (created, in_memfd).
PyObject* BlockQueue_ensure_arena(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        std::uint64_t space_size = 0;
        std::string_view queue_name;
        if (!receiver(self) ||
            !py::bind_args("ensure_arena", {"queue_name", "space_size", "memfd"}, args, nargs, kwnames, argv) ||
            !py::to_name(argv[0], "ensure_arena", "queue_name", queue_name) ||
            !py::to_u64(argv[1], "ensure_arena", "space_size", space_size))
            return nullptr;
        const int memfd = PyObject_IsTrue(argv[2]);
        if (memfd < 0)
            return nullptr;
        BlockLedger& ledger = ledger_of(self);
        std::optional<Result<QueueArena, ArenaError>> made;
        {
            py::GilRelease nogil;
            made.emplace(ensure_queue_arena(header_of(self), queue_name, memfd ? SpaceKind::Memfd : SpaceKind::Shm,
                                            space_size));
            if (made->ok())
                ledger.set_arena(made->value().arena);
        }
        if (!made->ok())
            return raise_arena_error(made->error());
        const bool created = made->value().created;
        const std::shared_ptr<BlockArena>& arena = made->value().arena;
        return Py_BuildValue("(OO)", created ? Py_True : Py_False,
                             arena->kind() == SpaceKind::Memfd ? Py_True : Py_False);
    });
}

PyObject* BlockQueue_arena_id(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        if (!receiver(self))
            return nullptr;
        return PyLong_FromUnsignedLongLong(queue_arena_id(header_of(self)));
    });
}

PyObject* BlockQueue_capacity(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        if (!receiver(self))
            return nullptr;
        return PyLong_FromUnsignedLongLong(ring_of(self).capacity());
    });
}

// The layout of a message's block: the header, the part table, then the parts.
struct Layout {
    std::vector<BlockPart> parts;
    std::uint64_t length = 0;
};

Layout layout_of(std::span<const Piece> pieces) {
    Layout l;
    l.parts.reserve(pieces.size());
    std::uint64_t at = sizeof(BlockHeader) + pieces.size() * sizeof(BlockPart);
    at = (at + 63) / 64 * 64;
    bool first = true;
    for (const Piece& p : pieces) {
        if (!first)
            at = (at + kPartAlign - 1) / kPartAlign * kPartAlign;
        first = false;
        l.parts.push_back(BlockPart{at, p.length});
        at += p.length;
    }
    l.length = at;
    return l;
}

void write_block(const Lease& lease, BlockKind kind, const Layout& layout, std::span<const Piece> pieces) {
    std::uint8_t* block = lease.address;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        std::memcpy(block + layout.parts[i].offset, pieces[i].bytes, pieces[i].length);
    BlockHeader h{};
    std::memcpy(h.magic, kBlockMagic, sizeof kBlockMagic);
    h.generation = lease.generation;
    h.length = layout.length;
    h.kind = static_cast<std::uint32_t>(kind);
    h.parts = static_cast<std::uint32_t>(pieces.size());
    std::memcpy(block + sizeof h, layout.parts.data(), layout.parts.size() * sizeof(BlockPart));
    std::memcpy(block, &h, sizeof h);
}

BlockRef ref_of(const BlockArena& arena, const Lease& lease, BlockKind kind, std::uint64_t length) {
    return block_ref(arena.id(), lease, kind, length);
}

// Copies above this size run without the interpreter lock.
constexpr std::uint64_t kCopyWithoutGil = 256 * 1024;

// How long a producer that may wait paces itself to its reader (BlockArena::acquire's
// `pace`): a reader that streams frees a block well within it; one that does not lets the
// producer take another free block after it. A put whose timeout leaves less than twice
// this does not pace at all, so that pacing never turns into its timeout.
constexpr auto kPaceFor = std::chrono::milliseconds(1);

// Takes a block of `length` bytes, waiting as `budget` allows. Acquired; or Py_False
// (timeout), Py_None (no block can take it) or nullptr (raised) in `answer`.
bool acquire_block(BlockArena& arena, RingQueue& ring, std::uint64_t length, const py::WaitBudget& budget,
                   Lease& lease, PyObject*& answer) {
    std::optional<ArenaError> error;
    bool wait_failed = false;
    bool fallback = false;
    bool would_wait = false;
    answer = nullptr;
    const Clock::time_point now = Clock::now();
    const bool may_pace = budget.forever() || (!budget.nonblocking() && budget.until() - now > 2 * kPaceFor);
    const Deadline pace_until = may_pace ? now + kPaceFor : kNoWait;
    // Taking a block may back new memory (fallocate): never with the interpreter lock.
    const py::Step got = py::run_sliced(
        budget, busy_mutex_bound(ring.capacity()), [] { return py::Step::Busy; },
        [&](py::Step, Deadline end) {
            const bool pace = pace_until != kNoWait && Clock::now() < pace_until;
            auto acquired = arena.acquire(length, *ring.header(), end, lease, pace);
            if (!acquired.ok()) {
                error = acquired.error();
                return py::Step::Failed;
            }
            switch (acquired.value()) {
            case AcquireOutcome::Acquired:
                return py::Step::Done;
            case AcquireOutcome::Fallback:
                fallback = true;
                return py::Step::Done;
            case AcquireOutcome::Wait:
                if (budget.nonblocking()) {
                    would_wait = true;
                    return py::Step::Done;
                }
                arena.wait_freed(pace ? std::min(end, pace_until) : end);
                return py::Step::Again;
            case AcquireOutcome::Busy:
                break;
            }
            return py::Step::Busy;
        },
        wait_failed);
    if (got == py::Step::Failed) {
        if (wait_failed && error)
            raise_arena_error(*error);
        return false;
    }
    if (got == py::Step::Again || would_wait) {
        answer = Py_NewRef(Py_False);
        return false;
    }
    if (fallback) {
        answer = Py_NewRef(Py_None);
        return false;
    }
    return true;
}

// write_message(kind, parts, timeout, head): copies a message's parts into a block of
// the queue's arena and gives the record that announces it, head + reference. The
// block is this process's until a put of that record stores it (or give_back). False
// when the timeout came first, None when no block can take it (larger than the
// arena, or every block held): the caller sends it another way.
PyObject* BlockQueue_write_message(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[5];
        std::uint64_t kind_value = 0;
        py::WaitBudget budget;
        py::Batch batch;
        BufferView head_view;
        const void* head = nullptr;
        std::uint64_t head_size = 0;
        PyObject* made;
        if (!receiver(self) ||
            !py::bind_args("write_message", {"kind", "parts", "timeout", "head", "made"}, args, nargs, kwnames, argv,
                           4) ||
            !py::optional_list(argv[4], "write_message", "made", made) ||
            !py::to_u64(argv[0], "write_message", "kind", kind_value) ||
            !batch.collect(argv[1], "write_message") || !budget.parse(argv[2], "write_message", "timeout") ||
            !py::to_bytes_like(argv[3], "write_message", "head", head_view, head, head_size))
            return nullptr;
        if ((kind_value != 1 && kind_value != 2) || batch.pieces.empty() || batch.pieces.size() > kMaxBlockParts ||
            (kind_value == 1 && batch.pieces.size() != 1)) {
            PyErr_SetString(PyExc_ValueError, "write_message(): kind 1 takes one part, kind 2 one to 4096");
            return nullptr;
        }
        const auto kind = static_cast<BlockKind>(kind_value);
        retry_pending_releases();
        BlockLedger& ledger = ledger_of(self);
        std::shared_ptr<BlockArena> arena = ledger.arena();
        if (!arena)
            Py_RETURN_NONE;
        const Layout layout = layout_of(batch.pieces);
        RingQueue& ring = ring_of(self);
        if (ring.check_fits(head_size + kBlockRefSize).ok() == false) {
            PyErr_SetString(PyExc_ValueError, "write_message(): the record does not fit the ring");
            return nullptr;
        }

        Lease lease{};
        PyObject* answer = nullptr;
        if (!acquire_block(*arena, ring, layout.length, budget, lease, answer))
            return answer;

        // The block is this process's (Writing) until a put stores the record.
        struct Lent {
            BlockArena& arena;
            const Lease& lease;
            bool kept = false;
            ~Lent() {
                if (!kept)
                    arena.give_back(lease);
            }
        } lent{*arena, lease};
        if (layout.length >= kCopyWithoutGil) {
            py::GilRelease nogil;
            write_block(lease, kind, layout, batch.pieces);
        } else {
            write_block(lease, kind, layout, batch.pieces);
        }
        PyObject* record = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head_size + kBlockRefSize));
        if (record == nullptr)
            return nullptr;
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(record));
        if (head_size > 0)
            std::memcpy(out, head, head_size);
        const BlockRef ref = ref_of(*arena, lease, kind, layout.length);
        std::memcpy(out + head_size, &ref, sizeof ref);
        // Noted before the call returns: a caller interrupted right after it still knows
        // the block is its own to put or give back.
        if (made != nullptr && PyList_Append(made, record) != 0) {
            Py_DECREF(record);
            return nullptr;
        }
        lent.kept = true;
        return record;
    });
}

// A pickle (protocol 5) written into a block of the queue's arena by one call: its
// stream and its out-of-band buffers of at least `min_buffer` bytes, pickled here (no
// second pass). The block is this process's (Writing) from acquire until `kept`, else
// it goes back when this goes.
struct PickledBlock {
    std::shared_ptr<BlockArena> arena;
    Lease lease{};
    BlockRef ref{};
    bool acquired = false;
    bool kept = false;

    PickledBlock() = default;
    PickledBlock(const PickledBlock&) = delete;
    PickledBlock& operator=(const PickledBlock&) = delete;
    ~PickledBlock() {
        if (acquired && !kept)
            arena->give_back(lease);
    }
};

// Pickles `obj` into a block: true with `out` filled; else false with `answer` set as
// acquire_block sets it (Py_False, Py_None, or nullptr with the exception set).
bool pickle_into_block(PyObject* self, PyObject* obj, std::uint64_t min_buffer, std::uint64_t head_size,
                       const py::WaitBudget& budget, PickledBlock& out, PyObject*& answer) {
    answer = nullptr;
    OutOfBand buffers;
    Ref stream(dumps_out_of_band(obj, min_buffer, buffers));
    if (!stream)
        return false;
    if (buffers.views.size() + 1 > kMaxBlockParts) {
        PyErr_SetString(PyExc_ValueError, "a pickle with more than 4095 large out-of-band buffers");
        return false;
    }
    std::vector<Piece> pieces;
    pieces.reserve(buffers.views.size() + 1);
    pieces.push_back(Piece{PyBytes_AsString(stream.get()), static_cast<std::uint64_t>(PyBytes_Size(stream.get()))});
    for (const Py_buffer& view : buffers.views)
        pieces.push_back(Piece{view.buf, static_cast<std::uint64_t>(view.len)});
    retry_pending_releases();
    out.arena = ledger_of(self).arena();
    if (!out.arena) {
        answer = Py_NewRef(Py_None);
        return false;
    }
    RingQueue& ring = ring_of(self);
    if (!ring.check_fits(head_size + kBlockRefSize).ok()) {
        PyErr_SetString(PyExc_ValueError, "the record does not fit the ring");
        return false;
    }
    const Layout layout = layout_of(pieces);
    if (!acquire_block(*out.arena, ring, layout.length, budget, out.lease, answer))
        return false;
    out.acquired = true;
    if (layout.length >= kCopyWithoutGil) {
        py::GilRelease nogil;
        write_block(out.lease, BlockKind::Pickle, layout, pieces);
    } else {
        write_block(out.lease, BlockKind::Pickle, layout, pieces);
    }
    out.ref = ref_of(*out.arena, out.lease, BlockKind::Pickle, layout.length);
    return true;
}

// put_pickle(obj, timeout, min_buffer): pickles obj (protocol 5) with its contiguous
// buffers of at least min_buffer bytes out of band straight into a block of the queue's
// arena and puts the block's reference: one call, one copy. True when stored; False when
// the timeout came first (for a block, or for room in the ring); None when no block can
// take it (the caller sends it another way). A put that does not store gives the block back.
PyObject* BlockQueue_put_pickle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        py::WaitBudget budget;
        std::uint64_t min_buffer = 0;
        if (!receiver(self) || !py::bind_args("put_pickle", {"obj", "timeout", "min_buffer"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[1], "put_pickle", "timeout") || !py::to_u64(argv[2], "put_pickle", "min_buffer", min_buffer))
            return nullptr;
        PickledBlock block;
        PyObject* answer = nullptr;
        if (!pickle_into_block(self, argv[0], min_buffer, 0, budget, block, answer))
            return answer;
        const Piece piece{&block.ref, sizeof block.ref};
        PyObject* stored = py::put_pieces(ring_of(self), std::span(&piece, 1), budget, nullptr);
        block.kept = stored == Py_True;
        return stored;
    });
}

// write_pickle(obj, timeout, min_buffer, head, made=None): as put_pickle, but gives the
// record (head + reference) for a later put, as write_message does.
PyObject* BlockQueue_write_pickle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[5];
        py::WaitBudget budget;
        std::uint64_t min_buffer = 0;
        BufferView head_view;
        const void* head = nullptr;
        std::uint64_t head_size = 0;
        PyObject* made;
        if (!receiver(self) ||
            !py::bind_args("write_pickle", {"obj", "timeout", "min_buffer", "head", "made"}, args, nargs, kwnames,
                           argv, 4) ||
            !budget.parse(argv[1], "write_pickle", "timeout") ||
            !py::to_u64(argv[2], "write_pickle", "min_buffer", min_buffer) ||
            !py::to_bytes_like(argv[3], "write_pickle", "head", head_view, head, head_size) ||
            !py::optional_list(argv[4], "write_pickle", "made", made))
            return nullptr;
        PickledBlock block;
        PyObject* answer = nullptr;
        if (!pickle_into_block(self, argv[0], min_buffer, head_size, budget, block, answer))
            return answer;
        Ref record(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head_size + kBlockRefSize)));
        if (!record)
            return nullptr;
        auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(record.get()));
        if (head_size > 0)
            std::memcpy(bytes, head, head_size);
        std::memcpy(bytes + head_size, &block.ref, sizeof block.ref);
        // Noted before the call returns, as write_message does.
        if (made != nullptr && PyList_Append(made, record.get()) != 0)
            return nullptr;
        block.kept = true;
        return record.release();
    });
}

// lend(nbytes, timeout): a block of the queue's arena for this process to fill: a
// writable Block of nbytes bytes. False on timeout, None when no block can take it.
PyObject* BlockQueue_lend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        std::uint64_t nbytes = 0;
        py::WaitBudget budget;
        if (!receiver(self) || !py::bind_args("lend", {"nbytes", "timeout"}, args, nargs, kwnames, argv) ||
            !py::to_u64(argv[0], "lend", "nbytes", nbytes) || !budget.parse(argv[1], "lend", "timeout"))
            return nullptr;
        if (nbytes > (std::uint64_t{1} << 62)) {
            PyErr_SetString(PyExc_OverflowError, "lend(): nbytes is too large");
            return nullptr;
        }
        retry_pending_releases();
        std::shared_ptr<BlockArena> arena = ledger_of(self).arena();
        if (!arena)
            Py_RETURN_NONE;
        Lease lease{};
        PyObject* answer = nullptr;
        if (!acquire_block(*arena, ring_of(self), kLoanData + nbytes, budget, lease, answer))
            return answer;
        arena->lend(lease);
        PyObject* loan = new_block(arena, lease.slot, lease.generation, lease.address + kLoanData, nbytes, false);
        if (loan == nullptr) {
            (void)arena->end_loan(lease.slot, lease.generation, kForever);
            return nullptr;
        }
        auto* b = reinterpret_cast<BlockObject*>(loan);
        b->loan = true;
        b->block = lease.address;
        b->offset = lease.offset;
        b->capacity = lease.capacity;
        return loan;
    });
}

// loan_record(loan, stream, head): the record that sends a loan: a pickle stream with
// the loan as its one out-of-band buffer (kind 2), or (stream None) the loan's bytes
// (kind 1). ValueError when the stream does not fit before the loan's bytes.
PyObject* BlockQueue_loan_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        BufferView stream_view, head_view;
        const void* stream = nullptr;
        const void* head = nullptr;
        std::uint64_t stream_size = 0, head_size = 0;
        if (!receiver(self) || !py::bind_args("loan_record", {"loan", "stream", "head"}, args, nargs, kwnames, argv) ||
            (argv[1] != Py_None && !py::to_bytes_like(argv[1], "loan_record", "stream", stream_view, stream, stream_size)) ||
            !py::to_bytes_like(argv[2], "loan_record", "head", head_view, head, head_size))
            return nullptr;
        PyTypeObject* type = block_type();
        if (type == nullptr || !PyObject_TypeCheck(argv[0], type) || !reinterpret_cast<BlockObject*>(argv[0])->loan ||
            reinterpret_cast<BlockObject*>(argv[0])->data == nullptr) {
            PyErr_SetString(PyExc_TypeError, "loan_record(): 'loan' must be a loan of this process's");
            return nullptr;
        }
        auto* b = reinterpret_cast<BlockObject*>(argv[0]);
        if (stream_size > kLoanStream) {
            PyErr_SetString(PyExc_ValueError, "loan_record(): the stream does not fit before the loan");
            return nullptr;
        }
        const bool pickled = argv[1] != Py_None;
        const auto nbytes = static_cast<std::uint64_t>(b->length);
        BlockHeader h{};
        std::memcpy(h.magic, kBlockMagic, sizeof kBlockMagic);
        h.generation = b->generation;
        h.length = kLoanData + nbytes;
        h.kind = static_cast<std::uint32_t>(pickled ? BlockKind::Pickle : BlockKind::Bytes);
        h.parts = pickled ? 2 : 1;
        const BlockPart parts[2] = {{kLoanTable, stream_size}, {kLoanData, nbytes}};
        if (pickled) {
            std::memcpy(b->block + sizeof h, parts, sizeof parts);
            std::memcpy(b->block + kLoanTable, stream, stream_size);
        } else {
            std::memcpy(b->block + sizeof h, &parts[1], sizeof parts[1]);
        }
        std::memcpy(b->block, &h, sizeof h);
        BlockRef ref{};
        std::memcpy(ref.magic, kBlockRefMagic, sizeof kBlockRefMagic);
        ref.arena_id = b->arena->id();
        ref.slot = b->slot;
        ref.kind = h.kind;
        ref.offset = b->offset;
        ref.capacity = b->capacity;
        ref.generation = b->generation;
        ref.length = h.length;
        ref.check = ref_check(ref);
        PyObject* record = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head_size + kBlockRefSize));
        if (record == nullptr)
            return nullptr;
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(record));
        if (head_size > 0)
            std::memcpy(out, head, head_size);
        std::memcpy(out + head_size, &ref, sizeof ref);
        return record;
    });
}

// give_back(record): the block of a record that write_message gave and that was
// never stored, or of a record this process took and will never read, is free again.
// Returns whether it was this process's to give back.
PyObject* BlockQueue_give_back(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        BufferView view;
        const void* data;
        std::uint64_t size;
        if (!py::bind_args("give_back", {"record"}, args, nargs, kwnames, argv) ||
            !py::to_bytes_like(argv[0], "give_back", "record", view, data, size))
            return nullptr;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        if (!ends_in_ref(bytes, size, 0))
            Py_RETURN_FALSE;
        const BlockRef ref = read_ref(bytes, size);
        if (ref.check != ref_check(ref))
            Py_RETURN_FALSE;
        auto opened = BlockArena::open(ref.arena_id); // this process's mapping, if it has one
        if (!opened.ok())
            Py_RETURN_FALSE;
        std::shared_ptr<BlockArena> arena = std::move(opened.value());
        for (BlockObject* b : live_blocks()) {
            if (b->data != nullptr && !b->foreign && b->arena && b->arena->id() == ref.arena_id &&
                b->slot == ref.slot && b->generation == ref.generation)
                Py_RETURN_FALSE; // read already: it goes back with its last view
        }
        bool given;
        {
            py::GilRelease nogil;
            given = arena->give_back(Lease{ref.slot, ref.generation, ref.offset, ref.capacity, nullptr});
        }
        return PyBool_FromLong(given);
    });
}

// The message of a taken record that ends in a block reference: its kind and a list of
// memoryviews of its parts (each keeps the block this process's). `into`: its item
// `index` becomes (record, kind, parts) before this returns. False with ValueError set
// when the reference or the block is not sound, or not this process's to read.
bool open_record(PyObject* self, PyObject* record, const std::uint8_t* bytes, std::uint64_t size, PyObject* into,
                 Py_ssize_t index, BlockKind& kind, Ref& parts) {
    if (!ends_in_ref(bytes, size, 0)) {
        PyErr_SetString(PyExc_ValueError, "the record holds no block reference");
        return false;
    }
    retry_pending_releases();
    const BlockRef ref = read_ref(bytes, size);
    std::shared_ptr<BlockArena> arena = ledger_of(self).arena();
    if (!arena || arena->id() != ref.arena_id) {
        auto opened = BlockArena::open(ref.arena_id);
        if (!opened.ok()) {
            PyErr_Format(PyExc_ValueError, "the block's arena cannot be opened: %s", opened.error().display().c_str());
            return false;
        }
        arena = std::move(opened.value());
    }
    // One exporter per received block: a second decode of the same record shares it.
    Ref exporter;
    for (BlockObject* b : live_blocks()) {
        if (b->data != nullptr && !b->foreign && !b->loan && b->arena &&
            b->arena->id() == ref.arena_id && b->slot == ref.slot && b->generation == ref.generation) {
            exporter = Ref(Py_NewRef(reinterpret_cast<PyObject*>(b)));
            break;
        }
    }
    auto message = arena->held_message(ref);
    if (!message.ok()) {
        PyErr_SetString(PyExc_ValueError, message.error().c_str());
        return false;
    }
    const BlockArena::Message& m = message.value();
    if (!exporter) {
        exporter = Ref(new_block(arena, ref.slot, ref.generation, m.block, m.length, false));
        if (!exporter)
            return false;
    }
    Ref whole(PyMemoryView_FromObject(exporter.get()));
    if (!whole)
        return false;
    parts = Ref(PyList_New(static_cast<Py_ssize_t>(m.parts.size())));
    if (!parts)
        return false;
    for (std::size_t i = 0; i < m.parts.size(); ++i) {
        Ref start(PyLong_FromUnsignedLongLong(m.parts[i].offset));
        Ref stop(PyLong_FromUnsignedLongLong(m.parts[i].offset + m.parts[i].length));
        if (!start || !stop)
            return false;
        Ref slice(PySlice_New(start.get(), stop.get(), nullptr));
        if (!slice)
            return false;
        PyObject* part = PyObject_GetItem(whole.get(), slice.get());
        if (part == nullptr)
            return false;
        PyList_SetItem(parts.get(), static_cast<Py_ssize_t>(i), part);
    }
    kind = m.kind;
    if (into != nullptr) {
        // (record, kind, parts) in the caller's list before the call returns: a caller
        // interrupted right after it still holds the block's views, and so the block.
        Ref entry(Py_BuildValue("(OkO)", record, static_cast<unsigned long>(m.kind), parts.get()));
        if (!entry || PyList_SetItem(into, index, Py_NewRef(entry.get())) != 0)
            return false;
    }
    return true;
}

// open_block(record): the message a record that ends in a block reference announces,
// taken by this process's get: (kind, [memoryview of each part]). Raises ValueError
// when the reference or the block is not sound, or not this process's to read.
PyObject* BlockQueue_open_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        BufferView view;
        const void* data;
        std::uint64_t size;
        PyObject* into;
        std::uint64_t index = 0;
        if (!receiver(self) || !py::bind_args("open_block", {"record", "into", "index"}, args, nargs, kwnames, argv, 1) ||
            !py::optional_list(argv[1], "open_block", "into", into) ||
            (argv[2] != nullptr && !py::to_u64(argv[2], "open_block", "index", index)) ||
            !py::to_bytes_like(argv[0], "open_block", "record", view, data, size))
            return nullptr;
        if (into != nullptr && index >= static_cast<std::uint64_t>(PyList_Size(into))) {
            PyErr_SetString(PyExc_IndexError, "open_block(): 'index' is not an index of 'into'");
            return nullptr;
        }
        BlockKind kind{};
        Ref parts;
        if (!open_record(self, argv[0], static_cast<const std::uint8_t*>(data), size, into,
                         static_cast<Py_ssize_t>(index), kind, parts))
            return nullptr;
        return Py_BuildValue("(kO)", static_cast<unsigned long>(kind), parts.get());
    });
}

// get_object(timeout, into): the take of get() for a queue with the pickle serializer:
// the oldest record, taken into `into` (see optional_list). A record in the ring comes
// back as it is, for the caller to decode; a block's reference (the whole record) comes
// back decoded: pickle.loads of the block's stream with its buffers as views of the block
// (raw bytes, a loan's, as a memoryview of them), its item in `into` become (record,
// kind, parts) first, as open_block makes it. None, with nothing in `into`, when the
// timeout came first. Decoding errors are raised with the record, or its tuple, left in
// `into` for the caller's slow path.
PyObject* BlockQueue_get_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        py::WaitBudget budget;
        PyObject* into;
        if (!receiver(self) || !py::bind_args("get_object", {"timeout", "into"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[0], "get_object", "timeout") || !py::optional_list(argv[1], "get_object", "into", into))
            return nullptr;
        if (into == nullptr) {
            PyErr_SetString(PyExc_TypeError, "get_object() argument 'into' must be a list");
            return nullptr;
        }
        const Py_ssize_t index = PyList_Size(into);
        Ref record(py::take(ring_of(self), 1, budget, "Queue get error: ", false, into));
        if (!record)
            return nullptr;
        if (record.get() == Py_None)
            return record.release();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(record.get()));
        const auto size = static_cast<std::uint64_t>(PyBytes_Size(record.get()));
        if (size != kBlockRefSize || std::memcmp(bytes, kBlockRefMagic, sizeof kBlockRefMagic) != 0)
            return record.release();
        BlockKind kind{};
        Ref parts;
        if (!open_record(self, record.get(), bytes, size, into, index, kind, parts))
            return nullptr;
        if (kind != BlockKind::Pickle)
            return Py_NewRef(PyList_GetItem(parts.get(), 0));
        Ref buffers(PyList_GetSlice(parts.get(), 1, PyList_Size(parts.get())));
        if (!buffers)
            return nullptr;
        return loads_with_buffers(PyList_GetItem(parts.get(), 0), buffers.get());
    });
}

// arena_counts(): (blocks, free, writing, queued, held, carved, backed, space_size, in_memfd)
// of the queue's arena, or None when it has none.
PyObject* BlockQueue_arena_counts(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!receiver(self))
            return nullptr;
        std::shared_ptr<BlockArena> arena = ledger_of(self).arena();
        if (!arena)
            Py_RETURN_NONE;
        const ArenaCounts c = count_slots(arena->header());
        return Py_BuildValue("(KKKKKKKKOK)", static_cast<unsigned long long>(c.blocks),
                             static_cast<unsigned long long>(c.free), static_cast<unsigned long long>(c.writing),
                             static_cast<unsigned long long>(c.queued), static_cast<unsigned long long>(c.held),
                             static_cast<unsigned long long>(c.carved), static_cast<unsigned long long>(c.backed),
                             static_cast<unsigned long long>(arena->space_size()),
                             arena->kind() == SpaceKind::Memfd ? Py_True : Py_False,
                             static_cast<unsigned long long>(c.lent));
    });
}

// reclaim(): gives back what dead processes left in the queue's arena, then counts as
// arena_counts does; None when the queue has no arena.
PyObject* BlockQueue_reclaim(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!receiver(self))
            return nullptr;
        std::shared_ptr<BlockArena> arena = ledger_of(self).arena();
        if (!arena)
            Py_RETURN_NONE;
        bool locked;
        {
            py::GilRelease nogil;
            locked = arena->lock(Clock::now() + std::chrono::seconds(5));
            if (locked) {
                arena->reclaim_locked(header_of(self));
                arena->unlock();
            }
        }
        if (!locked)
            return py::raise_runtime("Block arena error: ", "the arena's mutex stayed held for 5 s");
        return BlockQueue_arena_counts(self, nullptr);
    });
}

PyObject* BlockQueue_unlink_arena(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!receiver(self))
            return nullptr;
        const std::uint64_t id = queue_arena_id(header_of(self));
        if (id == 0 || !unlink_arena(id).ok())
            Py_RETURN_FALSE;
        Py_RETURN_TRUE;
    });
}

// Around os.fork(): before it, a private copy of every block this process exports
// (the child's snapshot of them); after it, the parent lets its copies go and the child
// puts them in place of the shared blocks (see blocks_after_fork_in_child), none of which
// is the child's to give back. Only with the interpreter lock, from os.register_at_fork.
std::vector<ForkCopy>& fork_copies() {
    static std::vector<ForkCopy> copies;
    return copies;
}

void drop_fork_copies() {
    for (const ForkCopy& c : fork_copies())
        if (c.copy != nullptr)
            (void)::munmap(c.copy, c.length);
    fork_copies().clear();
}

PyObject* before_fork(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        drop_fork_copies();
        for (BlockObject* b : live_blocks()) {
            if (b->data == nullptr || b->foreign)
                continue;
            const std::uint64_t length = page_round(static_cast<std::uint64_t>(b->length));
            void* copy = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (copy == MAP_FAILED)
                copy = nullptr; // copied in the child instead
            else
                std::memcpy(copy, b->data, length);
            fork_copies().push_back(ForkCopy{b->data, length, copy});
        }
        Py_RETURN_NONE;
    });
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        drop_fork_copies();
        Py_RETURN_NONE;
    });
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::vector<ForkCopy> exported;
        for (BlockObject* b : live_blocks()) {
            if (b->data == nullptr || b->foreign)
                continue;
            ForkCopy k{b->data, page_round(static_cast<std::uint64_t>(b->length)), nullptr};
            for (const ForkCopy& c : fork_copies())
                if (c.address == k.address && c.length == k.length)
                    k.copy = c.copy;
            exported.push_back(k);
        }
        fork_copies().clear(); // each copy now lies where its block was, or is the parent's to drop
        blocks_after_fork_in_child(exported);
        for (BlockObject* b : live_blocks())
            b->foreign = b->data != nullptr;
        pending_releases().clear(); // the parent's to do
        Py_RETURN_NONE;
    });
}

PyMethodDef block_queue_methods[] = {
    {"put_bytes_timed", py::as_cfunction(BlockQueue_put_bytes_timed), METH_FASTCALL | METH_KEYWORDS,
     "put_bytes_timed($self, data, timeout, done=None)\n--\n\nAs KelQueue.put_bytes_timed; a record that refers to "
     "a block of this process's is published with it."},
    {"put_many", py::as_cfunction(BlockQueue_put_many), METH_FASTCALL | METH_KEYWORDS,
     "put_many($self, items, timeout, done=None)\n--\n\nAs KelQueue.put_many."},
    {"try_put", py::as_cfunction(BlockQueue_try_put), METH_FASTCALL | METH_KEYWORDS,
     "try_put($self, data, done=None, claim=False)\n--\n\nAs KelQueue.try_put."},
    {"try_put_many", py::as_cfunction(BlockQueue_try_put_many), METH_FASTCALL | METH_KEYWORDS,
     "try_put_many($self, items, done=None, claim=False)\n--\n\nAs KelQueue.try_put_many."},
    {"withdraw_claim", BlockQueue_withdraw_claim, METH_NOARGS,
     "withdraw_claim($self)\n--\n\nAs KelQueue.withdraw_claim."},
    {"get_bytes_timed", py::as_cfunction(BlockQueue_get_bytes_timed), METH_FASTCALL | METH_KEYWORDS,
     "get_bytes_timed($self, timeout, into=None)\n--\n\nAs KelQueue.get_bytes_timed; the block a record refers "
     "to is this process's from the moment it is taken."},
    {"get_many", py::as_cfunction(BlockQueue_get_many), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, max_items, timeout, into=None)\n--\n\nAs KelQueue.get_many."},
    {"try_get_many", py::as_cfunction(BlockQueue_try_get_many), METH_FASTCALL | METH_KEYWORDS,
     "try_get_many($self, max_items, into=None)\n--\n\nAs KelQueue.try_get_many."},
    {"ensure_arena", py::as_cfunction(BlockQueue_ensure_arena), METH_FASTCALL | METH_KEYWORDS,
     "ensure_arena($self, queue_name, space_size, memfd)\n--\n\nThe queue's block arena, made now if it has "
     "none.\nReturns (created, in_memfd)."},
    {"write_message", py::as_cfunction(BlockQueue_write_message), METH_FASTCALL | METH_KEYWORDS,
     "write_message($self, kind, parts, timeout, head, made=None)\n--\n\nCopy a message's parts into a block of the queue's "
     "arena (kind 1: one part of bytes; 2: a pickle stream and its out-of-band buffers).\nReturns the record that "
     "announces it (head + reference): the block is this process's until a put stores it, or give_back. False on "
     "timeout, None when no block can take it."},
    {"put_pickle", py::as_cfunction(BlockQueue_put_pickle), METH_FASTCALL | METH_KEYWORDS,
     "put_pickle($self, obj, timeout, min_buffer)\n--\n\nPickle obj (protocol 5) straight into a block of the "
     "queue's arena, its contiguous buffers of at least min_buffer bytes out of band, and put the block's "
     "reference.\nTrue when stored, False on timeout, None when no block can take it."},
    {"write_pickle", py::as_cfunction(BlockQueue_write_pickle), METH_FASTCALL | METH_KEYWORDS,
     "write_pickle($self, obj, timeout, min_buffer, head, made=None)\n--\n\nAs put_pickle, but returns the "
     "record (head + reference) for a later put, as write_message does."},
    {"get_object", py::as_cfunction(BlockQueue_get_object), METH_FASTCALL | METH_KEYWORDS,
     "get_object($self, timeout, into)\n--\n\nTake the oldest record into `into`: a record in the ring as it "
     "is, a block's message decoded (its buffers views of the block).\nNone, with nothing taken, on timeout."},
    {"lend", py::as_cfunction(BlockQueue_lend), METH_FASTCALL | METH_KEYWORDS,
     "lend($self, nbytes, timeout)\n--\n\nA block of the queue's arena to fill in place: a writable Block of "
     "nbytes bytes, this process's until sent (loan_record, then a put) and every view of it is gone.\nFalse on "
     "timeout, None when no block can take it."},
    {"loan_record", py::as_cfunction(BlockQueue_loan_record), METH_FASTCALL | METH_KEYWORDS,
     "loan_record($self, loan, stream, head)\n--\n\nThe record that sends a loan: head + its reference. "
     "`stream`: a pickle stream whose one out-of-band buffer is the loan, or None for the loan's bytes alone."},
    {"give_back", py::as_cfunction(BlockQueue_give_back), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "give_back(record)\n--\n\nFree the block of a record from write_message that was never stored."},
    {"open_block", py::as_cfunction(BlockQueue_open_block), METH_FASTCALL | METH_KEYWORDS,
     "open_block($self, record, into=None, index=0)\n--\n\nThe block message a taken record refers to: (kind, "
     "parts). `into` (a list): its item `index` becomes (record, kind, parts) before the call returns."},
    {"arena_counts", BlockQueue_arena_counts, METH_NOARGS,
     "arena_counts($self)\n--\n\n(blocks, free, writing, queued, held, carved, backed, space_size, in_memfd), or "
     "None."},
    {"reclaim", BlockQueue_reclaim, METH_NOARGS,
     "reclaim($self)\n--\n\nGive back what dead processes left in the queue's arena; then arena_counts()."},
    {"unlink_arena", BlockQueue_unlink_arena, METH_NOARGS,
     "unlink_arena($self)\n--\n\nRemove the name of the queue's arena. Returns whether there was one."},
    {"before_fork", before_fork, METH_NOARGS | METH_STATIC,
     "before_fork()\n--\n\nBefore os.fork(): copy every block this process exports, for the child."},
    {"after_fork_in_parent", after_fork_in_parent, METH_NOARGS | METH_STATIC,
     "after_fork_in_parent()\n--\n\nAfter os.fork(), in the parent: let the copies go."},
    {"after_fork_in_child", after_fork_in_child, METH_NOARGS | METH_STATIC,
     "after_fork_in_child()\n--\n\nIn a forked child: every received block becomes the private copy made before "
     "the fork."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef block_queue_getset[] = {
    {"capacity", BlockQueue_capacity, nullptr, "Bytes in the ring.", nullptr},
    {"arena_id", BlockQueue_arena_id, nullptr, "The id of the queue's block arena; 0 when it has none.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot block_queue_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(BlockQueue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(BlockQueue_dealloc)},
    {Py_tp_methods, block_queue_methods},
    {Py_tp_getset, block_queue_getset},
    {Py_tp_doc, const_cast<char*>("BlockQueue(name)\n--\n\nA handle on the existing queue `name` that keeps its "
                                  "block arena in step with the records it puts and takes.")},
    {0, nullptr},
};

PyType_Spec block_queue_spec = {"kelvane._native.BlockQueue", sizeof(BlockQueueObject), 0, Py_TPFLAGS_DEFAULT,
                                block_queue_slots};

PyTypeObject* block_queue_type() { return py::create_type_once(block_queue, block_queue_spec); }

} // namespace

PyTypeObject* block_queue_type_object() { return block_queue_type(); }
PyTypeObject* block_type_object() { return block_type(); }

} // namespace kel::native
