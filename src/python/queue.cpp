// KelQueue and the view object of its zero-copy receive; the ring calls that
// KelPoolCore shares with it.

#include "module.hpp"
#include "ring_calls.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/queue.hpp"
#include "core/watch.hpp"

namespace kel::py {

namespace {

PyTypeObject* kel_queue = nullptr;
PyTypeObject* queue_view = nullptr;

constexpr std::uint64_t kMaxSizeMb = std::uint64_t{1} << 44; // D = size_mb << 20 must not wrap

struct KelQueueObject {
    PyObject_HEAD
    QueueSegment queue;
};

// Exports one record's payload to a memoryview and keeps the queue object, and so
// its mapping, alive for as long as any view of it exists.
struct QueueViewObject {
    PyObject_HEAD
    PyObject* owner;
    const std::uint8_t* data;
    Py_ssize_t length;
};

QueueSegment& queue_of(PyObject* o) { return reinterpret_cast<KelQueueObject*>(o)->queue; }
RingQueue& ring_of(PyObject* o) { return queue_of(o).ring; }

std::uint8_t* bytes_sink(void* context, std::uint32_t length) {
    auto* out = static_cast<PyObject**>(context);
    *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    return *out != nullptr ? reinterpret_cast<std::uint8_t*>(PyBytes_AsString(*out)) : nullptr;
}

// A queue that cannot be opened or created: the prefix names the step that failed.
// `name` is the caller's argument.
PyObject* raise_open_error(const QueueOpenError& error, PyObject* name) {
    switch (error.kind) {
    case QueueOpenError::Kind::NeverInitialised:
        PyErr_Format(PyExc_RuntimeError, "Failed to open mirrored shm: %s; KelQueue.unlink(%R) removes it",
                     error.display().c_str(), name);
        return nullptr;
    case QueueOpenError::Kind::Open:
        if (error.segment.kind == SegmentError::Kind::SizeMismatch)
            return raise_runtime("Failed to open mirrored shm: ",
                                 error.display() + "; every process must pass the creator's size_mb");
        return raise_runtime("Failed to open mirrored shm: ", error.display());
    case QueueOpenError::Kind::CapacityMismatch:
        return raise_runtime("Failed to open mirrored shm: ", error.display());
    case QueueOpenError::Kind::Create:
        return raise_runtime("Failed to create mirrored shm: ", error.display());
    case QueueOpenError::Kind::Init:
        return raise_runtime("Failed init buffer: ", error.display());
    }
    return internal_fault("unknown queue open error");
}

PyObject* new_queue_object(PyTypeObject* type, QueueSegment&& segment) {
    PyObject* self = alloc_instance(type);
    if (self == nullptr)
        return nullptr;
    std::construct_at(&queue_of(self), std::move(segment));
    return self;
}

// Opening may wait for a creator that has not finished: the whole construction runs
// without the interpreter lock.
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
        std::optional<Result<QueueSegment, QueueOpenError>> opened;
        {
            GilRelease nogil;
            opened.emplace(open_or_create_queue(name, size_mb << 20));
        }
        if (!opened->ok())
            return raise_open_error(opened->error(), argv[0]);
        return new_queue_object(type, std::move(opened->value()));
    });
}

// A handle on an existing queue, its size taken from the object: never creates one.
PyObject* KelQueue_attach(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::string_view name;
        if (!bind_args("attach", {"name"}, args, nargs, kwnames, argv) || !to_name(argv[0], "attach", "name", name))
            return nullptr;
        std::optional<Result<QueueSegment, QueueOpenError>> opened;
        {
            GilRelease nogil;
            opened.emplace(attach_queue(name));
        }
        if (!opened->ok())
            return raise_open_error(opened->error(), argv[0]);
        return new_queue_object(reinterpret_cast<PyTypeObject*>(cls), std::move(opened->value()));
    });
}

void KelQueue_dealloc(PyObject* self) {
    std::destroy_at(&queue_of(self));
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
        return queue_put(ring_of(self), data, size, "Queue put error: ");
    });
}

