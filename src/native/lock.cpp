// kelvane.Lock: the package's named lock in the shape of threading.Lock, over the
// robust lock record (core/lock.hpp). A native type of its own, the exact type of
// every instance, so that the interpreter calls its methods by its fastest paths.
//
// Every call is one C call with the interpreter lock held: acquiring a free lock is
// one try, releasing one unlock. Only a wait gives up the interpreter lock, in
// slices (run_sliced) so that Ctrl-C and signal handlers run between them; no Python
// code runs between taking the lock and returning, so an exception from a call never
// leaves the lock held unless it says so (LockRecovered without on_recovered).
// Construction asks kelvane._objects what the name holds and for the in-use mark;
// kelvane/lock.py rebuilds a pickled lock.

#include "native.hpp"

#include <structmember.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <unistd.h>

#include "core/lock.hpp"
#include "core/mutex_word.hpp"
#include "core/shm.hpp"
#include "python/lock_binding.hpp"

namespace kel::native {

namespace {

using py::Ref;

PyTypeObject* lock_type_object = nullptr;

struct LockObject {
    PyObject_HEAD
    LockHandle lock;
    PyObject* name;         // str
    PyObject* on_recovered; // a callable, or null
    PyObject* in_use;       // this process's in-use mark on the object (kelvane._objects), or null
    // The process that took the lock through this object and has not released it (0:
    // none): a process forked meanwhile is told why it cannot release it.
    pid_t held_in;
    PyObject* weaklist; // the weak references to the object, as for a class in Python
};

// LockObject is not standard-layout (LockHandle has private members); g++ defines
// offsetof for it all the same, there being no virtual base.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
constexpr Py_ssize_t kWeaklistOffset = offsetof(LockObject, weaklist);
#pragma GCC diagnostic pop

LockObject* as_lock(PyObject* o) { return reinterpret_cast<LockObject*>(o); }

// This process's id, kept without a system call per acquire: glibc's getpid makes
// one. A fork sets it again in the child before anything else runs there.
std::atomic<pid_t> this_process{0};

void forked_child() { this_process.store(::getpid(), std::memory_order_relaxed); }

pid_t current_process() { return this_process.load(std::memory_order_relaxed); }

// kelvane_core's LockRecovered, looked up on first need and kept for the process.
PyObject* lock_recovered = nullptr;

PyObject* raise_recovered(const char* text) {
    if (lock_recovered == nullptr) {
        Ref core(PyImport_ImportModule("kelvane_core"));
        if (!core)
            return nullptr;
        lock_recovered = PyObject_GetAttrString(core.get(), "LockRecovered");
        if (lock_recovered == nullptr)
            return nullptr;
    }
    PyErr_SetString(lock_recovered, text);
    return nullptr;
}

// --- construction -----------------------------------------------------------------------

// A function of kelvane._objects, looked up on first need and kept for the process.
PyObject* objects_function(PyObject*& slot, const char* name) {
    if (slot == nullptr) {
        Ref objects(PyImport_ImportModule("kelvane._objects"));
        if (objects)
            slot = PyObject_GetAttrString(objects.get(), name);
    }
    return slot;
}

PyObject* refuse_unless = nullptr;
PyObject* mark_in_use = nullptr;

PyObject* Lock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        PyObject* argv[2];
        if (PyTuple_Size(args) > 1) {
            PyErr_Format(PyExc_TypeError, "Lock() takes 1 positional argument but %zd were given",
                         PyTuple_Size(args));
            return nullptr;
        }
        if (!py::bind_args("Lock", {"name", "on_recovered"}, args, kwargs, argv, 1))
            return nullptr;
        PyObject* name = argv[0];
        if (!PyUnicode_Check(name)) {
            Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(name)), "__name__"));
            if (type_name)
                PyErr_Format(PyExc_TypeError, "'name' must be str, not %U", type_name.get());
            return nullptr;
        }
        PyObject* repair = argv[1] == nullptr || argv[1] == Py_None ? nullptr : argv[1];
        if (repair != nullptr && !PyCallable_Check(repair)) {
            PyErr_SetString(PyExc_TypeError, "'on_recovered' must be callable or None");
            return nullptr;
        }
        // Told from its bytes, at once: opening would wait for a lock that never comes.
        if (objects_function(refuse_unless, "refuse_unless") == nullptr)
            return nullptr;
        Ref kind(PyUnicode_FromString("lock"));
        if (!kind || !Ref(PyObject_CallFunctionObjArgs(refuse_unless, name, kind.get(), nullptr)))
            return nullptr;
        std::string_view text;
        if (!py::to_name(name, "Lock", "name", text))
            return nullptr;
        auto opened = py::open_lock(text);
        if (!opened.ok())
            return py::raise_open_error(opened.error(), name);
        if (objects_function(mark_in_use, "mark_in_use") == nullptr)
            return nullptr;
        Ref mark(PyObject_CallFunctionObjArgs(mark_in_use, name, nullptr));
        if (!mark)
            return nullptr;
        PyObject* self = py::alloc_instance(type);
        if (self == nullptr)
            return nullptr;
        LockObject* lock = as_lock(self);
        std::construct_at(&lock->lock, std::move(opened.value()));
        lock->name = Py_NewRef(name);
        lock->on_recovered = repair != nullptr ? Py_NewRef(repair) : nullptr;
        lock->in_use = mark.get() != Py_None ? mark.release() : nullptr;
        lock->held_in = 0;
        lock->weaklist = nullptr;
        return self;
    });
}

