#include "pyutil.hpp"

#include "core/errors.hpp"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace kel::py {

namespace {

std::string type_name_of(PyObject* o) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
    if (name) {
        if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr))
            return s;
    }
    PyErr_Clear();
    return "object";
}

thread_local pthread_mutex_t* unlock_when_parked = nullptr;

[[noreturn]] void park_for_ever() noexcept {
    if (unlock_when_parked != nullptr)
        (void)pthread_mutex_unlock(unlock_when_parked);
    // Signals go to the threads that can still run Python's handlers. (glibc's
    // sigprocmask sets this thread's mask, as pthread_sigmask does, and is older.)
    sigset_t all;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, nullptr);
    for (;;)
        ::pause();
}

} // namespace

void unlock_if_parked(pthread_mutex_t* mutex) noexcept { unlock_when_parked = mutex; }

void restore_thread(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // C code throws nothing: this is the forced unwind of pthread_exit
        // (abi::__forced_unwind, which is not bound here: it has no object). The
        // handler never returns, so the unwind never reaches a noexcept frame.
        park_for_ever();
    }
    unlock_when_parked = nullptr;
}

bool bind_args(const char* fname, std::initializer_list<const char*> names, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out, Py_ssize_t required) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", fname, n, n == 1 ? "" : "s",
                     nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        Py_ssize_t index = 0;
        bool found = false;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
                found = true;
                break;
            }
            ++index;
        }
        if (!found) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zd)", fname, key,
                         index + 1);
            return false;
        }
        out[index] = args[nargs + k];
    }
    Py_ssize_t index = 0;
    for (const char* name : names) {
        if (required >= 0 && index >= required)
            break;
        if (out[index] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, name, index + 1);
            return false;
        }
        ++index;
    }
    return true;
}

bool bind_args(const char* fname, std::initializer_list<const char*> names, PyObject* args, PyObject* kwargs,
               PyObject** out, Py_ssize_t required) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    std::vector<PyObject*> flat;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        flat.push_back(PyTuple_GetItem(args, i));
    Ref kwnames;
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        kwnames = Ref(PyTuple_New(PyDict_Size(kwargs)));
        if (!kwnames)
            return false;
        PyObject *key, *value;
        Py_ssize_t pos = 0, k = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            Py_INCREF(key);
            PyTuple_SetItem(kwnames.get(), k++, key);
            flat.push_back(value);
        }
    }
    return bind_args(fname, names, flat.data(), nargs, kwnames.get(), out, required);
}

bool to_name(PyObject* o, const char* fname, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %s", fname, param, type_name_of(o).c_str());
        return false;
    }
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &size);
    if (s == nullptr)
        return false;
    out = std::string_view(s, static_cast<std::size_t>(size));
    return true;
}

bool to_u64(PyObject* o, const char* fname, const char* param, std::uint64_t& out) {
    if (!PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %s", fname, param, type_name_of(o).c_str());
        return false;
    }
    Ref index(PyNumber_Index(o));
    if (!index)
        return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return false;
    out = v;
    return true;
}

bool to_bytes(PyObject* o, const char* fname, const char* param, const char*& data, std::uint64_t& size) {
    if (!PyBytes_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bytes, not %s", fname, param,
                     type_name_of(o).c_str());
        return false;
    }
    data = PyBytes_AsString(o);
    if (data == nullptr)
        return false;
    size = static_cast<std::uint64_t>(PyBytes_Size(o));
    return true;
}

bool BufferView::acquire(PyObject* o, const char* fname, const char* param, Py_ssize_t index) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) == 0) {
        held_ = true;
        return true;
    }
    // Exporters refuse a layout that is not C-contiguous with BufferError or, like
    // numpy, ValueError: one BufferError that names the argument, caused by theirs.
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError))
        return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref cause_type(type), cause(value), cause_traceback(traceback);
    if (cause_traceback)
        (void)PyException_SetTraceback(cause.get(), cause_traceback.get());
    Ref text(PyObject_Str(cause.get()));
    if (!text)
        return false;
    if (index < 0)
        PyErr_Format(PyExc_BufferError, "%s() argument '%s' must be a C-contiguous buffer (%U)", fname, param,
                     text.get());
    else
        PyErr_Format(PyExc_BufferError, "%s() argument '%s' must hold C-contiguous buffers (%U at index %zd)",
                     fname, param, text.get(), index);
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyException_SetCause(value, cause.release()); // steals the cause
    PyErr_Restore(type, value, traceback);
    return false;
}

bool to_bytes_like(PyObject* o, const char* fname, const char* param, BufferView& view, const void*& data,
                   std::uint64_t& size) {
    if (PyBytes_Check(o)) { // the common case, without an export
        data = PyBytes_AsString(o);
        size = static_cast<std::uint64_t>(PyBytes_Size(o));
        return data != nullptr;
    }
    if (!PyObject_CheckBuffer(o)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a bytes-like object, not %s", fname, param,
                     type_name_of(o).c_str());
        return false;
    }
    if (!view.acquire(o, fname, param, -1))
        return false;
    data = view.data();
    size = view.size();
    return true;
}

bool WaitBudget::parse(PyObject* o, const char* fname, const char* param) {
    forever_ = true;
    if (o == Py_None)
        return true;
    if (!PyFloat_Check(o) && !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a number or None, not %s", fname, param,
                     type_name_of(o).c_str());
        return false;
    }
    double seconds = PyFloat_AsDouble(o);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return false;
        // An integer too large for a double: as good as never if positive.
        PyErr_Clear();
        Ref zero(PyLong_FromLong(0));
        const int positive = zero ? PyObject_RichCompareBool(o, zero.get(), Py_GT) : -1;
        if (positive < 0)
            return false;
        seconds = positive ? HUGE_VAL : -1.0;
    }
    if (!(seconds >= 0)) { // negative or NaN
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be a non-negative number or None", fname, param);
        return false;
    }
    // Beyond a century the deadline would overflow the clock; it is as good as never.
    if (seconds > 3.2e9)
        return true;
    forever_ = false;
    seconds_ = seconds;
    start_ = Clock::now();
    end_ = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return true;
}

PyObject* raise_runtime(std::string_view prefix, const std::string& text) {
    std::string message(prefix);
    message += text;
    Ref s(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (s)
        PyErr_SetObject(PyExc_RuntimeError, s.get());
    return nullptr;
}

PyObject* raise_queue_error(std::string_view prefix, const QueueError& error) {
    if (error.bad_argument()) {
        PyErr_SetString(PyExc_ValueError, error.display().c_str());
        return nullptr;
    }
    return raise_runtime(prefix, error.display());
}

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

bool check_receiver_slow(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (type == nullptr) {
        internal_fault(std::string("failed to create type object for ") + class_name);
        return false;
    }
    if (!PyObject_TypeCheck(self, type)) {
        PyErr_Format(PyExc_TypeError, "descriptor requires a '%s' object", class_name);
        return false;
    }
    return true;
}

PyObject* internal_fault(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    return raise_runtime("", text);
}

} // namespace kel::py
