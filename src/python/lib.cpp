// Module initialisation, LockRecovered, the robust lock record and KelLock.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "core/mutex_word.hpp"
#include "python/module.hpp"
#include "core/shm.hpp"
#include "core/spin.hpp"

namespace kel {

// ---------------------------------------------------------------------------
// Lock record: the whole state of a named lock, at the start of its 4096-byte
// segment. The mutex stays at offset 0; `ready` is stored last by the creator
// so that an opener never uses a mutex that is not initialised yet.

struct LockRecord {
    pthread_mutex_t mutex;
    alignas(64) std::uint64_t ready;
};
static_assert(offsetof(LockRecord, mutex) == 0);
static_assert(offsetof(LockRecord, ready) == 64);
static_assert(sizeof(LockRecord) <= kPlainSegmentSize);

inline constexpr std::uint64_t kLockReady = 0x314b434f4c4c454bULL; // "KELLOCK1"

namespace {

class MutexAttr {
public:
    MutexAttr() noexcept : rc_(pthread_mutexattr_init(&attr_)) {}
    MutexAttr(const MutexAttr&) = delete;
    MutexAttr& operator=(const MutexAttr&) = delete;
    ~MutexAttr() {
        if (rc_ == 0)
            (void)pthread_mutexattr_destroy(&attr_);
    }
    [[nodiscard]] int init_rc() const noexcept { return rc_; }
    pthread_mutexattr_t* get() noexcept { return &attr_; }

private:
    pthread_mutexattr_t attr_;
    int rc_;
};

// Creator only, on a fresh zero-filled segment. Error-checking, so that a thread
// that takes the lock twice is told EDEADLK instead of waiting for itself forever.
Status<LockError> init_lock_record(LockRecord* record) {
    MutexAttr attr;
    int rc = attr.init_rc();
    if (rc == 0)
        rc = pthread_mutexattr_settype(attr.get(), PTHREAD_MUTEX_ERRORCHECK);
    if (rc == 0)
        rc = pthread_mutexattr_setpshared(attr.get(), PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(attr.get(), PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutex_init(&record->mutex, attr.get());
    if (rc != 0)
        return LockError::pthread(rc);
    // Pairs with the opener's acquire load: the mutex bytes are visible before `ready`.
    std::atomic_ref<std::uint64_t>(record->ready).store(kLockReady, std::memory_order_release);
    return {};
}

bool lock_record_ready(LockRecord* record) {
    return std::atomic_ref<std::uint64_t>(record->ready).load(std::memory_order_acquire) == kLockReady;
}

// Waits, without the interpreter lock, for a creator that has not finished.
bool wait_lock_ready(LockRecord* record) {
    const auto deadline = std::chrono::steady_clock::now() + kOpenWait;
    while (!lock_record_ready(record)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

enum class Acquired { Clean, Recovered, Busy };

Result<Acquired, LockError> classify_lock_rc(LockRecord* record, int rc) {
    switch (rc) {
    case 0:
        return Acquired::Clean;
    case EOWNERDEAD:
        (void)pthread_mutex_consistent(&record->mutex);
        return Acquired::Recovered;
    case EBUSY:
        return Acquired::Busy;
    default:
        return LockError::pthread(rc);
    }
}

// True when a thread of this process holds the mutex: tgkill with signal 0 tells
// whether the owner's thread id is one of ours without touching the thread.
bool held_in_this_process(LockRecord* record) {
    const pid_t tid = mutex_owner_tid(&record->mutex);
    return tid != 0 && ::syscall(SYS_tgkill, ::getpid(), tid, 0) == 0;
}

} // namespace

namespace py {

// ---------------------------------------------------------------------------
// Process-wide state.

namespace {

std::atomic<std::int64_t> owner_interpreter_id{-1};
PyObject* cached_module = nullptr;
PyObject* lock_recovered = nullptr;
PyTypeObject* kel_lock = nullptr;

PyObject* raise_lock_recovered() {
    PyObject* type = lock_recovered_type();
    if (type != nullptr)
        PyErr_SetString(type, "Lock recovered from dead process");
    return nullptr;
}

// ---------------------------------------------------------------------------
// KelLock.

struct KelLockObject {
    PyObject_HEAD
    Mapping mapping;
    LockRecord* record;
};

KelLockObject* as_lock(PyObject* o) { return reinterpret_cast<KelLockObject*>(o); }

PyObject* never_initialised(PyObject* name) {
    PyErr_Format(PyExc_RuntimeError,
                 "Failed to open lock: the lock was never initialised by its creator; KelLock.unlink(%R) removes it",
                 name);
    return nullptr;
}

PyObject* KelLock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::string_view name;
        if (!bind_args("KelLock", {"name"}, args, kwargs, argv) || !to_name(argv[0], "KelLock", "name", name))
            return nullptr;

        // Opening may wait for a creator that has not finished: never with the interpreter lock.
        std::optional<Result<Mapping, SegmentError>> opened;
        bool ready = false;
        auto open_existing = [&] {
            GilRelease nogil;
            opened.emplace(open_segment(name, false));
            ready = opened->ok() && wait_lock_ready(static_cast<LockRecord*>(opened->value().base()));
        };
        // An object that exists but cannot be used: creating it would only say EEXIST.
        auto unusable = [&] {
            if (opened->ok())
                return false;
            const SegmentError& e = opened->error();
            return e.kind == SegmentError::Kind::SizeMismatch || e.kind == SegmentError::Kind::NeverInitialised ||
                   e.is_errno(EACCES);
        };

        Mapping mapping;
        open_existing();
        if (!opened->ok() && !unusable()) {
            auto created = open_segment(name, true);
            if (created.ok()) {
                mapping = std::move(created.value());
                if (auto st = init_lock_record(static_cast<LockRecord*>(mapping.base())); !st.ok())
                    return raise_runtime("Failed into init mutex: ", st.error().display());
            } else {
                // EEXIST: another process created the lock since our open; attach to it.
                if (created.error().is_errno(EEXIST))
                    open_existing();
                if (!created.error().is_errno(EEXIST) || (!opened->ok() && !unusable()))
                    return raise_runtime("Failed to create shm: ", created.error().display());
            }
        }
        if (!mapping) {
            if (!opened->ok() && opened->error().kind == SegmentError::Kind::NeverInitialised)
                return never_initialised(argv[0]);
            if (!opened->ok())
                return raise_runtime("Failed to open shm: ", opened->error().display());
            if (!ready)
                return never_initialised(argv[0]);
            mapping = std::move(opened->value());
        }

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
        if (self == nullptr)
            return nullptr;
        auto* lock = as_lock(self);
        lock->record = static_cast<LockRecord*>(mapping.base());
        std::construct_at(&lock->mapping, std::move(mapping));
        return self;
    });
}

void KelLock_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* lock = as_lock(self);
    // Unmapping a robust mutex that a thread of ours still holds would leave a
    // dangling entry on that thread's robust list: when it dies, the kernel could no
    // longer mark the owner dead and every other process would wait for ever. The
    // mapping of a held lock therefore stays until the process ends.
    if (lock->mapping && held_in_this_process(lock->record))
        lock->mapping.leak();
    std::destroy_at(&lock->mapping);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// `tried` is the result of the non-blocking try the caller already made.
PyObject* lock_acquire(PyObject* self, int tried) {
    LockRecord* record = as_lock(self)->record;
    auto outcome = classify_lock_rc(record, tried);
    if (outcome.ok() && outcome.value() == Acquired::Busy) {
        int rc;
        {
            GilRelease nogil;
            // Watch the lock word and try only when it reads free: the other process
            // usually lets go within microseconds, long before a sleeper could be woken.
            rc = EBUSY;
            (void)poll_until([&] {
                if (mutex_owner_tid(&record->mutex) != 0)
                    return false;
                rc = pthread_mutex_trylock(&record->mutex);
                return rc != EBUSY;
            });
            if (rc == EBUSY)
                rc = pthread_mutex_lock(&record->mutex);
            if (rc == EOWNERDEAD)
                (void)pthread_mutex_consistent(&record->mutex);
            // Taken over from a dead holder, the lock stays held: whoever comes next
            // must still be told that the holder died.
            if (rc == 0)
                unlock_if_parked(&record->mutex);
        }
        outcome = rc == EOWNERDEAD ? Result<Acquired, LockError>(Acquired::Recovered)
                                   : classify_lock_rc(record, rc);
        if (outcome.ok() && outcome.value() == Acquired::Busy)
            outcome = LockError::pthread(EBUSY);
    }
    if (!outcome.ok())
        return raise_runtime("Lock failure: ", outcome.error().display());
    if (outcome.value() == Acquired::Recovered)
        return raise_lock_recovered();
    Py_RETURN_NONE;
}

PyObject* lock_release(PyObject* self) {
    int rc = pthread_mutex_unlock(&as_lock(self)->record->mutex);
    if (rc != 0)
        return raise_runtime("Unlock failed: ", LockError::pthread(rc).display());
    Py_RETURN_NONE;
}

PyObject* KelLock_acquire(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_lock_type, "KelLock"))
            return nullptr;
        int tried = pthread_mutex_trylock(&as_lock(self)->record->mutex);
        if (tried == 0) // the uncontended case, kept short
            Py_RETURN_NONE;
        return lock_acquire(self, tried);
    });
}