int Lock_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_lock(self)->on_recovered);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int Lock_clear(PyObject* self) {
    Py_CLEAR(as_lock(self)->on_recovered);
    return 0;
}

void Lock_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    LockObject* lock = as_lock(self);
    if (lock->weaklist != nullptr)
        PyObject_ClearWeakRefs(self);
    Py_CLEAR(lock->on_recovered);
    Py_CLEAR(lock->in_use);
    Py_CLEAR(lock->name);
    std::destroy_at(&lock->lock);
    py::free_instance(self);
}

// --- release -----------------------------------------------------------------------------

PyObject* raise_release_error(LockObject* self, const LockError& error) {
    const pid_t holder = self->held_in;
    py::raise_runtime("Unlock failed: ", error.display());
    if (error.kind != LockError::Kind::Pthread || error.code != EPERM || holder == 0 || holder == current_process())
        return nullptr;
    // Taken through this object before this process was forked: say so, caused by the lock's own text.
    PyObject *type, *cause, *traceback;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Format(PyExc_RuntimeError,
                 "Unlock failed: lock %R was held when this process was forked; the hold stays with the thread "
                 "that took it in process %d, which alone can release it",
                 self->name, static_cast<int>(holder));
    PyObject* value;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetCause(value, cause); // steals `cause`
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

bool release(LockObject* self) {
    if (auto st = self->lock.release(); !st.ok()) [[unlikely]] {
        raise_release_error(self, st.error());
        return false;
    }
    self->held_in = 0;
    return true;
}

// --- acquire -----------------------------------------------------------------------------

// With the lock held after a take-over from a dead holder: repair under it, or tell
// the caller, who holds it (acquire); or, in `with`, where nobody would release it,
// let it go and say so.
PyObject* taken_over(LockObject* self, bool in_with) {
    PyObject* repair = self->on_recovered;
    if (repair == nullptr) {
        if (!in_with)
            return raise_recovered("Lock recovered from dead process");
        if (!release(self))
            return nullptr;
        return raise_recovered("Lock recovered from dead process; the with block did not run and the lock was "
                               "released again (give kelvane.Lock an on_recovered callable to repair under it)");
    }
    Ref keep(Py_NewRef(repair));
    Ref done(PyObject_CallNoArgs(repair));
    if (done)
        Py_RETURN_TRUE;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!release(self)) {
        // The repair let go of the lock itself: this error, in the middle of the repair's.
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref repair_type(type), repair_error(value), repair_traceback(traceback);
        if (repair_traceback)
            (void)PyException_SetTraceback(repair_error.get(), repair_traceback.get());
        PyObject *now_type, *now, *now_traceback;
        PyErr_Fetch(&now_type, &now, &now_traceback);
        PyErr_NormalizeException(&now_type, &now, &now_traceback);
        PyException_SetContext(now, repair_error.release()); // steals the repair's error
        PyErr_Restore(now_type, now, now_traceback);
        return nullptr;
    }
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

// The calling thread holds the lock already, through this object or another of its
// name: False from a try or a timed acquire (after the time, as threading.Lock),
// RuntimeError from one that would wait for ever.
PyObject* held_by_this_thread(LockObject* self, const py::WaitBudget& budget) {
    if (budget.forever()) {
        PyErr_Format(PyExc_RuntimeError,
                     "kelvane.Lock %R: this thread already holds it; acquiring it again would wait for ever (the "
                     "lock is not re-entrant)",
                     self->name);
        return nullptr;
    }
    bool failed = false;
    // Nobody else can release it: wait out the time, in slices that let signal handlers run.
    const py::Step step = py::run_sliced(
        budget, {}, [] { return py::Step::Again; },
        [](py::Step, Deadline end) {
            std::this_thread::sleep_until(end);
            return py::Step::Again;
        },
        failed);
    if (step == py::Step::Failed)
        return nullptr;
    Py_RETURN_FALSE;
}

// Everything but a free lock taken at the first try.
[[gnu::noinline]] PyObject* take_slowly(LockObject* self, const py::WaitBudget& budget, bool in_with,
                                        const Result<Acquired, LockError>& first) {
    bool recovered = false;
    if (!first.ok()) {
        if (first.error().kind == LockError::Kind::Pthread && first.error().code == EDEADLK)
            return held_by_this_thread(self, budget);
        return py::raise_runtime("Lock failure: ", first.error().display());
    }
    if (first.value() == Acquired::Recovered) {
        recovered = true;
    } else {
        if (budget.nonblocking())
            Py_RETURN_FALSE;
        const py::Taken taken = py::take_within(self->lock, budget);
        if (taken.step == py::Step::Failed) {
            if (!taken.error)
                return nullptr; // a signal handler raised; the lock was not taken
            if (taken.error->kind == LockError::Kind::Pthread && taken.error->code == EDEADLK)
                return held_by_this_thread(self, budget);
            return py::raise_runtime("Lock failure: ", taken.error->display());
        }
        if (taken.step == py::Step::Again)
            Py_RETURN_FALSE;
        recovered = taken.recovered;
    }
    self->held_in = current_process();
    if (recovered)
        return taken_over(self, in_with);
    Py_RETURN_TRUE;
}

PyObject* take(LockObject* self, const py::WaitBudget& budget, bool in_with) {
    const auto first = self->lock.try_acquire();
    if (first.ok() && first.value() == Acquired::Clean) [[likely]] {
        self->held_in = current_process();
        Py_RETURN_TRUE;
    }
    return take_slowly(self, budget, in_with, first);
}

// acquire's (blocking=True, timeout=-1), as threading.Lock.acquire reads them.
bool parse_wait(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, py::WaitBudget& budget) {
    PyObject* argv[2];
    if (!py::bind_args("acquire", {"blocking", "timeout"}, args, nargs, kwnames, argv, 0))
        return false;
    PyObject* timeout = argv[1];
    int default_timeout = 1;
    if (timeout != nullptr) {
        Ref minus_one(PyLong_FromLong(-1));
        default_timeout = minus_one ? PyObject_RichCompareBool(timeout, minus_one.get(), Py_EQ) : -1;
        if (default_timeout < 0)
            return false;
    }
    const int blocking = argv[0] != nullptr ? PyObject_IsTrue(argv[0]) : 1;
    if (blocking < 0)
        return false;
    if (!blocking) {
        if (!default_timeout) {
            PyErr_SetString(PyExc_ValueError, "can't specify a timeout for a non-blocking call");
            return false;
        }
        budget = py::WaitBudget::none();
        return true;
    }
    if (default_timeout)
        return true; // as long as it takes
    if (PyBool_Check(timeout) || !(PyLong_Check(timeout) || PyFloat_Check(timeout))) {
        Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(timeout)), "__name__"));
        if (!type_name)
            return false;
        PyErr_Format(PyExc_TypeError, "'timeout' must be a number, not %U", type_name.get());
        return false;
    }
    if (PyFloat_Check(timeout) && !(PyFloat_AsDouble(timeout) >= 0)) { // negative or NaN
        PyErr_SetString(PyExc_ValueError, "timeout value must be a non-negative number");
        return false;
    }
    if (PyLong_Check(timeout)) {
        Ref zero(PyLong_FromLong(0));
        const int negative = zero ? PyObject_RichCompareBool(timeout, zero.get(), Py_LT) : -1;
        if (negative != 0) {
            if (negative > 0)
                PyErr_SetString(PyExc_ValueError, "timeout value must be a non-negative number");
            return false;
        }
    }
    return budget.parse(timeout, "acquire", "timeout");
}

