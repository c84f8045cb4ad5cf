// kv_lock_*: the C API of the robust named lock, one core call each (core/lock.hpp).

#include "capi.hpp"

#include <cerrno>
#include <memory>

#include "core/shm.hpp"

namespace kel::capi {

namespace {

int open_failure(const LockOpenError& error, const char* name) {
    switch (error.kind) {
    case LockOpenError::Kind::NeverInitialised:
        return fail(KV_EUNINIT, "Failed to open lock: " + error.display() + "; kv_lock_unlink(\"" + name +
                                    "\") removes it");
    case LockOpenError::Kind::Open:
        return fail(segment_code(error.segment), "Failed to open shm: " + error.display());
    case LockOpenError::Kind::Create:
        return fail(segment_code(error.segment), "Failed to create shm: " + error.display());
    case LockOpenError::Kind::Init:
        return fail(KV_ESYSTEM, "Failed into init mutex: " + error.display());
    }
    return fail_static(KV_EINTERNAL, "kelvane: unknown lock open error");
}

int acquired(const Result<Acquired, LockError>& outcome, int busy) {
    if (!outcome.ok()) {
        const LockError& e = outcome.error();
        const int code = e.kind == LockError::Kind::Pthread && e.code == EDEADLK ? KV_EDEADLK : KV_ESYSTEM;
        return fail(code, "Lock failure: " + e.display());
    }
    switch (outcome.value()) {
    case Acquired::Clean:
        return KV_OK;
    case Acquired::Recovered:
        return KV_RECOVERED;
    case Acquired::Busy:
        break;
    }
    return busy == KV_EBUSY ? fail_static(KV_EBUSY, "another thread held the lock")
                            : fail_static(KV_ETIMEDOUT, "the lock stayed held until the timeout");
}

} // namespace

} // namespace kel::capi

using namespace kel;
using namespace kel::capi;

extern "C" {

int kv_lock_open(kv_lock** out, const char* name) {
    if (out != nullptr)
        *out = nullptr;
    return guarded([&]() -> int {
        if (out == nullptr || name == nullptr)
            return fail_static(KV_EINVAL, "kv_lock_open: a required pointer is NULL");
        if (int rc = refuse_unless(name, "lock"); rc != KV_OK)
            return rc;
        auto result = open_or_create_lock(name, [](auto&& step) { step(); });
        if (!result.ok())
            return open_failure(result.error(), name);
        auto handle = std::make_unique<kv_lock>(kv_lock{std::move(result.value()), InUseMark(name)});
        *out = handle.release(); // kv_lock_close takes it back
        return KV_OK;
    });
}

void kv_lock_close(kv_lock* l) { std::unique_ptr<kv_lock> owned(l); }

int kv_lock_unlink(const char* name) {
    return guarded([&]() -> int {
        if (name == nullptr)
            return fail_static(KV_EINVAL, "kv_lock_unlink: a required pointer is NULL");
        if (int rc = refuse_unless(name, "lock"); rc != KV_OK)
            return rc;
        if (auto st = unlink_segment(name); !st.ok())
            return fail(segment_code(st.error()), "Unlink failed: " + st.error().display());
        return KV_OK;
    });
}

int kv_lock_acquire(kv_lock* l, int64_t timeout_ns) {
    return guarded([&]() -> int {
        if (l == nullptr)
            return fail_static(KV_EINVAL, "kv_lock_acquire: a required pointer is NULL");
        LockHandle& lock = l->lock;
        if (timeout_ns == 0)
            return acquired(lock.try_acquire(), KV_ETIMEDOUT);
        if (timeout_ns == KV_FOREVER)
            return acquired(lock.acquire(), KV_ETIMEDOUT);
        Deadline until;
        if (!deadline_of(timeout_ns, until))
            return fail_static(KV_EINVAL,
                               "kv_lock_acquire: the timeout must be KV_FOREVER (-1) or at least 0 nanoseconds");
        return acquired(lock.acquire_until(until), KV_ETIMEDOUT);
    });
}

int kv_lock_try_acquire(kv_lock* l) {
    return guarded([&]() -> int {
        if (l == nullptr)
            return fail_static(KV_EINVAL, "kv_lock_try_acquire: a required pointer is NULL");
        return acquired(l->lock.try_acquire(), KV_EBUSY);
    });
}

int kv_lock_release(kv_lock* l) {
    return guarded([&]() -> int {
        if (l == nullptr)
            return fail_static(KV_EINVAL, "kv_lock_release: a required pointer is NULL");
        if (auto st = l->lock.release(); !st.ok()) {
            const LockError& e = st.error();
            const int code = e.kind == LockError::Kind::Pthread && e.code == EPERM ? KV_EPERM : KV_ESYSTEM;
            return fail(code, "Unlock failed: " + e.display());
        }
        return KV_OK;
    });
}

} // extern "C"
