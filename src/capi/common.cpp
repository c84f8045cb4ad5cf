// Versions, result texts, the last error of each thread, and what every entry shares.

#include "capi.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "core/objects.hpp"
#include "core/shm.hpp"

namespace kel::capi {

namespace {

// The latest failure of this thread: a composed text, or a fixed one when composing
// needed memory that was not there.
thread_local std::string last_text;
thread_local const char* last_fixed = "";

} // namespace

int fail(int code, std::string text) noexcept {
    last_text = std::move(text);
    last_fixed = nullptr;
    return code;
}

int fail_static(int code, const char* text) noexcept {
    last_fixed = text;
    return code;
}

int segment_code(const SegmentError& e) noexcept {
    switch (e.kind) {
    case SegmentError::Kind::Nix:
        break;
    case SegmentError::Kind::CString:
        return KV_EINVAL;
    case SegmentError::Kind::SizeMismatch:
        return KV_ECAPACITY;
    case SegmentError::Kind::NeverInitialised:
        return KV_EUNINIT;
    case SegmentError::Kind::NotAQueue:
        return KV_EKIND;
    }
    switch (e.err.value()) {
    case ENOENT:
        return KV_ENOENT;
    case EACCES:
    case EPERM:
        return KV_EACCES;
    case ENOMEM:
        return KV_ENOMEM;
    default:
        return KV_ESYSTEM;
    }
}

int queue_code(const QueueError& e) noexcept {
    switch (e.kind) {
    case QueueError::Kind::BufferTooSmall:
    case QueueError::Kind::RecordTooLong:
        return KV_EMSGSIZE;
    case QueueError::Kind::Corrupt:
        return KV_ECORRUPT;
    case QueueError::Kind::BadPosition:
        return KV_EPOS;
    case QueueError::Kind::Mutex:
    case QueueError::Kind::Cond:
        break;
    }
    return KV_ESYSTEM;
}

int refuse_unless(const char* name, std::string_view kind) {
    std::string refused = refusal(name, describe_object(name), kind);
    if (refused.empty())
        return KV_OK;
    return fail(KV_EKIND, std::move(refused));
}

bool deadline_of(std::int64_t timeout_ns, Deadline& until) noexcept {
    if (timeout_ns == KV_FOREVER) {
        until = kForever;
        return true;
    }
    if (timeout_ns < 0)
        return false;
    const Deadline now = Clock::now();
    const auto left = std::chrono::nanoseconds(timeout_ns);
    until = kForever - now > left ? now + left : kForever;
    return true;
}

InUseMark::InUseMark(std::string_view name) noexcept {
    try {
        const std::string path = "/dev/shm" + segment_os_name(name);
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return;
        struct flock shared {};
        shared.l_type = F_RDLCK;
        shared.l_whence = SEEK_SET;
        if (::fcntl(fd, F_OFD_SETLK, &shared) != 0) {
            ::close(fd);
            return;
        }
        fd_ = fd;
    } catch (...) {
        // no memory for the path: no mark, which only `kelvane rm --stale` would miss
    }
}

InUseMark::~InUseMark() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace kel::capi

extern "C" {

const char* kv_version(int* major, int* minor, int* patch) {
    if (major != nullptr)
        *major = KV_VERSION_MAJOR;
    if (minor != nullptr)
        *minor = KV_VERSION_MINOR;
    if (patch != nullptr)
        *patch = KV_VERSION_PATCH;
    return KV_VERSION_STRING;
}

const char* kv_strerror(int code) {
    switch (code) {
    case KV_OK:
        return "success";
    case KV_RECOVERED:
        return "Lock recovered from dead process";
    case KV_EAGAIN:
        return "no message, or no room for it, right now";
    case KV_EBUSY:
        return "another thread held the queue or lock at that instant";
    case KV_ETIMEDOUT:
        return "timed out";
    case KV_EINVAL:
        return "invalid argument";
    case KV_ENOMEM:
        return "no memory";
    case KV_ENOENT:
        return "no queue or lock of that name";
    case KV_EACCES:
        return "permission denied";
    case KV_EKIND:
        return "the name holds something else";
    case KV_ECAPACITY:
        return "the queue exists with another capacity";
    case KV_EUNINIT:
        return "its creator never finished making it";
    case KV_EMSGSIZE:
        return "the message can never fit the queue";
    case KV_EBUFSIZE:
        return "the buffer is too small for the message, which stays queued";
    case KV_EPOS:
        return "not the end of the oldest message";
    case KV_EPERM:
        return "the calling thread does not hold the lock";
    case KV_EDEADLK:
        return "the calling thread holds the lock already";
    case KV_ECORRUPT:
        return "the queue's shared header is damaged";
    case KV_ESYSTEM:
        return "a system call failed";
    case KV_EINTERNAL:
        return "internal error";
    case KV_ENOSPC:
        return "no memory for a block";
    case KV_EDECODE:
        return "the block message cannot be read";
    case KV_EPARTS:
        return "the message is a block of several parts";
    default:
        return "unknown result code";
    }
}

const char* kv_last_error(void) {
    using namespace kel::capi;
    return last_fixed != nullptr ? last_fixed : last_text.c_str();
}

} // extern "C"
