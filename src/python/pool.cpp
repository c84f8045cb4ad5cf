// KelPoolCore: the owning side of a worker pool's transport (core/pool.hpp). Every
// method keeps the interpreter lock but put_task and get_result, which try first and
// give it up only to wait.

#include "module.hpp"

#include <memory>
#include <string>

#include "core/pool.hpp"

namespace kel::py {

namespace {

PyTypeObject* kel_pool_core = nullptr;

constexpr std::uint64_t kMaxSizeMb = std::uint64_t{1} << 44;

struct KelPoolCoreObject {
    PyObject_HEAD
    PoolQueues queues;
};

PoolQueues& queues_of(PyObject* o) { return reinterpret_cast<KelPoolCoreObject*>(o)->queues; }

PyObject* raise_pool_error(const PoolError& error) {
    switch (error.kind) {
    case PoolError::Kind::Random:
        return internal_fault("could not retrieve random bytes for uuid: " + error.display());
    case PoolError::Kind::CreateTask:
        return raise_runtime("Failed to create task shm: ", error.display());
    case PoolError::Kind::CreateResult:
        return raise_runtime("Failed to create result shm: ", error.display());
    case PoolError::Kind::InitTask:
        return raise_runtime("Failed to init task buffer: ", error.display());
    case PoolError::Kind::InitResult:
        return raise_runtime("Failed to init result buffer: ", error.display());
    }
    return internal_fault("unknown pool error");
}

PyObject* KelPoolCore_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        std::uint64_t size_mb = 0;
        if (!bind_args("KelPoolCore", {"size_mb"}, args, kwargs, argv) ||
            !to_u64(argv[0], "KelPoolCore", "size_mb", size_mb))
            return nullptr;
        if (size_mb >= kMaxSizeMb) {
            PyErr_SetString(PyExc_OverflowError, "size_mb must be less than 2**44");
            return nullptr;
        }
        auto created = PoolQueues::create(size_mb << 20);
        if (!created.ok())
            return raise_pool_error(created.error());
        PyObject* self = alloc_instance(type); // on failure, `created` removes both names
        if (self == nullptr)
            return nullptr;
        std::construct_at(&queues_of(self), std::move(created.value()));
        return self;
    });
}

// Removes both names, then unmaps both rings (see PoolQueues).
void KelPoolCore_dealloc(PyObject* self) {
    std::destroy_at(&queues_of(self));
    free_instance(self);
}

PyObject* KelPoolCore_put_task(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* argv[1];
        const char* data;
        std::uint64_t size;
        if (!check_receiver(self, kel_pool_core_type, "KelPoolCore") ||
            !bind_args("put_task", {"data"}, args, nargs, kwnames, argv) ||
            !to_bytes(argv[0], "put_task", "data", data, size))
            return nullptr;
        return queue_put(queues_of(self).task_ring(), data, size, "Task put error: ");
    });
}

PyObject* KelPoolCore_get_result(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_pool_core_type, "KelPoolCore"))
            return nullptr;
        return queue_get(queues_of(self).result_ring(), "Result get error: ");
    });
}

PyObject* KelPoolCore_unlink(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_pool_core_type, "KelPoolCore"))
            return nullptr;
        queues_of(self).unlink();
        Py_RETURN_NONE;
    });
}

PyObject* name_str(PyObject* self, const std::string& (PoolQueues::*name_of)() const noexcept) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_pool_core_type, "KelPoolCore"))
            return nullptr;
        const std::string& name = (queues_of(self).*name_of)();
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

PyObject* KelPoolCore_task_q_name(PyObject* self, void*) { return name_str(self, &PoolQueues::task_name); }
PyObject* KelPoolCore_result_q_name(PyObject* self, void*) { return name_str(self, &PoolQueues::result_name); }

PyMethodDef kel_pool_core_methods[] = {
    {"put_task", as_cfunction(KelPoolCore_put_task), METH_FASTCALL | METH_KEYWORDS, "put_task($self, data)\n--\n\n"},
    {"get_result", KelPoolCore_get_result, METH_NOARGS, "get_result($self)\n--\n\n"},
    {"unlink", KelPoolCore_unlink, METH_NOARGS, "unlink($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kel_pool_core_getset[] = {
    {"task_q_name", KelPoolCore_task_q_name, nullptr, "", nullptr},
    {"result_q_name", KelPoolCore_result_q_name, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kel_pool_core_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(KelPoolCore_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(KelPoolCore_dealloc)},
    {Py_tp_doc, const_cast<char*>("KelPoolCore(size_mb)\n--\n\n")},
    {Py_tp_methods, kel_pool_core_methods},
    {Py_tp_getset, kel_pool_core_getset},
    {0, nullptr},
};

PyType_Spec kel_pool_core_spec = {"builtins.KelPoolCore", sizeof(KelPoolCoreObject), 0, Py_TPFLAGS_DEFAULT,
                                  kel_pool_core_slots};

} // namespace

PyTypeObject* kel_pool_core_type() { return create_type_once(kel_pool_core, kel_pool_core_spec); }

} // namespace kel::py