// The lock with a time limit; waits in slices (see run_sliced) so that signal
// handlers run, and an interrupted or timed-out call leaves the lock as it was.
PyObject* KelLock_acquire_timed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        WaitBudget budget;
        if (!check_receiver(self, kel_lock_type, "KelLock") ||
            !bind_args("acquire_timed", {"timeout"}, args, nargs, kwnames, argv) ||
            !budget.parse(argv[0], "acquire_timed", "timeout"))
            return nullptr;
        LockRecord* record = as_lock(self)->record;
        std::optional<LockError> error;
        bool recovered = false;
        // Both steps end with the lock held, busy, or failed.
        auto step_of = [&](int rc) {
            auto outcome = classify_lock_rc(record, rc);
            if (!outcome.ok()) {
                error.emplace(outcome.error());
                return Step::Failed;
            }
            if (outcome.value() == Acquired::Busy)
                return Step::Again;
            recovered = outcome.value() == Acquired::Recovered;
            return Step::Done;
        };
        bool wait_failed = false;
        const Step step = run_sliced(
            budget, {}, [&] { return step_of(pthread_mutex_trylock(&record->mutex)); },
            [&](Step, WaitBudget::Clock::time_point end) {
                int rc = EBUSY;
                (void)poll_until([&] {
                    if (mutex_owner_tid(&record->mutex) != 0)
                        return false;
                    rc = pthread_mutex_trylock(&record->mutex);
                    return rc != EBUSY;
                });
                if (rc == EBUSY) {
                    const auto since_epoch = end.time_since_epoch();
                    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
                    const timespec abs{static_cast<time_t>(secs.count()),
                                       static_cast<long>((since_epoch - secs) / std::chrono::nanoseconds(1))};
                    rc = pthread_mutex_clocklock(&record->mutex, CLOCK_MONOTONIC, &abs);
                    if (rc == ETIMEDOUT)
                        rc = EBUSY;
                }
                if (rc == 0)
                    unlock_if_parked(&record->mutex);
                return step_of(rc);
            },
            wait_failed);
        if (step == Step::Failed) {
            if (error)
                return raise_runtime("Lock failure: ", error->display());
            return nullptr; // a signal handler raised
        }
        if (step == Step::Again)
            Py_RETURN_FALSE;
        if (recovered)
            return raise_lock_recovered();
        Py_RETURN_TRUE;
    });
}