PyObject* KelQueue_get_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_queue_type, "KelQueue"))
            return nullptr;
        return queue_get(ring_of(self), "Queue get error: ");
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
        RingQueue& ring = ring_of(self);
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

PyObject* KelQueue_put_bytes_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        BufferView view;
        const void* data;
        std::uint64_t size;
        WaitBudget budget;
        PyObject* done;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("put_bytes_timed", {"data", "timeout", "done"}, args, nargs, kwnames, argv, 2) ||
            !budget.parse(argv[1], "put_bytes_timed", "timeout") ||
            !optional_list(argv[2], "put_bytes_timed", "done", done) ||
            !to_bytes_like(argv[0], "put_bytes_timed", "data", view, data, size))
            return nullptr;
        const Piece piece{data, size};
        return put_pieces(ring_of(self), std::span(&piece, 1), budget, done);
    });
}

PyObject* KelQueue_put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        WaitBudget budget;
        Batch batch;
        PyObject* done;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("put_many", {"items", "timeout", "done"}, args, nargs, kwnames, argv, 2) ||
            !budget.parse(argv[1], "put_many", "timeout") || !optional_list(argv[2], "put_many", "done", done) ||
            !batch.collect(argv[0], "put_many"))
            return nullptr;
        if (batch.pieces.empty())
            Py_RETURN_TRUE;
        return put_pieces(ring_of(self), batch.pieces, budget, done);
    });
}

PyObject* KelQueue_get_bytes_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        WaitBudget budget;
        PyObject* into;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("get_bytes_timed", {"timeout", "into"}, args, nargs, kwnames, argv, 1) ||
            !budget.parse(argv[0], "get_bytes_timed", "timeout") ||
            !optional_list(argv[1], "get_bytes_timed", "into", into))
            return nullptr;
        return take(ring_of(self), 1, budget, "Queue get error: ", false, into);
    });
}

PyObject* KelQueue_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        std::uint64_t max_items = 0;
        WaitBudget budget;
        PyObject* into;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("get_many", {"max_items", "timeout", "into"}, args, nargs, kwnames, argv, 2) ||
            !to_u64(argv[0], "get_many", "max_items", max_items) || !budget.parse(argv[1], "get_many", "timeout") ||
            !optional_list(argv[2], "get_many", "into", into))
            return nullptr;
        if (max_items == 0) {
            PyErr_SetString(PyExc_ValueError, "get_many() argument 'max_items' must be at least 1");
            return nullptr;
        }
        return take(ring_of(self), static_cast<std::size_t>(std::min<std::uint64_t>(max_items, SIZE_MAX)), budget,
                    "Queue get error: ", true, into);
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
        RingQueue& ring = ring_of(self);
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
        RingQueue& ring = ring_of(self);
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
        return PyLong_FromUnsignedLongLong(ring_of(self).capacity());
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
        RingQueue& ring = ring_of(self);
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

PyObject* KelQueue_withdraw_claim(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_queue_type, "KelQueue"))
            return nullptr;
        ring_of(self).withdraw_claim(kNoWait);
        Py_RETURN_NONE;
    });
}

PyObject* KelQueue_try_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        BufferView view;
        const void* data;
        std::uint64_t size;
        PyObject* done;
        int claim = 0;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("try_put", {"data", "done", "claim"}, args, nargs, kwnames, argv, 1) ||
            !optional_list(argv[1], "try_put", "done", done) || !to_flag(argv[2], claim) ||
            !to_bytes_like(argv[0], "try_put", "data", view, data, size))
            return nullptr;
        const Piece piece{data, size};
        return try_store(ring_of(self), std::span(&piece, 1), claim != 0, done);
    });
}

PyObject* KelQueue_try_put_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        Batch batch;
        PyObject* done;
        int claim = 0;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("try_put_many", {"items", "done", "claim"}, args, nargs, kwnames, argv, 1) ||
            !optional_list(argv[1], "try_put_many", "done", done) || !to_flag(argv[2], claim) ||
            !batch.collect(argv[0], "try_put_many"))
            return nullptr;
        if (batch.pieces.empty())
            Py_RETURN_TRUE;
        return try_store(ring_of(self), batch.pieces, claim != 0, done);
    });
}

