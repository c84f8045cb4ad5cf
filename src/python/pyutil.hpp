// Small pieces the binding layer shares: references, the interpreter-lock guard,
// argument binding and conversion, sliced waits, raising error values.
#pragma once

#include <Python.h>
#include <pthread.h>

// The one stable-ABI build runs on every interpreter from the oldest it names
// (Py_LIMITED_API, 3.11) on, whichever interpreter's headers compiled it. The 3.12
// and early 3.13 headers return None, True, False and NotImplemented from these
// macros without a new reference even for an older target (CPython gh-134989). That
// is sound only where those objects are immortal (3.12 on): on 3.11 every such return
// gives away a reference the module never took, until the interpreter deallocates
// None and aborts. Every return of a singleton here takes its own reference, as the
// stable ABI requires, whatever the headers say. Every source includes Python.h
// through this header, so these are the definitions the module is built with.
#undef Py_RETURN_NONE
#undef Py_RETURN_TRUE
#undef Py_RETURN_FALSE
#undef Py_RETURN_NOTIMPLEMENTED
#define Py_RETURN_NONE return Py_NewRef(Py_None)
#define Py_RETURN_TRUE return Py_NewRef(Py_True)
#define Py_RETURN_FALSE return Py_NewRef(Py_False)
#define Py_RETURN_NOTIMPLEMENTED return Py_NewRef(Py_NotImplemented)

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>

namespace kel {
struct QueueError;
}

namespace kel::py {

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// One strong reference, dropped on destruction.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    [[nodiscard]] explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Takes the interpreter lock back after PyEval_SaveThread; every place that does so
// goes through here. While the interpreter finalizes, CPython never gives it to a
// daemon thread again: up to 3.13 it ends the thread with pthread_exit, a forced
// unwind that would reach one of our noexcept frames and abort the whole process;
// 3.14 blocks the thread for ever. Such a thread is parked here for ever instead,
// as 3.14 does, and the process exit ends it. At this point it holds neither the
// interpreter lock nor a queue mutex. Letting the unwind run through our frames
// instead would drop Python references without the interpreter lock.
void restore_thread(PyThreadState* state) noexcept;

// A mutex the calling thread has just taken, without the interpreter lock, for a
// caller that is still to learn of it: if the thread is parked by restore_thread,
// nobody ever will, and the mutex is unlocked first. Cleared by restore_thread.
void unlock_if_parked(pthread_mutex_t* mutex) noexcept;

// Gives up the interpreter lock for the guard's scope. Nothing inside may touch a
// Python object, and nothing inside may wait for the interpreter lock.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { restore_thread(state_); }

private:
    PyThreadState* state_;
};

// One export of an object's bytes, released when the guard goes. Made and dropped
// with the interpreter lock held, around the calls that give it up; meanwhile the
// exporter keeps the memory where it is (a bytearray cannot be resized, say).
// Neither copied nor moved: the exporter may know it by its address.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    // The C-contiguous bytes of `o`, argument `param` of `fname` (item `index` of it
    // unless negative). Raises BufferError for a layout that is not C-contiguous,
    // else the exporter's own error.
    [[nodiscard]] bool acquire(PyObject* o, const char* fname, const char* param, Py_ssize_t index);
    [[nodiscard]] const void* data() const noexcept { return view_.buf; }
    [[nodiscard]] std::uint64_t size() const noexcept { return static_cast<std::uint64_t>(view_.len); }

private:
    Py_buffer view_; // filled by the export; read only while held_
    bool held_ = false;
};

// Binds positional and keyword arguments (vectorcall or tuple/dict form) to the
// parameter names in order; the first `required` (all, if negative) must be given,
// and a missing one after them is left null. Raises TypeError as the interpreter's
// own parser words it.
[[nodiscard]] bool bind_args(const char* fname, std::initializer_list<const char*> names, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames, PyObject** out, Py_ssize_t required = -1);
[[nodiscard]] bool bind_args(const char* fname, std::initializer_list<const char*> names, PyObject* args,
                             PyObject* kwargs, PyObject** out, Py_ssize_t required = -1);

// Conversions; each raises with the parameter's name on failure.
[[nodiscard]] bool to_name(PyObject* o, const char* fname, const char* param, std::string_view& out);
[[nodiscard]] bool to_u64(PyObject* o, const char* fname, const char* param, std::uint64_t& out);
[[nodiscard]] bool to_bytes(PyObject* o, const char* fname, const char* param, const char*& data,
                            std::uint64_t& size);
// Any bytes-like object: a bytes object directly, anything else through `view`.
[[nodiscard]] bool to_bytes_like(PyObject* o, const char* fname, const char* param, BufferView& view,
                                 const void*& data, std::uint64_t& size);

// How long a call may wait, from its `timeout` argument: None or +inf for as long as
// it takes, else seconds >= 0 on the monotonic clock.
class WaitBudget {
public:
    using Clock = std::chrono::steady_clock;
    // Between slices the interpreter lock is taken back to run signal handlers, so
    // Ctrl-C reaches a waiting call within one slice.
    static constexpr auto kSlice = std::chrono::milliseconds(50);