PyObject* KelLock_release(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_lock_type, "KelLock"))
            return nullptr;
        return lock_release(self);
    });
}

PyObject* KelLock_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[3];
        if (!check_receiver(self, kel_lock_type, "KelLock") ||
            !bind_args("__exit__", {"_exc_type", "_exc_value", "_traceback"}, args, nargs, kwnames, argv))
            return nullptr;
        return lock_release(self);
    });
}

PyObject* KelLock_unlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::string_view name;
        if (!bind_args("unlink", {"name"}, args, nargs, kwnames, argv) || !to_name(argv[0], "unlink", "name", name))
            return nullptr;
        if (auto st = unlink_segment(name); !st.ok())
            return raise_runtime("Unlink failed: ", st.error().display());
        Py_RETURN_NONE;
    });
}

PyMethodDef kel_lock_methods[] = {
    {"acquire", KelLock_acquire, METH_NOARGS, "acquire($self)\n--\n\n"},
    {"release", KelLock_release, METH_NOARGS, "release($self)\n--\n\n"},
    {"acquire_timed", as_cfunction(KelLock_acquire_timed), METH_FASTCALL | METH_KEYWORDS,
     "acquire_timed($self, timeout)\n--\n\nAcquire, waiting at most `timeout` seconds (None: as long as it takes; "
     "0: never waits).\nReturns True when acquired, False on timeout; raises LockRecovered, with the lock held, "
     "after taking it over from a dead holder."},
    {"__enter__", KelLock_acquire, METH_NOARGS, "__enter__($self)\n--\n\n"},
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

// ---------------------------------------------------------------------------
// Module.

int add_to_module(PyObject* module, const char* name, PyObject* object) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0)
            return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    Ref name_str(PyUnicode_FromString(name));
    if (!name_str)
        return -1;
    if (PyList_Append(all.get(), name_str.get()) != 0) {
        internal_fault("could not append __name__ to __all__");
        return -1;
    }
    return PyObject_SetAttrString(module, name, object);
}