PyObject* KelQueue_try_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[2];
        std::uint64_t max_items = 0;
        PyObject* into;
        if (!check_receiver(self, kel_queue_type, "KelQueue") ||
            !bind_args("try_get_many", {"max_items", "into"}, args, nargs, kwnames, argv, 1) ||
            !to_u64(argv[0], "try_get_many", "max_items", max_items) ||
            !optional_list(argv[1], "try_get_many", "into", into))
            return nullptr;
        if (max_items == 0) {
            PyErr_SetString(PyExc_ValueError, "try_get_many() argument 'max_items' must be at least 1");
            return nullptr;
        }
        return try_take(ring_of(self), static_cast<std::size_t>(std::min<std::uint64_t>(max_items, SIZE_MAX)), into);
    });
}

PyObject* KelQueue_stats_nowait(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_queue_type, "KelQueue"))
            return nullptr;
        RingQueue& ring = ring_of(self);
        Fill fill{};
        auto counted = ring.fill_unlocked(fill);
        if (!counted.ok())
            return raise_queue_error("Queue stats error: ", counted.error());
        if (!counted.value()) { // consumers kept moving: count under the mutex if it is free
            auto locked = ring.fill(fill, kNoWait);
            if (!locked.ok())
                return raise_queue_error("Queue stats error: ", locked.error());
            if (locked.value() == Attempt::Busy)
                Py_RETURN_NONE;
        }
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(fill.bytes),
                             static_cast<unsigned long long>(fill.messages));
    });
}

// The word of this process that wait_any sleeps on besides the queues' words: four
// aligned bytes of a writable buffer the caller owns (a bytearray), exported for the call.
class WakeWord {
public:
    WakeWord() = default;
    WakeWord(const WakeWord&) = delete;
    WakeWord& operator=(const WakeWord&) = delete;
    ~WakeWord() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    [[nodiscard]] bool acquire(PyObject* o, const char* fname) {
        if (PyObject_GetBuffer(o, &view_, PyBUF_WRITABLE) != 0)
            return false;
        held_ = true;
        if (view_.len < 4 || reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(std::uint32_t) != 0) {
            PyErr_Format(PyExc_ValueError, "%s() argument 'word' must be a writable buffer of at least 4 bytes, "
                         "aligned to 4 (a bytearray)", fname);
            return false;
        }
        return true;
    }
    [[nodiscard]] std::uint32_t* word() const noexcept { return static_cast<std::uint32_t*>(view_.buf); }

private:
    Py_buffer view_;
    bool held_ = false;
};

