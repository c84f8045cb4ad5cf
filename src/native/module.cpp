// The extension module kelvane._native: the native types the kelvane package needs
// beyond kelvane_core's four. kelvane_core's module state is fixed (its module object,
// its four types, the interpreter id); whatever else the library wants in native code
// lives here, built on the same core library and the same binding helpers.
//
// Each type has a file of its own with a `PyTypeObject* <name>_type()` that creates the
// type on first use (native.hpp); kNativeTypes lists what the module offers.

#include "native.hpp"

#include <atomic>
#include <cstdint>

namespace kel::native {

namespace {

struct NativeType {
    const char* name;
    PyTypeObject* (*type_of)();
};

// The module's classes, in the order they are added.
constexpr NativeType kNativeTypes[] = {
    {"Lock", lock_type},
    {"LockWaiter", lock_waiter_type},
    {"BlockQueue", block_queue_type_object},
    {"Block", block_type_object},
    {nullptr, nullptr}, // end of the list
};

std::atomic<std::int64_t> owner_interpreter_id{-1};
PyObject* cached_module = nullptr;

int module_body(PyObject* module) {
    for (const NativeType& entry : kNativeTypes) {
        if (entry.name == nullptr)
            break;
        PyTypeObject* type = entry.type_of();
        if (type == nullptr || PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) != 0)
            return -1;
    }
    return 0;
}

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "kelvane._native", "kelvane's native types beyond kelvane_core's.", 0, nullptr, nullptr,
    nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, "kelvane._native: import it only in the main interpreter");
        return nullptr;
    }
    if (cached_module != nullptr)
        return Py_NewRef(cached_module);
    py::Ref module(PyModule_Create2(&native_module, 3));
    if (!module || module_body(module.get()) != 0)
        return nullptr;
    cached_module = Py_NewRef(module.get()); // held for the rest of the process
    return module.release();
}

} // namespace

} // namespace kel::native

PyMODINIT_FUNC PyInit__native() {
    return kel::py::guarded([]() -> PyObject* { return kel::native::init_module(); });
}