    // A budget that never waits, read without the clock.
    [[nodiscard]] static WaitBudget none() noexcept {
        WaitBudget budget;
        budget.forever_ = false;
        return budget;
    }
    // Raises TypeError or ValueError naming the parameter.
    [[nodiscard]] bool parse(PyObject* o, const char* fname, const char* param);
    [[nodiscard]] bool forever() const noexcept { return forever_; }
    [[nodiscard]] bool nonblocking() const noexcept { return !forever_ && seconds_ == 0; }
    // Until when the call may wait for what it needs (for a zero timeout: never).
    [[nodiscard]] Clock::time_point until() const noexcept { return forever_ ? Clock::time_point::max() : end_; }
    // Until when it may wait for a mutex that somebody else holds: as long as for
    // anything else, except that a zero timeout, which waits for nothing else, does
    // wait for it up to `bound`.
    [[nodiscard]] Clock::time_point busy_until(Clock::duration bound) const noexcept {
        return nonblocking() ? start_ + bound : until();
    }

private:
    bool forever_ = true;
    double seconds_ = 0;
    Clock::time_point start_{}; // read only for a limited wait: a call without one never reads the clock
    Clock::time_point end_{};
};

// The outcome of one step of a sliced wait: done; not possible yet (no data, room
// or lock); a busy queue mutex; or failed.
enum class Step { Done, Again, Busy, Failed };

// A waiting call in slices. `try_once()` runs with the interpreter lock and never
// waits; `wait_slice(why, end)` runs without it and waits at most until `end` for
// what `why` (Again or Busy) says was missing; either may finish the operation
// (Done), ask for another round (Again, Busy) or fail (Failed; try_once raises
// itself, wait_slice leaves its error for the caller to raise). Returns Done, Again
// when the budget ran out, or Failed; a signal handler that raises between slices
// ends the wait with Failed and the exception set. A busy mutex is waited for up to
// budget.busy_until(busy_bound).
template <class Try, class Wait>
Step run_sliced(const WaitBudget& budget, WaitBudget::Clock::duration busy_bound, Try try_once, Wait wait_slice,
                bool& wait_failed) {
    wait_failed = false;
    for (;;) {
        const Step tried = try_once();
        if (tried == Step::Done || tried == Step::Failed)
            return tried;
        if (tried == Step::Again && budget.nonblocking())
            return Step::Again; // the answer of a call that waits for no data or room
        const auto until = tried == Step::Busy ? budget.busy_until(busy_bound) : budget.until();
        const auto now = WaitBudget::Clock::now();
        if (now >= until)
            return Step::Again;
        const auto end = until - now > WaitBudget::kSlice ? now + WaitBudget::kSlice : until;
        Step waited;
        {
            GilRelease nogil;
            waited = wait_slice(tried, end);
        }
        if (waited == Step::Failed)
            wait_failed = true;
        if (waited == Step::Done || waited == Step::Failed)
            return waited;
        if (PyErr_CheckSignals() < 0)
            return Step::Failed;
    }
}

// Sets RuntimeError(prefix + text) and returns nullptr.
PyObject* raise_runtime(std::string_view prefix, const std::string& text);
// The same for a queue error; one that blames the caller's argument is a ValueError of its own text.
PyObject* raise_queue_error(std::string_view prefix, const QueueError& error);

// Runs one entry point so that no C++ exception reaches the interpreter.
template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "kelvane_core: internal error");
    }
    return {};
}

// Creates a heap type from its PyType_Spec once; `slot` keeps it for the process.
inline PyTypeObject* create_type_once(PyTypeObject*& slot, PyType_Spec& type_spec) {
    if (slot == nullptr) [[unlikely]]
        slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return slot;
}

// A new instance of a heap type through its tp_alloc slot, for a tp_new.
PyObject* alloc_instance(PyTypeObject* type);
// Frees an instance through its type's tp_free slot and drops the instance's reference
// to its heap type: the last step of every deallocator.
void free_instance(PyObject* self);

// The receiver test of every instance method when the receiver is not of the exact
// type: a subtype passes; else raises (the internal fault text when the type object
// itself cannot be made).
[[nodiscard]] bool check_receiver_slow(PyObject* self, PyTypeObject* type, const char* class_name);

// Receiver test of every instance method: inline for the exact type, the case of every call.
[[nodiscard]] inline bool check_receiver(PyObject* self, PyTypeObject* (*type_of)(), const char* class_name) {
    PyTypeObject* type = type_of();
    if (type != nullptr && Py_IS_TYPE(self, type)) [[likely]]
        return true;
    return check_receiver_slow(self, type, class_name);
}

// For a method without arguments declared METH_FASTCALL (which the interpreter calls
// by its fastest path also when bound): raises TypeError as the interpreter words it
// for METH_NOARGS.
[[nodiscard]] inline bool no_args(const char* qualname, Py_ssize_t nargs) {
    if (nargs == 0) [[likely]]
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", qualname, nargs);
    return false;
}

// Writes an internal fault to standard error and raises it as RuntimeError.
PyObject* internal_fault(const std::string& text);

} // namespace kel::py
