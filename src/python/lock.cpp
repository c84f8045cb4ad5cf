// KelLock: a named lock over the robust lock record (core/lock.hpp).
//
// Acquiring tries once with the interpreter lock held and gives it up only to wait
// for a busy lock; release, unlink and construction keep it, except that opening
// gives it up while it waits for a creator that has not finished.

#include "module.hpp"

#include <memory>

#include "core/lock.hpp"
#include "lock_binding.hpp"

namespace kel::py {

namespace {

PyTypeObject* kel_lock = nullptr;

struct KelLockObject {
    PyObject_HEAD
    LockHandle lock;
};

LockHandle& lock_of(PyObject* o) { return reinterpret_cast<KelLockObject*>(o)->lock; }

PyObject* raise_lock_recovered() {
    PyObject* type = lock_recovered_type();
    if (type != nullptr)
        PyErr_SetString(type, "Lock recovered from dead process");
    return nullptr;
}

PyObject* KelLock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::string_view name;
        if (!bind_args("KelLock", {"name"}, args, kwargs, argv) || !to_name(argv[0], "KelLock", "name", name))
            return nullptr;
        auto opened = open_lock(name);
        if (!opened.ok())
            return raise_open_error(opened.error(), argv[0]);
        PyObject* self = alloc_instance(type);
        if (self == nullptr)
            return nullptr;
        std::construct_at(&lock_of(self), std::move(opened.value()));
        return self;
    });
}

void KelLock_dealloc(PyObject* self) {
    std::destroy_at(&lock_of(self));
    free_instance(self);
}

// The end of an acquire, with the interpreter lock held.
PyObject* acquired(const Result<Acquired, LockError>& outcome) {
    if (!outcome.ok())
        return raise_runtime("Lock failure: ", outcome.error().display());
    if (outcome.value() == Acquired::Recovered)
        return raise_lock_recovered();
    Py_RETURN_NONE;
}

// acquire() and __enter__(): METH_FASTCALL rather than METH_NOARGS, which the
// interpreter calls by its fastest path also as a bound method (lock.acquire kept in a name).
PyObject* acquire(PyObject* self, Py_ssize_t nargs, const char* qualname) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_lock_type, "KelLock") || !no_args(qualname, nargs))
            return nullptr;
        LockHandle& lock = lock_of(self);
        auto outcome = lock.try_acquire();
        if (!outcome.ok() || outcome.value() != Acquired::Busy) [[likely]]
            return acquired(outcome);
        {
            GilRelease nogil;
            outcome = lock.acquire();
            // Taken over from a dead holder, the lock stays held even by a parked
            // thread: whoever comes next must still be told that the holder died.
            if (outcome.ok() && outcome.value() == Acquired::Clean)
                unlock_if_parked(lock.mutex());
        }
        return acquired(outcome);
    });
}

PyObject* KelLock_acquire(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return acquire(self, nargs, "KelLock.acquire");
}

PyObject* KelLock_enter(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return acquire(self, nargs, "KelLock.__enter__");
}

// The lock with a time limit; waits in slices so that signal handlers run, and an
// interrupted or timed-out call leaves the lock as it was.
PyObject* KelLock_acquire_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        WaitBudget budget;
        if (!check_receiver(self, kel_lock_type, "KelLock") ||
            !bind_args("acquire_timed", {"timeout"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[0], "acquire_timed", "timeout"))
            return nullptr;
        const Taken taken = take_within(lock_of(self), budget);
        if (taken.step == Step::Failed) {
            if (taken.error)
                return raise_runtime("Lock failure: ", taken.error->display());
            return nullptr; // a signal handler raised
        }
        if (taken.step == Step::Again)
            Py_RETURN_FALSE;
        if (taken.recovered)
            return raise_lock_recovered();
        Py_RETURN_TRUE;
    });
}

PyObject* release(PyObject* self) {
    if (auto st = lock_of(self).release(); !st.ok())
        return raise_runtime("Unlock failed: ", st.error().display());
    Py_RETURN_NONE;
}

PyObject* KelLock_release(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_lock_type, "KelLock") || !no_args("KelLock.release", nargs))
            return nullptr;
        return release(self);
    });
}

PyObject* KelLock_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        if (!check_receiver(self, kel_lock_type, "KelLock") ||
            !bind_args("__exit__", {"_exc_type", "_exc_value", "_traceback"}, args, nargs, kwnames, argv))
            return nullptr;
        return release(self);
    });
}

PyObject* KelLock_unlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return unlink_by_name(args, nargs, kwnames);
}

PyMethodDef kel_lock_methods[] = {
    {"acquire", as_cfunction(KelLock_acquire), METH_FASTCALL, "acquire($self)\n--\n\n"},
    {"release", as_cfunction(KelLock_release), METH_FASTCALL, "release($self)\n--\n\n"},
    {"acquire_timed", as_cfunction(KelLock_acquire_timed), METH_FASTCALL | METH_KEYWORDS,
     "acquire_timed($self, timeout)\n--\n\nAcquire, waiting at most `timeout` seconds (None: as long as it takes; "
     "0: never waits).\nReturns True when acquired, False on timeout; raises LockRecovered, with the lock held, "
     "after taking it over from a dead holder."},
    {"__enter__", as_cfunction(KelLock_enter), METH_FASTCALL, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(KelLock_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"unlink", as_cfunction(KelLock_unlink), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "unlink(name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kel_lock_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(KelLock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(KelLock_dealloc)},
    {Py_tp_doc, const_cast<char*>("KelLock(name)\n--\n\n")},
    {Py_tp_methods, kel_lock_methods},
    {0, nullptr},
};

PyType_Spec kel_lock_spec = {"builtins.KelLock", sizeof(KelLockObject), 0, Py_TPFLAGS_DEFAULT, kel_lock_slots};

} // namespace

PyTypeObject* kel_lock_type() { return create_type_once(kel_lock, kel_lock_spec); }

} // namespace kel::py
