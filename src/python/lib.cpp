// Module initialisation: the module object, its three classes and LockRecovered;
// and the unlink(name) the classes share.
//
// The module keeps no process-wide state besides the module object, its type objects
// and the identifier of the interpreter that first imported it.

#include "module.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel::py {

namespace {

std::atomic<std::int64_t> owner_interpreter_id{-1};
PyObject* cached_module = nullptr;
PyObject* lock_recovered = nullptr;

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

PyObject* lock_recovered_type() {
    if (lock_recovered == nullptr) {
        lock_recovered =
            PyErr_NewExceptionWithDoc("kelvane_core.LockRecovered", nullptr, PyExc_RuntimeError, nullptr);
        if (lock_recovered == nullptr)
            internal_fault("Failed to initialize new exception type.");
    }
    return lock_recovered;
}

PyObject* unlink_by_name(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
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

} // namespace kel::py

PyMODINIT_FUNC PyInit_kelvane_core() {
    return kel::py::guarded([]() -> PyObject* { return kel::py::init_module(); });
}
