// kelvane._native.LockWaiter: where the one thread of a process that waits for the
// locks its event loops await (kelvane/_aio_lock.py) sleeps, until one of them comes
// free (core/lock_watch.hpp) or another thread of the process interrupts it: a new
// lock to watch, a watch given up, the interpreter exiting.
//
// The object holds the word the interrupts bump. The waiting thread reads it with
// seen() while it looks at what to watch, and waits with that value: an interrupt
// made after the look ends the wait at once.

#include "native.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "core/lock_watch.hpp"

namespace kel::native {

namespace {

using py::Ref;

PyTypeObject* lock_waiter_type_object = nullptr;

struct LockWaiterObject {
    PyObject_HEAD
    std::uint32_t wake;
};

std::uint32_t* wake_of(PyObject* self) { return &reinterpret_cast<LockWaiterObject*>(self)->wake; }

bool is_waiter(PyObject* self) { return py::check_receiver(self, lock_waiter_type, "LockWaiter"); }

PyObject* LockWaiter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        if (!py::bind_args("LockWaiter", {}, args, kwargs, nullptr))
            return nullptr;
        PyObject* self = py::alloc_instance(type);
        if (self != nullptr)
            *wake_of(self) = 0;
        return self;
    });
}

void LockWaiter_dealloc(PyObject* self) { py::free_instance(self); }

PyObject* LockWaiter_seen(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (!is_waiter(self) || !py::no_args("LockWaiter.seen", nargs))
            return nullptr;
        return PyLong_FromUnsignedLong(std::atomic_ref<std::uint32_t>(*wake_of(self)).load());
    });
}

PyObject* LockWaiter_interrupt(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (!is_waiter(self) || !py::no_args("LockWaiter.interrupt", nargs))
            return nullptr;
        interrupt_lock_wait(wake_of(self));
        Py_RETURN_NONE;
    });
}

PyObject* LockWaiter_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&]() -> PyObject* {
        PyObject* argv[3];
        std::uint64_t seen = 0;
        py::WaitBudget budget;
        if (!is_waiter(self) || !py::bind_args("wait", {"locks", "seen", "timeout"}, args, nargs, kwnames, argv) ||
            !py::to_u64(argv[1], "wait", "seen", seen) || !budget.parse(argv[2], "wait", "timeout"))
            return nullptr;
        if (seen > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "wait() argument 'seen' must be less than 2**32");
            return nullptr;
        }
        // The tuple keeps every lock, and so its mapping, alive meanwhile.
        Ref locks(PySequence_Tuple(argv[0]));
        if (!locks)
            return nullptr;
        PyTypeObject* type = lock_type();
        if (type == nullptr)
            return nullptr;
        const Py_ssize_t n = PyTuple_Size(locks.get());
        std::vector<LockWatch> watches;
        watches.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* lock = PyTuple_GetItem(locks.get(), i);
            if (!PyObject_TypeCheck(lock, type)) {
                PyErr_Format(PyExc_TypeError, "wait() argument 'locks' must hold kelvane.Lock objects, not %R at "
                             "index %zd", lock, i);
                return nullptr;
            }
            watches.push_back(LockWatch{lock_mutex(lock), false});
        }
        // A switch for tests and odd sandboxes: the polling every kernel has.
        const char* poll = std::getenv("KELVANE_WAIT_POLL");
        const LockWaitMethod method = poll != nullptr && *poll != '\0' && *poll != '0' ? LockWaitMethod::Poll
                                                                                         : LockWaitMethod::Vector;
        const auto until = budget.until();
        std::uint32_t* wake = wake_of(self);
        // In slices, so that signal handlers run meanwhile.
        for (;;) {
            const auto now = Clock::now();
            const auto end = until - now > py::WaitBudget::kSlice ? now + py::WaitBudget::kSlice : until;
            std::size_t free = 0;
            {
                py::GilRelease nogil;
                free = wait_any_free(watches, wake, static_cast<std::uint32_t>(seen), end, method);
            }
            if (free > 0) {
                Ref found(PyList_New(0));
                if (!found)
                    return nullptr;
                for (std::size_t i = 0; i < watches.size(); ++i) {
                    if (!watches[i].free)
                        continue;
                    Ref index(PyLong_FromSize_t(i));
                    if (!index || PyList_Append(found.get(), index.get()) != 0)
                        return nullptr;
                }
                return found.release();
            }
            if (std::atomic_ref<std::uint32_t>(*wake).load() != seen || Clock::now() >= until)
                return PyList_New(0);
            if (PyErr_CheckSignals() < 0)
                return nullptr;
        }
    });
}

PyMethodDef lock_waiter_methods[] = {
    {"seen", py::as_cfunction(LockWaiter_seen), METH_FASTCALL,
     "seen($self, /)\n--\n\nThe interrupt count now: the value to wait with after a look at what to watch."},
    {"interrupt", py::as_cfunction(LockWaiter_interrupt), METH_FASTCALL,
     "interrupt($self, /)\n--\n\nEnds a wait of this object made with an earlier seen()."},
    {"wait", py::as_cfunction(LockWaiter_wait), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, /, locks, seen, timeout)\n--\n\nWaits, without the interpreter lock, until one of `locks` comes "
     "free, an interrupt comes after `seen`, or `timeout` seconds (None: no limit); returns the indices of the "
     "free ones (another thread or process may take them first), [] after an interrupt or the timeout."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot lock_waiter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(LockWaiter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(LockWaiter_dealloc)},
    {Py_tp_doc, const_cast<char*>("LockWaiter()\n--\n\nWhere a thread waits for many kelvane.Lock objects to come "
                                  "free without taking them.")},
    {Py_tp_methods, lock_waiter_methods},
    {0, nullptr},
};

PyType_Spec lock_waiter_spec = {"kelvane._native.LockWaiter", sizeof(LockWaiterObject), 0, Py_TPFLAGS_DEFAULT,
                                lock_waiter_slots};

} // namespace

PyTypeObject* lock_waiter_type() { return py::create_type_once(lock_waiter_type_object, lock_waiter_spec); }

} // namespace kel::native
