// Telling a lock from a queue from anything else by the bytes of the object.

#include "objects.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lock.hpp"
#include "queue.hpp"
#include "shm.hpp"

namespace kel {

namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// glibc's mutex kind word: the type in the low bits, then the robust and process-shared
// flags; pthread_mutex_init sets nothing above kKindKnown.
constexpr std::size_t kMutexKindAt = offsetof(pthread_mutex_t, __data.__kind);
constexpr int kKindRobust = 0x10;
constexpr int kKindShared = 0x80;
constexpr int kKindKnown = 0x3ff;

bool is_robust_shared_mutex(const std::uint8_t* raw) {
    int kind;
    std::memcpy(&kind, raw + kMutexKindAt, sizeof kind);
    return (kind & (kKindRobust | kKindShared)) == (kKindRobust | kKindShared) && (kind & ~kKindKnown) == 0;
}

bool all_zero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

bool read_exactly(int fd, void* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, static_cast<std::uint8_t*>(out) + done, n - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

ObjectKind lock_sized(int fd) {
    std::uint8_t head[offsetof(LockRecord, ready) + sizeof(std::uint64_t)];
    if (!read_exactly(fd, head, sizeof head))
        return {Holds::Unknown, {}};
    std::uint64_t mark;
    std::memcpy(&mark, head + offsetof(LockRecord, ready), sizeof mark);
    if (mark == kLockReady || (mark == 0 && is_robust_shared_mutex(head)))
        return {Holds::Lock, "a kelvane lock"};
    if (all_zero(head, sizeof head))
        return {Holds::Unknown, {}}; // perhaps a lock whose creator has not finished
    return {Holds::SomethingElse, std::to_string(kPlainSegmentSize) + " bytes that are not a kelvane lock"};
}

ObjectKind queue_sized(int fd, std::uint64_t size) {
    std::uint8_t head[offsetof(QueueHeader, ready) + sizeof(std::uint64_t)];
    const std::uint64_t capacity = size - kMirrorHeaderSize;
    const std::string mib = std::to_string(capacity / kMiB) + " MiB";
    if (read_exactly(fd, head, sizeof head)) {
        std::uint64_t recorded, ready;
        std::memcpy(&recorded, head + offsetof(QueueHeader, capacity), sizeof recorded);
        std::memcpy(&ready, head + offsetof(QueueHeader, ready), sizeof ready);
        if (ready == 1 && recorded == capacity)
            return {Holds::Queue, "a kelvane queue (" + mib + ")"};
        if (ready == 0 && is_robust_shared_mutex(head))
            return {Holds::Queue, "a kelvane queue (" + mib + ") still being created"};
        if (all_zero(head, sizeof head))
            return {Holds::Unknown, {}}; // sized, not yet initialised
    }
    return {Holds::SomethingElse, std::to_string(size) + " bytes that are not a kelvane queue"};
}

} // namespace

ObjectKind describe_object(std::string_view name) {
    const std::string os = segment_os_name(name);
    // Names the system refuses anyway ("/" alone, inner slashes, zero bytes): its error says so.
    if (os.size() < 2 || os.find_first_of(std::string_view("/\0", 2), 1) != std::string::npos)
        return {Holds::Unknown, {}};
    const std::string path = "/dev/shm" + os;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {Holds::Unknown, {}};
    struct stat st {};
    ObjectKind kind{Holds::Unknown, {}};
    if (::fstat(fd, &st) == 0) {
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (!S_ISREG(st.st_mode))
            kind = {Holds::SomethingElse, "something that is not a shared-memory object"};
        else if (size == 0)
            kind = {Holds::Unknown, {}}; // a creator between creating the name and sizing it
        else if (size == kPlainSegmentSize)
            kind = lock_sized(fd);
        else if (size > kMirrorHeaderSize && (size - kMirrorHeaderSize) % kMiB == 0)
            kind = queue_sized(fd, size);
        else
            kind = {Holds::SomethingElse, std::to_string(size) + " bytes"};
    }
    ::close(fd);
    return kind;
}

std::string refusal(std::string_view name, const ObjectKind& held, std::string_view kind) {
    const Holds wanted = kind == "lock" ? Holds::Lock : Holds::Queue;
    if (held.holds == Holds::Unknown || held.holds == wanted)
        return {};
    std::string text;
    text.append("'").append(name).append("' holds ").append(held.what).append(", not a ");
    if (held.holds == Holds::SomethingElse)
        text.append("kelvane ");
    return text.append(kind);
}

} // namespace kel