// The interpreter's method descriptors test the receiver (an instance of Lock or of a
// subclass) before they call these.

PyObject* Lock_acquire(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&]() -> PyObject* {
                py::WaitBudget budget; // as long as it takes
        if ((nargs != 0 || kwnames != nullptr) && !parse_wait(args, nargs, kwnames, budget))
            return nullptr;
        return take(as_lock(self), budget, false);
    });
}

PyObject* Lock_enter(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (!py::no_args("Lock.__enter__", nargs))
            return nullptr;
        return take(as_lock(self), py::WaitBudget(), true);
    });
}

PyObject* Lock_release(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (!py::no_args("Lock.release", nargs) || !release(as_lock(self)))
            return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* Lock_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    return py::guarded([&]() -> PyObject* {
        if (!release(as_lock(self)))
            return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* Lock_locked(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (!py::no_args("Lock.locked", nargs))
            return nullptr;
        return PyBool_FromLong(mutex_held(as_lock(self)->lock.mutex()));
    });
}

PyObject* Lock_unlink(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        std::string_view name;
        if (!py::no_args("Lock.unlink", nargs) || !py::to_name(as_lock(self)->name, "unlink", "name", name))
            return nullptr;
        if (auto st = unlink_segment(name); !st.ok())
            return py::raise_runtime("Unlink failed: ", st.error().display());
        Py_RETURN_NONE;
    });
}