PyObject* KelQueue_wait_any(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[4];
        WakeWord wake;
        std::uint64_t seen = 0;
        WaitBudget budget;
        if (!bind_args("wait_any", {"waits", "word", "seen", "timeout"}, args, nargs, kwnames, argv) ||
            !wake.acquire(argv[1], "wait_any") || !to_u64(argv[2], "wait_any", "seen", seen) ||
            !budget.parse(argv[3], "wait_any", "timeout"))
            return nullptr;
        if (seen > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "wait_any() argument 'seen' must be less than 2**32");
            return nullptr;
        }
        // The tuple keeps every pair, and so every queue and its mapping, alive meanwhile.
        Ref waits(PySequence_Tuple(argv[0]));
        if (!waits)
            return nullptr;
        const Py_ssize_t n = PyTuple_Size(waits.get());
        std::vector<Watch> watches;
        watches.reserve(static_cast<std::size_t>(n));
        PyTypeObject* queue_type = kel_queue_type();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyTuple_GetItem(waits.get(), i);
            const Py_ssize_t fields = PyTuple_Check(pair) ? PyTuple_Size(pair) : 0;
            PyObject* queue = fields == 2 || fields == 3 ? PyTuple_GetItem(pair, 0) : nullptr;
            std::uint64_t room = 0;
            std::uint64_t claimant = 0;
            if (queue == nullptr || queue_type == nullptr || !PyObject_TypeCheck(queue, queue_type)) {
                PyErr_Format(PyExc_TypeError,
                             "wait_any() argument 'waits' must hold (KelQueue, room) pairs or (KelQueue, room, "
                             "claimant) triples, not %R at index %zd",
                             pair, i);
                return nullptr;
            }
            if (!to_u64(PyTuple_GetItem(pair, 1), "wait_any", "room", room) ||
                (fields == 3 && !to_u64(PyTuple_GetItem(pair, 2), "wait_any", "claimant", claimant)))
                return nullptr;
            if (claimant > UINT32_MAX) {
                PyErr_SetString(PyExc_OverflowError, "wait_any(): a claimant is a thread id, less than 2**32");
                return nullptr;
            }
            RingQueue& ring = ring_of(queue);
            if (room > ring.capacity()) {
                PyErr_Format(PyExc_ValueError, "wait_any(): a queue of %llu bytes never has room for %llu bytes",
                             static_cast<unsigned long long>(ring.capacity()), static_cast<unsigned long long>(room));
                return nullptr;
            }
            watches.push_back(Watch{&ring, room, static_cast<std::uint32_t>(claimant), false});
        }
        // A switch for tests and odd sandboxes: the polling every kernel has.
        const char* poll = std::getenv("KELVANE_WAIT_POLL");
        const WaitMethod method = poll != nullptr && *poll != '\0' && *poll != '0' ? WaitMethod::Poll
                                                                                     : WaitMethod::Vector;
        const auto until = budget.until();
        std::uint32_t* word = wake.word();
        // In slices, so that signal handlers run meanwhile.
        for (;;) {
            const auto now = Clock::now();
            const auto end = until - now > WaitBudget::kSlice ? now + WaitBudget::kSlice : until;
            std::optional<Result<std::size_t, QueueError>> waited;
            {
                GilRelease nogil;
                waited.emplace(wait_any(watches, word, static_cast<std::uint32_t>(seen), end, method));
            }
            if (!waited->ok())
                return raise_queue_error("Queue wait error: ", waited->error());
            if (waited->value() > 0) {
                Ref ready(PyList_New(0));
                if (!ready)
                    return nullptr;
                for (std::size_t i = 0; i < watches.size(); ++i) {
                    if (!watches[i].ready)
                        continue;
                    Ref index(PyLong_FromSize_t(i));
                    if (!index || PyList_Append(ready.get(), index.get()) != 0)
                        return nullptr;
                }
                return ready.release();
            }
            if (std::atomic_ref<std::uint32_t>(*word).load() != seen || Clock::now() >= until)
                return PyList_New(0);
            if (PyErr_CheckSignals() < 0)
                return nullptr;
        }
    });
}

PyObject* KelQueue_interrupt_wait(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        WakeWord wake;
        if (!bind_args("interrupt_wait", {"word"}, args, nargs, kwnames, argv) ||
            !wake.acquire(argv[0], "interrupt_wait"))
            return nullptr;
        if (auto st = interrupt_wait(wake.word()); !st.ok())
            return raise_queue_error("Queue wait error: ", st.error());
        Py_RETURN_NONE;
    });
}

