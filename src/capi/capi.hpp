// The C API's shared pieces: the handles behind the opaque types, failures as the
// calling thread's last error, and the guard that keeps C++ exceptions inside.
#pragma once

#include <chrono>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "core/deadline.hpp"
#include "core/errors.hpp"
#include "core/lock.hpp"
#include "core/queue.hpp"
#include "kelvane.h"

namespace kel::capi {

// The in-use mark that kelvane's Python objects hold on every object they use: an open
// file description of the object with a shared OFD record lock, which lives as long as
// the handle (or a forked child that inherited the descriptor) and tells `kelvane rm
// --stale` that somebody uses the object even where /proc hides the process. Best effort.
class InUseMark {
public:
    InUseMark() = default;
    explicit InUseMark(std::string_view name) noexcept;
    InUseMark(InUseMark&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    InUseMark& operator=(InUseMark&&) = delete;
    InUseMark(const InUseMark&) = delete;
    InUseMark& operator=(const InUseMark&) = delete;
    ~InUseMark();

private:
    int fd_ = -1;
};

// Records a failure as the calling thread's last error; returns `code`.
int fail(int code, std::string text) noexcept;
// The same for a text that needs no memory.
int fail_static(int code, const char* text) noexcept;

// The code of a segment failure: the errno values a caller may act on, else KV_ESYSTEM.
int segment_code(const SegmentError& e) noexcept;
// The code of a queue operation's failure.
int queue_code(const QueueError& e) noexcept;

// Refuses (KV_EKIND) a name that holds something other than a `kind` ("lock", "queue").
// 0 when it may be used as one.
int refuse_unless(const char* name, std::string_view kind);

// Until when a call with this timeout may wait for what it needs; false for a bad timeout.
bool deadline_of(std::int64_t timeout_ns, Deadline& until) noexcept;

// Runs one entry point so that no C++ exception leaves it.
template <class F>
int guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return fail_static(KV_ENOMEM, "no memory");
    } catch (...) {
        return fail_static(KV_EINTERNAL, "kelvane: internal error");
    }
}

} // namespace kel::capi

struct kv_queue {
    kel::QueueSegment queue;
    kel::capi::InUseMark mark;
};

struct kv_lock {
    kel::LockHandle lock;
    kel::capi::InUseMark mark;
};
