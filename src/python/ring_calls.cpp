// The ring calls every queue handle shares (ring_calls.hpp).

#include "ring_calls.hpp"

#include <algorithm>
#include <chrono>

namespace kel::py {

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

// The optional list argument of a call that takes or stores records (nullptr: none).
// A call that takes records appends each to it as it is taken, and a put appends the
// number of messages it stored: the caller finds them there even when an exception
// from a signal handler reaches it right after the call returned, before it could
// keep the result.
bool optional_list(PyObject* o, const char* fname, const char* param, PyObject*& out) {
    out = nullptr;
    if (o == nullptr || o == Py_None)
        return true;
    if (!PyList_Check(o)) {
        Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a list or None, not %S", fname, param,
                     type_name ? type_name.get() : Py_None);
        return false;
    }
    out = o;
    return true;
}

// After a put that stored `count` messages: says so in `done`. The messages are in the
// queue whatever happens here, so a failure to record it is not reported.
void note_stored(PyObject* done, std::size_t count) {
    if (done == nullptr)
        return;
    Ref n(PyLong_FromSize_t(count));
    if (!n || PyList_Append(done, n.get()) != 0)
        PyErr_Clear();
}

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

PyObject* put_pieces(RingQueue& ring, std::span<const Piece> batch, const WaitBudget& budget, PyObject* done) {
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
    else
        note_stored(done, batch.size());
    return finish(step, wait_failed, error, prefix, Py_NewRef(Py_True), Py_NewRef(Py_False));
}

bool Batch::collect(PyObject* sequence, const char* fname) {
    items = Ref(PySequence_Tuple(sequence));
    if (!items)
        return false;
    const Py_ssize_t n = PyTuple_Size(items.get());
    pieces.reserve(static_cast<std::size_t>(n));
    views.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GetItem(items.get(), i);
        if (PyBytes_Check(item)) {
            pieces.push_back(Piece{PyBytes_AsString(item), static_cast<std::uint64_t>(PyBytes_Size(item))});
            continue;
        }
        if (!PyObject_CheckBuffer(item)) {
            Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__name__"));
            PyErr_Format(PyExc_TypeError, "%s() argument 'items' must hold bytes-like objects, not %S at index %zd",
                         fname, type_name ? type_name.get() : Py_None, i);
            return false;
        }
        BufferView& view = *views.emplace_back(std::make_unique<BufferView>());
        if (!view.acquire(item, fname, "items", i))
            return false;
        pieces.push_back(Piece{view.data(), view.size()});
    }
    return true;
}


std::uint8_t* list_sink(void* context, std::uint32_t length) {
    auto* list = static_cast<PyObject*>(context);
    Ref item(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!item || PyList_Append(list, item.get()) != 0)
        return nullptr;
    // The list holds it now; bytes objects never move.
    return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(item.get()));
}


// Takes records into `into` when given (see optional_list), else into a new list; returns
// the list (as_list) or the one record taken.
PyObject* take(RingQueue& ring, std::size_t max, const WaitBudget& budget, const char* prefix, bool as_list,
               PyObject* into) {
    Ref list(into != nullptr ? Py_NewRef(into) : PyList_New(0));
    if (!list)
        return nullptr;
    const Py_ssize_t start = PyList_Size(list.get());
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
        if (!as_list && into == nullptr)
            return spare.bytes.release();
        if (PyList_Append(list.get(), spare.bytes.get()) != 0)
            return nullptr;
    }
    if (step == Step::Done && !as_list) {
        PyObject* item = PyList_GetItem(list.get(), start);
        return finish(step, wait_failed, error, prefix, Py_NewRef(item), Py_NewRef(Py_None));
    }
    PyObject* timed_out = !as_list ? Py_NewRef(Py_None) : into != nullptr ? Py_NewRef(into) : PyList_New(0);
    return finish(step, wait_failed, error, prefix, list.release(), timed_out);
}

// ---------------------------------------------------------------------------
// Calls that never wait, not even for a busy mutex: one try with the interpreter lock
// held, for a thread that must never block (an event loop's). They answer a third
// way, None, when another thread or process held the queue's mutex at that instant.

PyObject* tri_state(const Result<Attempt, QueueError>& attempt, const char* prefix) {
    if (!attempt.ok())
        return raise_queue_error(prefix, attempt.error());
    switch (attempt.value()) {
    case Attempt::Done:
        Py_RETURN_TRUE;
    case Attempt::WouldBlock:
        Py_RETURN_FALSE;
    case Attempt::Busy:
        Py_RETURN_NONE;
    case Attempt::SinkFailed:
        break;
    }
    return nullptr; // the sink's exception is set
}

// An optional flag argument: absent is false.
bool to_flag(PyObject* o, int& out) {
    out = o == nullptr ? 0 : PyObject_IsTrue(o);
    return out >= 0;
}

// One try of a put that never waits; `claim`: without room, claim it (WaitFor::Claim).
PyObject* try_store(RingQueue& ring, std::span<const Piece> batch, bool claim, PyObject* done) {
    auto attempt = claim ? ring.try_put_claiming(batch) : ring.try_put(batch);
    PyObject* result = tri_state(attempt, "Queue put error: ");
    if (result == Py_True)
        note_stored(done, batch.size());
    return result;
}


PyObject* try_take(RingQueue& ring, std::size_t max, PyObject* into) {
    Ref list(into != nullptr ? Py_NewRef(into) : PyList_New(0));
    if (!list)
        return nullptr;
    std::size_t taken = 0;
    auto attempt = ring.try_get_many(list_sink, list.get(), max, taken);
    if (attempt.ok() && attempt.value() == Attempt::Done && PyErr_Occurred())
        PyErr_Clear(); // a later record could not be had: it stays queued, the earlier ones are ours
    if (attempt.ok() && attempt.value() != Attempt::SinkFailed && attempt.value() != Attempt::Busy)
        return list.release(); // Done, or WouldBlock: empty
    return tri_state(attempt, "Queue get error: ");
}

} // namespace kel::py