// Another process opens the lock by its name: kelvane.lock._rebuild(name, on_recovered).
PyObject* Lock_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (!py::no_args("Lock.__reduce__", nargs))
            return nullptr;
        Ref module(PyImport_ImportModule("kelvane.lock"));
        Ref rebuild(module ? PyObject_GetAttrString(module.get(), "_rebuild") : nullptr);
        if (!rebuild)
            return nullptr;
        PyObject* repair = as_lock(self)->on_recovered;
        return Py_BuildValue("O(OO)", rebuild.get(), as_lock(self)->name, repair != nullptr ? repair : Py_None);
    });
}

PyObject* Lock_repr(PyObject* self) { return PyUnicode_FromFormat("<kelvane.Lock %R>", as_lock(self)->name); }

PyObject* Lock_get_name(PyObject* self, void*) { return Py_NewRef(as_lock(self)->name); }

PyMethodDef lock_methods[] = {
    {"acquire", py::as_cfunction(Lock_acquire), METH_FASTCALL | METH_KEYWORDS,
     "acquire($self, /, blocking=True, timeout=-1)\n--\n\nWait for the lock, as threading.Lock.acquire; True when "
     "it was acquired."},
    {"release", py::as_cfunction(Lock_release), METH_FASTCALL,
     "release($self, /)\n--\n\nRelease the lock; only the thread that acquired it may."},
    {"locked", py::as_cfunction(Lock_locked), METH_FASTCALL,
     "locked($self, /)\n--\n\nTrue while some thread of some process holds the lock (as its word shows now)."},
    {"__enter__", py::as_cfunction(Lock_enter), METH_FASTCALL, "__enter__($self, /)\n--\n\n"},
    {"__exit__", py::as_cfunction(Lock_exit), METH_FASTCALL, "__exit__($self, /, *exc_info)\n--\n\n"},
    {"unlink", py::as_cfunction(Lock_unlink), METH_FASTCALL,
     "unlink($self, /)\n--\n\nRemove the name; processes that opened the lock keep using it."},
    {"__reduce__", py::as_cfunction(Lock_reduce), METH_FASTCALL, "__reduce__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef lock_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, kWeaklistOffset, READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef lock_getset[] = {
    {"name", Lock_get_name, nullptr, "The lock's name, as given.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kLockDoc[] =
    "Lock(name, *, on_recovered=None)\n--\n\n"
    "A lock shared by name between processes, which survives a dead holder.\n\n"
    "``acquire`` and ``release`` behave as threading.Lock's. When the previous holder\n"
    "died while holding the lock, whatever it protected may be half done. Give the\n"
    "lock an ``on_recovered`` callable to repair it: it runs with the lock held, right\n"
    "after the take-over and before ``acquire`` returns or the ``with`` body starts::\n\n"
    "    lock = kelvane.Lock(\"orders.lock\", on_recovered=repair_shared_state)\n"
    "    with lock:\n"
    "        update_shared_state()\n\n"
    "If the repair raises, the lock is released and the error propagates. Without\n"
    "``on_recovered``, ``acquire`` raises ``kelvane.LockRecovered`` with the lock held\n"
    "(repair, then release it as usual), and ``with`` raises it after releasing the\n"
    "lock, without running the body: no path leaves the lock held with nobody to\n"
    "release it.\n\n"
    "The lock belongs to the thread that acquired it: only that thread may release\n"
    "it. That thread acquiring it again gets False from a non-blocking or timed\n"
    "acquire (after the timeout, as threading.Lock), and RuntimeError from a blocking\n"
    "one instead of waiting for ever for itself. A process forked while the lock is\n"
    "held does not hold it: the hold stays with the parent's thread.";

PyType_Slot lock_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Lock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Lock_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Lock_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Lock_clear)},
    {Py_tp_doc, const_cast<char*>(kLockDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(Lock_repr)},
    {Py_tp_methods, lock_methods},
    {Py_tp_getset, lock_getset},
    {Py_tp_members, lock_members},
    {0, nullptr},
};

PyType_Spec lock_spec = {"kelvane.Lock", sizeof(LockObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, lock_slots};

} // namespace

PyTypeObject* lock_type() {
    static bool watching_forks = false;
    if (!watching_forks) {
        this_process.store(::getpid(), std::memory_order_relaxed);
        if (const int rc = pthread_atfork(nullptr, nullptr, forked_child); rc != 0) {
            errno = rc;
            PyErr_SetFromErrno(PyExc_OSError);
            return nullptr;
        }
        watching_forks = true;
    }
    return py::create_type_once(lock_type_object, lock_spec);
}

pthread_mutex_t* lock_mutex(PyObject* lock) { return as_lock(lock)->lock.mutex(); }

} // namespace kel::native
