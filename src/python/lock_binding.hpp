// What the bindings of KelLock and of kelvane.Lock share: opening a lock, with the
// texts of its failures, and taking it within a time limit.
#pragma once

#include "pyutil.hpp"

#include <optional>

#include "core/lock.hpp"

namespace kel::py {

// Raises why a lock could not be opened or created (`name`: the name as given).
inline PyObject* raise_open_error(const LockOpenError& error, PyObject* name) {
    switch (error.kind) {
    case LockOpenError::Kind::NeverInitialised:
        PyErr_Format(PyExc_RuntimeError, "Failed to open lock: %s; KelLock.unlink(%R) removes it",
                     error.display().c_str(), name);
        return nullptr;
    case LockOpenError::Kind::Open:
        return raise_runtime("Failed to open shm: ", error.display());
    case LockOpenError::Kind::Create:
        return raise_runtime("Failed to create shm: ", error.display());
    case LockOpenError::Kind::Init:
        return raise_runtime("Failed into init mutex: ", error.display());
    }
    return internal_fault("unknown lock open error");
}

// Opens the lock `name`, or creates it; waits for a creator that has not finished
// without the interpreter lock.
inline Result<LockHandle, LockOpenError> open_lock(std::string_view name) {
    return open_or_create_lock(name, [](auto&& step) {
        GilRelease nogil;
        step();
    });
}

// Taking the lock within a time limit: tries with the interpreter lock held, and
// waits without it in slices (run_sliced), so that signal handlers run between them
// and an interrupted or timed out call leaves the lock as it was.
//
// How a take ended: Done (held; `recovered` after a dead holder), Again (the time ran
// out) or Failed (a lock error, or else a signal handler raised).
struct Taken {
    Step step = Step::Failed;
    bool recovered = false;
    std::optional<LockError> error;
};

inline Taken take_within(LockHandle& lock, const WaitBudget& budget) {
    Taken taken;
    // Both steps end with the lock held, busy, or failed.
    auto step_of = [&](Result<Acquired, LockError> outcome) {
        if (!outcome.ok()) {
            taken.error.emplace(outcome.error());
            return Step::Failed;
        }
        if (outcome.value() == Acquired::Busy)
            return Step::Again;
        taken.recovered = outcome.value() == Acquired::Recovered;
        return Step::Done;
    };
    bool wait_failed = false;
    taken.step = run_sliced(
        budget, {}, [&] { return step_of(lock.try_acquire()); },
        [&](Step, Deadline end) {
            auto outcome = lock.acquire_until(end);
            // Taken over from a dead holder, the lock stays held even by a parked
            // thread: whoever comes next must still be told that the holder died.
            if (outcome.ok() && outcome.value() == Acquired::Clean)
                unlock_if_parked(lock.mutex());
            return step_of(std::move(outcome));
        },
        wait_failed);
    return taken;
}

} // namespace kel::py
