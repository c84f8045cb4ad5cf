// The ring calls that every queue handle of the package shares, whichever module
// defines its type: KelQueue (kelvane_core) and the block-aware handle of
// kelvane._native run exactly the same code over their RingQueue.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pyutil.hpp"

#include "core/queue.hpp"

namespace kel::py {

// Maps a ring attempt to a step, raising prefix + error on failure.
Step step_of(Result<Attempt, QueueError> attempt, const char* prefix);
// The same without the interpreter lock: the error is kept for the caller to raise.
Step step_of(Result<Attempt, QueueError>&& attempt, std::optional<QueueError>& error);
WaitFor wait_for(const WaitBudget& budget);
// The optional list argument of a call that takes or stores records (nullptr: none);
// see the definition.
[[nodiscard]] bool optional_list(PyObject* o, const char* fname, const char* param, PyObject*& out);
// After a put that stored `count` messages: says so in `done`.
void note_stored(PyObject* done, std::size_t count);
// A producer that claimed room and then gave up lets the others go on at once.
void give_up_claim(RingQueue& ring);
// Ends a sliced call: the result on Done, `timed_out` (a new reference) on Again,
// nullptr with the exception set on Failed.
PyObject* finish(Step step, bool wait_failed, const std::optional<QueueError>& error, const char* prefix,
                 PyObject* result, PyObject* timed_out);
// Puts a batch waiting as `budget` allows: True, False on timeout, or raises.
PyObject* put_pieces(RingQueue& ring, std::span<const Piece> batch, const WaitBudget& budget, PyObject* done);

// The messages of a batch argument: `items` keeps every item alive while the
// interpreter lock is given up, and `views` every export of one that is not a bytes
// object (each stays where it was made).
struct Batch {
    Ref items;
    std::vector<Piece> pieces;
    std::vector<std::unique_ptr<BufferView>> views;

    // Raises TypeError or BufferError naming the argument and item.
    [[nodiscard]] bool collect(PyObject* sequence, const char* fname);
};

// The record is copied straight into a new bytes object under the queue mutex,
// which only a thread that holds the interpreter lock can make. While the mutex is
// busy, waiting for it with the interpreter lock held would stall the process's
// other threads, and waiting without it and then trying again with it can lose
// every round to a process that takes the mutex over and over. So a bytes object
// is made beforehand, with the interpreter lock, for the length the positions show
// for the oldest record, and the wait for the mutex takes that record straight into
// it. A record of another length by then (another consumer was first) stays queued:
// the next round makes a new one. Nothing is consumed that has no object yet.
struct Spare {
    Ref bytes;
    std::uint32_t length = 0;
    std::uint8_t* data = nullptr;

    // With the interpreter lock; false with MemoryError set.
    bool prepare(std::uint32_t wanted) {
        if (bytes && length == wanted)
            return true;
        bytes = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
        if (!bytes)
            return false;
        length = wanted;
        data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
        return true;
    }

    // Runs without the interpreter lock: the object is this thread's alone until returned.
    static std::uint8_t* sink(void* context, std::uint32_t length) {
        auto* spare = static_cast<Spare*>(context);
        return length == spare->length ? spare->data : nullptr;
    }
};

// A sink that appends a new bytes object to a list (the context).
std::uint8_t* list_sink(void* context, std::uint32_t length);
// Takes up to `max` records into `into` (or a new list), waiting as `budget` allows:
// the list (as_list), or the one record taken, or the timeout's answer.
PyObject* take(RingQueue& ring, std::size_t max, const WaitBudget& budget, const char* prefix, bool as_list,
               PyObject* into);
// The records there now, never waiting: `into` (or a new list), or None when the mutex was held.
PyObject* try_take(RingQueue& ring, std::size_t max, PyObject* into);
// True, False or None for an attempt that never waits (None: the mutex was held).
PyObject* tri_state(const Result<Attempt, QueueError>& attempt, const char* prefix);
// An optional flag argument: absent is false.
[[nodiscard]] bool to_flag(PyObject* o, int& out);
// One try of a put that never waits; `claim`: without room, claim it.
PyObject* try_store(RingQueue& ring, std::span<const Piece> batch, bool claim, PyObject* done);

} // namespace kel::py