PyObject* KelQueue_unlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unlink_by_name(args, nargs, kwnames);
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
     "put_bytes_timed($self, data, timeout, done=None)\n--\n\nPut one message (any C-contiguous buffer), waiting "
     "at most `timeout` seconds for room (None: as long as it takes; 0: never waits).\nReturns True when the "
     "message was put, False on timeout. `done` (a list): 1 is appended to it once the message is in the queue, "
     "before the call returns."},
    {"get_bytes_timed", as_cfunction(KelQueue_get_bytes_timed), METH_FASTCALL | METH_KEYWORDS,
     "get_bytes_timed($self, timeout, into=None)\n--\n\nTake the oldest message, waiting at most `timeout` "
     "seconds (None: as long as it takes; 0: never waits).\nReturns the message, or None on timeout. `into` (a "
     "list): the message is appended to it as it is taken, before the call returns."},
    {"put_many", as_cfunction(KelQueue_put_many), METH_FASTCALL | METH_KEYWORDS,
     "put_many($self, items, timeout, done=None)\n--\n\nPut a sequence of messages (any C-contiguous buffers) as "
     "one batch: all of them, next to each other, or none.\nReturns True when the batch was put, False on timeout. "
     "`done` (a list): the number of messages is appended to it once they are in the queue."},
    {"get_many", as_cfunction(KelQueue_get_many), METH_FASTCALL | METH_KEYWORDS,
     "get_many($self, max_items, timeout, into=None)\n--\n\nWait at most `timeout` seconds for a message, then "
     "take up to max_items messages at once.\nReturns a list, empty on timeout; with `into` (a list), the messages "
     "are appended to it as they are taken and it is returned."},
    {"recv_view_timed", as_cfunction(KelQueue_recv_view_timed), METH_FASTCALL | METH_KEYWORDS,
     "recv_view_timed($self, timeout)\n--\n\nrecv_view, waiting at most `timeout` seconds.\nReturns "
     "(memoryview, next_pos), or None on timeout."},
    {"attach", as_cfunction(KelQueue_attach), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "attach($type, name)\n--\n\nOpen the existing queue `name`, whatever its size; never creates one.\nRaises "
     "RuntimeError (Nix error: ENOENT) when there is none."},
    {"try_put", as_cfunction(KelQueue_try_put), METH_FASTCALL | METH_KEYWORDS,
     "try_put($self, data, done=None, claim=False)\n--\n\nPut one message (any C-contiguous buffer) if that can "
     "be done at once, never waiting, not even for the queue's lock.\nReturns True when it was put, False when "
     "there is no room for it, None when the queue's lock was held at that instant. `done`: as for "
     "put_bytes_timed. `claim`: without room, this thread claims it, or renews its claim, as a put that has waited "
     "does; a claim lapses unless renewed within half a second (see withdraw_claim)."},
    {"try_put_many", as_cfunction(KelQueue_try_put_many), METH_FASTCALL | METH_KEYWORDS,
     "try_put_many($self, items, done=None, claim=False)\n--\n\nPut a sequence of messages as one batch, all or "
     "none, never waiting.\nReturns True when the batch was put, False when there is no room for all of it, None "
     "when the queue's lock was held at that instant. `done` and `claim`: as for try_put."},
    {"withdraw_claim", KelQueue_withdraw_claim, METH_NOARGS,
     "withdraw_claim($self)\n--\n\nDrop this thread's claim on room, if it has one (see try_put), trying the "
     "queue's lock once: a claim that stays lapses by itself."},
    {"try_get_many", as_cfunction(KelQueue_try_get_many), METH_FASTCALL | METH_KEYWORDS,
     "try_get_many($self, max_items, into=None)\n--\n\nTake up to max_items messages that are there, never "
     "waiting, not even for the queue's lock.\nReturns a list (empty when the queue is empty; `into` itself when "
     "given, the messages appended to it as they are taken), or None when the queue's lock was held at that "
     "instant."},
    {"stats_nowait", KelQueue_stats_nowait, METH_NOARGS,
     "stats_nowait($self)\n--\n\nstats() without waiting for the queue's lock: counted without it when no "
     "consumer moves meanwhile, else under it if it is free.\nReturns (bytes_held, messages_held), or None."},
    {"wait_any", as_cfunction(KelQueue_wait_any), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "wait_any(waits, word, seen, timeout)\n--\n\nWait, without the interpreter lock, until one of several "
     "queues has what a caller waits for: `waits` is a sequence of (KelQueue, room) pairs, room 0 for a message, "
     "n > 0 for n bytes of room (a message takes its length plus 4); a triple (KelQueue, room, claimant) counts "
     "the claim on room of the thread `claimant` (threading.get_native_id()) as free room.\nAlso returns when "
     "the first 4 bytes of `word` (a bytearray) no longer hold `seen` (see interrupt_wait), or after `timeout` "
     "seconds (None: no "
     "limit).\nReturns the indices of the pairs that were ready, empty when woken or timed out; another "
     "consumer or producer may still be first."},
    {"interrupt_wait", as_cfunction(KelQueue_interrupt_wait), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "interrupt_wait(word)\n--\n\nChange the first 4 bytes of `word` and wake the wait_any calls of this "
     "process that wait on it."},
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
