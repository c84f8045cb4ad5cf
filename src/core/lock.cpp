// The robust lock record: creation, opening, acquire with dead-owner take-over, release.

#include "lock.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "mutex_word.hpp"
#include "spin.hpp"

namespace kel {

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

// Waits, bounded, for a creator that has not finished.
bool wait_lock_ready(LockRecord* record) {
    const auto deadline = std::chrono::steady_clock::now() + kOpenWait;
    while (!lock_record_ready(record)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// True when a thread of this process holds the mutex: tgkill with signal 0 tells
// whether the owner's thread id is one of ours without touching the thread.
bool held_in_this_process(LockRecord* record) {
    const pid_t tid = mutex_owner_tid(&record->mutex);
    return tid != 0 && ::syscall(SYS_tgkill, ::getpid(), tid, 0) == 0;
}

// Watches the lock word and tries only when it reads free: the other process usually
// lets go within microseconds, long before a sleeper could be woken. EBUSY when the
// short watch ended with the lock still held.
int poll_then_try(pthread_mutex_t* mutex) {
    int rc = EBUSY;
    (void)poll_until([&] {
        if (mutex_owner_tid(mutex) != 0)
            return false;
        rc = pthread_mutex_trylock(mutex);
        return rc != EBUSY;
    });
    return rc;
}

} // namespace

LockHandle::~LockHandle() {
    // Unmapping a robust mutex that a thread of ours still holds would leave a
    // dangling entry on that thread's robust list: when it dies, the kernel could no
    // longer mark the owner dead and every other process would wait for ever. The
    // mapping of a held lock therefore stays until the process ends.
    if (mapping_ && held_in_this_process(record_))
        mapping_.leak();
}

Result<Acquired, LockError> LockHandle::classify(int rc) noexcept {
    switch (rc) {
    case 0:
        return Acquired::Clean;
    case EOWNERDEAD:
        (void)pthread_mutex_consistent(&record_->mutex);
        return Acquired::Recovered;
    case EBUSY:
        return Acquired::Busy;
    default:
        return LockError::pthread(rc);
    }
}

Result<Acquired, LockError> LockHandle::acquire() {
    int rc = poll_then_try(&record_->mutex);
    if (rc == EBUSY)
        rc = pthread_mutex_lock(&record_->mutex);
    // A blocking lock never says EBUSY; should it, that is a failure, not a busy lock.
    if (rc == EBUSY)
        return LockError::pthread(EBUSY);
    return classify(rc);
}

Result<Acquired, LockError> LockHandle::acquire_until(Deadline end) {
    int rc = poll_then_try(&record_->mutex);
    if (rc == EBUSY) {
        const timespec abs = monotonic_timespec(end);
        rc = pthread_mutex_clocklock(&record_->mutex, CLOCK_MONOTONIC, &abs);
        if (rc == ETIMEDOUT)
            rc = EBUSY;
    }
    return classify(rc);
}

bool LockOpening::creatable() const {
    if (opened->ok())
        return false;
    // An object that exists but cannot be used: creating it would only say EEXIST.
    const SegmentError& e = opened->error();
    return !(e.kind == SegmentError::Kind::SizeMismatch || e.kind == SegmentError::Kind::NeverInitialised ||
             e.is_errno(EACCES));
}

LockOpening open_existing_lock(std::string_view name) {
    LockOpening opening;
    opening.opened.emplace(open_segment(name, false));
    opening.ready =
        opening.opened->ok() && wait_lock_ready(static_cast<LockRecord*>(opening.opened->value().base()));
    return opening;
}

Result<LockHandle, LockOpenError> create_lock(std::string_view name) {
    auto created = open_segment(name, true);
    if (!created.ok())
        return LockOpenError::create(std::move(created.error()));
    Mapping mapping = std::move(created.value());
    if (auto st = init_lock_record(static_cast<LockRecord*>(mapping.base())); !st.ok())
        return LockOpenError::init(st.error());
    return LockHandle(std::move(mapping));
}

Result<LockHandle, LockOpenError> opened_lock(LockOpening&& opening) {
    if (!opening.opened->ok()) {
        if (opening.opened->error().kind == SegmentError::Kind::NeverInitialised)
            return LockOpenError::never_initialised();
        return LockOpenError::open(std::move(opening.opened->error()));
    }
    if (!opening.ready)
        return LockOpenError::never_initialised();
    return LockHandle(std::move(opening.opened->value()));
}

} // namespace kel
