// KelPoolCore: the owning side of a worker pool's transport. It creates a task
// queue and a result queue under fresh names; workers attach to them by name.

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

#include "python/module.hpp"
#include "core/queue.hpp"
#include "core/shm.hpp"

namespace kel {

namespace {

using RandomBytes = std::array<std::uint8_t, 16>;

// The random source's own error, as its errno text.
struct RandomError {
    std::string text;
};

RandomError random_error(int e) { return {Errno(e).display()}; }

enum class RandomSource : int { Unprobed, GetRandom, DevUrandom };

// Chosen once per process: getrandom where the kernel has it, else /dev/urandom
// once /dev/random says the pool is initialised.
RandomSource random_source() {
    static std::atomic<RandomSource> source{RandomSource::Unprobed};
    RandomSource s = source.load();
    if (s == RandomSource::Unprobed) {
        s = RandomSource::GetRandom;
        if (::getrandom(nullptr, 0, 0) < 0 && (errno == ENOSYS || errno == EPERM))
            s = RandomSource::DevUrandom;
        source.store(s);
    }
    return s;
}

Result<RandomBytes, RandomError> read_dev_urandom() {
    int random_fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (random_fd < 0)
        return random_error(errno);
    pollfd pfd{random_fd, POLLIN, 0};
    int polled;
    do {
        polled = ::poll(&pfd, 1, -1);
    } while (polled < 0 && errno == EINTR);
    int poll_errno = errno;
    ::close(random_fd);
    if (polled < 0)
        return random_error(poll_errno);

    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return random_error(errno);
    RandomBytes out{};
    std::size_t filled = 0;
    while (filled < out.size()) {
        ssize_t n = ::read(fd, out.data() + filled, out.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = n < 0 ? errno : EIO;
            ::close(fd);
            return random_error(e);
        }
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return out;
}

Result<RandomBytes, RandomError> random_bytes() {
    if (random_source() == RandomSource::DevUrandom)
        return read_dev_urandom();
    RandomBytes out{};
    std::size_t filled = 0;
    while (filled < out.size()) {
        ssize_t n = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return random_error(errno);
        }
        filled += static_cast<std::size_t>(n);
    }
    return out;
}

// The first 8 hex digits of a version-4 UUID: its first 4 bytes, all random.
Result<std::string, RandomError> new_pool_id() {
    auto bytes = random_bytes();
    if (!bytes.ok())
        return std::move(bytes.error());
    RandomBytes& b = bytes.value();
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 4; ++i) {
        id.push_back(kHex[b[i] >> 4]);
        id.push_back(kHex[b[i] & 0x0f]);
    }
    return id;
}

} // namespace