int add_class(PyObject* module, const char* name, PyTypeObject* (*type_of)()) {
    PyTypeObject* type = type_of();
    if (type == nullptr) {
        PyObject *cause_type, *cause, *cause_tb;
        PyErr_Fetch(&cause_type, &cause, &cause_tb);
        PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
        std::string message = std::string("An error occurred while initializing class ") + name;
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
        if (cause != nullptr) {
            PyObject *type2, *value2, *tb2;
            PyErr_Fetch(&type2, &value2, &tb2);
            PyErr_NormalizeException(&type2, &value2, &tb2);
            PyException_SetCause(value2, cause); // steals `cause`
            PyErr_Restore(type2, value2, tb2);
        }
        Py_XDECREF(cause_type);
        Py_XDECREF(cause_tb);
        return -1;
    }
    return add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

int module_body(PyObject* module) {
    if (add_class(module, "KelLock", kel_lock_type) != 0 || add_class(module, "KelQueue", kel_queue_type) != 0 ||
        add_class(module, "KelPoolCore", kel_pool_core_type) != 0)
        return -1;
    PyObject* recovered = lock_recovered_type();
    if (recovered == nullptr)
        return -1;
    return add_to_module(module, "LockRecovered", recovered);
}

PyModuleDef kelvane_module = {
    PyModuleDef_HEAD_INIT, "kelvane_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owner_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kelvane_core: modules do not yet support subinterpreters; import kelvane_core only in the "
                        "main interpreter");
        return nullptr;
    }
    if (cached_module != nullptr) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    Ref module(PyModule_Create2(&kelvane_module, 3));
    if (!module)
        return nullptr;
    if (module_body(module.get()) != 0)
        return nullptr;
    cached_module = module.get();
    Py_INCREF(cached_module); // held for the rest of the process
    return module.release();
}

} // namespace

PyTypeObject* kel_lock_type() { return create_type_once(kel_lock, kel_lock_spec); }

PyObject* lock_recovered_type() {
    if (lock_recovered == nullptr) {
        lock_recovered =
            PyErr_NewExceptionWithDoc("kelvane_core.LockRecovered", nullptr, PyExc_RuntimeError, nullptr);
        if (lock_recovered == nullptr)
            internal_fault("Failed to initialize new exception type.");
    }
    return lock_recovered;
}

} // namespace py
} // namespace kel

PyMODINIT_FUNC PyInit_kelvane_core() {
    return kel::py::guarded([]() -> PyObject* { return kel::py::init_module(); });
}