namespace py {

namespace {

PyTypeObject* kel_pool_core = nullptr;

constexpr std::uint64_t kMaxSizeMb = std::uint64_t{1} << 44;

struct KelPoolCoreObject {
    PyObject_HEAD
    std::string task_q_name;
    std::string result_q_name;
    Mapping task_mapping;
    Mapping result_mapping;
    RingQueue task_ring;
    RingQueue result_ring;
    std::uint64_t capacity_bytes;
};

KelPoolCoreObject* as_pool(PyObject* o) { return reinterpret_cast<KelPoolCoreObject*>(o); }

// Removes a name this constructor created unless construction went through.
class NameGuard {
public:
    NameGuard() = default;
    NameGuard(const NameGuard&) = delete;
    NameGuard& operator=(const NameGuard&) = delete;
    ~NameGuard() {
        if (!name_.empty())
            (void)unlink_segment(name_);
    }
    void arm(const std::string& name) { name_ = name; }
    void disarm() noexcept { name_.clear(); }

private:
    std::string name_;
};

// Removes both names; a name that is already gone is no concern here.
void unlink_both(const std::string& task, const std::string& result) {
    (void)unlink_segment(task);
    (void)unlink_segment(result);
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

        auto id = new_pool_id();
        if (!id.ok())
            return internal_fault("could not retrieve random bytes for uuid: " + id.error().text);
        std::string task_name = "kp_task_" + id.value();
        std::string result_name = "kp_res_" + id.value();
        const std::uint64_t capacity_bytes = size_mb << 20;

        // The names are ours alone and nobody else can learn them: a construction that
        // fails removes every one it created, so no object is stranded in /dev/shm.
        NameGuard task_guard, result_guard;
        auto task = open_mirrored_segment(task_name, capacity_bytes, true);
        if (!task.ok()) {
            if (!task.error().is_errno(EEXIST))
                task_guard.arm(task_name);
            return raise_runtime("Failed to create task shm: ", task.error().display());
        }
        task_guard.arm(task_name);
        auto result = open_mirrored_segment(result_name, capacity_bytes, true);
        if (!result.ok()) {
            if (!result.error().is_errno(EEXIST))
                result_guard.arm(result_name);
            return raise_runtime("Failed to create result shm: ", result.error().display());
        }
        result_guard.arm(result_name);
        Mapping task_mapping = std::move(task.value());
        Mapping result_mapping = std::move(result.value());

        // Both objects exist before either header is written.
        auto task_ring = init_header(task_mapping.base(), task_mapping.length());
        if (!task_ring.ok()) {
            result_mapping.reset();
            return raise_runtime("Failed to init task buffer: ", task_ring.error().display());
        }
        auto result_ring = init_header(result_mapping.base(), result_mapping.length());
        if (!result_ring.ok()) {
            result_mapping.reset();
            return raise_runtime("Failed to init result buffer: ", result_ring.error().display());
        }

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
        if (self == nullptr)
            return nullptr;
        task_guard.disarm();
        result_guard.disarm();
        auto* pool = as_pool(self);
        std::construct_at(&pool->task_q_name, std::move(task_name));
        std::construct_at(&pool->result_q_name, std::move(result_name));
        std::construct_at(&pool->task_mapping, std::move(task_mapping));
        std::construct_at(&pool->result_mapping, std::move(result_mapping));
        std::construct_at(&pool->task_ring, task_ring.value());
        std::construct_at(&pool->result_ring, result_ring.value());
        pool->capacity_bytes = capacity_bytes;
        return self;
    });
}

void KelPoolCore_dealloc(PyObject* self) {
    auto* pool = as_pool(self);
    unlink_both(pool->task_q_name, pool->result_q_name);
    pool->task_mapping.reset();
    pool->result_mapping.reset();
    std::destroy_at(&pool->result_mapping);
    std::destroy_at(&pool->task_mapping);
    std::destroy_at(&pool->result_q_name);
    std::destroy_at(&pool->task_q_name);
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
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
        return queue_put(as_pool(self)->task_ring, data, size, "Task put error: ");
    });
}

PyObject* KelPoolCore_get_result(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_pool_core_type, "KelPoolCore"))
            return nullptr;
        return queue_get(as_pool(self)->result_ring, "Result get error: ");
    });
}

PyObject* KelPoolCore_unlink(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_pool_core_type, "KelPoolCore"))
            return nullptr;
        unlink_both(as_pool(self)->task_q_name, as_pool(self)->result_q_name);
        Py_RETURN_NONE;
    });
}

PyObject* name_str(PyObject* self, const std::string KelPoolCoreObject::*field) {
    return guarded([&]() -> PyObject* {
        if (!check_receiver(self, kel_pool_core_type, "KelPoolCore"))
            return nullptr;
        const std::string& name = as_pool(self)->*field;
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

PyObject* KelPoolCore_task_q_name(PyObject* self, void*) { return name_str(self, &KelPoolCoreObject::task_q_name); }
PyObject* KelPoolCore_result_q_name(PyObject* self, void*) {
    return name_str(self, &KelPoolCoreObject::result_q_name);
}

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

} // namespace py
} // namespace kel
