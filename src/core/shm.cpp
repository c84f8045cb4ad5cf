#include "shm.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kel {

namespace {

constexpr mode_t kSegmentMode = 0600;

// A descriptor closed on every path; errno is read before it closes.
class UniqueFd {
public:
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    [[nodiscard]] int get() const noexcept { return fd_; }

private:
    int fd_;
};

// The zero-terminated system name, or the CString error for an inner zero byte.
Result<std::string, SegmentError> checked_os_name(std::string_view name) {
    std::string os = segment_os_name(name);
    if (auto pos = os.find('\0'); pos != std::string::npos)
        return SegmentError::cstring(os, pos);
    return os;
}

// shm_open with the module's flags. fchmod pins mode 0600 whatever the umask.
Result<int, SegmentError> shm_open_named(const std::string& os_name, bool create) {
    int flags = create ? (O_CREAT | O_EXCL | O_RDWR) : O_RDWR;
    int fd = ::shm_open(os_name.c_str(), flags, kSegmentMode);
    if (fd < 0)
        return SegmentError::nix(errno);
    if (create)
        (void)::fchmod(fd, kSegmentMode);
    return fd;
}

// Sizes a new object and reserves its pages, so that a full /dev/shm is reported
// here rather than as SIGBUS at the first touch of a page.
Status<SegmentError> size_and_reserve(int fd, std::uint64_t size) {
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0)
        return SegmentError::nix(errno);
    int rc;
    do {
        rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    } while (rc == EINTR);
    if (rc != 0)
        return SegmentError::nix(rc);
    return {};
}

Result<std::uint64_t, SegmentError> object_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return SegmentError::nix(errno);
    return static_cast<std::uint64_t>(st.st_size);
}

// An opener's check of an existing object's size. A creator makes the object at
// size 0 and sizes it right after: wait for that (bounded), but never map an object
// whose bytes the mapping would run past. `exact` also refuses a larger object.
Status<SegmentError> await_size(int fd, std::uint64_t expected, bool exact) {
    const auto deadline = std::chrono::steady_clock::now() + kOpenWait;
    for (;;) {
        auto size = object_size(fd);
        if (!size.ok())
            return std::move(size.error());
        const std::uint64_t n = size.value();
        if (n == expected || (!exact && n > expected))
            return {};
        if (n != 0)
            return SegmentError::size_mismatch(n, expected);
        if (std::chrono::steady_clock::now() >= deadline)
            return SegmentError::never_initialised();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        reset();
        base_ = other.base_;
        length_ = other.length_;
        other.base_ = nullptr;
    }
    return *this;
}

void Mapping::reset() noexcept {
    if (base_ != nullptr)
        (void)::munmap(base_, length_);
    base_ = nullptr;
}

std::string segment_os_name(std::string_view name) {
    if (!name.empty() && name.front() == '/')
        return std::string(name);
    std::string os;
    os.reserve(name.size() + 1);
    os.push_back('/');
    os.append(name);
    return os;
}

Result<Mapping, SegmentError> open_segment(std::string_view name, bool create) {
    auto os_name = checked_os_name(name);
    if (!os_name.ok())
        return std::move(os_name.error());
    auto opened = shm_open_named(os_name.value(), create);
    if (!opened.ok())
        return std::move(opened.error());
    UniqueFd fd(opened.value());

    if (create) {
        if (auto st = size_and_reserve(fd.get(), kPlainSegmentSize); !st.ok())
            return std::move(st.error());
    } else if (auto st = await_size(fd.get(), kPlainSegmentSize, false); !st.ok()) {
        return std::move(st.error());
    }

    void* base = ::mmap(nullptr, kPlainSegmentSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED)
        return SegmentError::nix(errno);
    return Mapping(base, kPlainSegmentSize);
}

// Maps an object of kMirrorHeaderSize + data_size bytes as header, data area and
// mirror of the data area; any failure unmaps the whole range.
static Result<Mapping, SegmentError> map_mirrored(int fd, std::uint64_t data_size) {
    const std::size_t map_bytes = kMirrorHeaderSize + 2 * static_cast<std::size_t>(data_size);
    void* reserved = ::mmap(nullptr, map_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED)
        return SegmentError::nix(errno);
    Mapping mapping(reserved, map_bytes);

    auto* b = static_cast<std::uint8_t*>(reserved);
    const struct {
        std::uint8_t* at;
        std::size_t length;
        off_t offset;
    } parts[] = {
        {b, kMirrorHeaderSize, 0},
        {b + kMirrorHeaderSize, static_cast<std::size_t>(data_size), static_cast<off_t>(kMirrorHeaderSize)},
        {b + kMirrorHeaderSize + data_size, static_cast<std::size_t>(data_size),
         static_cast<off_t>(kMirrorHeaderSize)},
    };
    for (const auto& part : parts) {
        if (::mmap(part.at, part.length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, part.offset) ==
            MAP_FAILED)
            return SegmentError::nix(errno); // the whole reservation goes with `mapping`
    }
    return mapping;
}


Result<Mapping, SegmentError> open_mirrored_segment(std::string_view name, std::uint64_t data_size, bool create) {
    auto os_name = checked_os_name(name);
    if (!os_name.ok())
        return std::move(os_name.error());

    // The mapping spans the header and two copies of the data area; a size whose
    // mapping cannot be expressed in this address space is refused before any call.
    if (data_size > (SIZE_MAX - kMirrorHeaderSize) / 2)
        return SegmentError::nix(ENOMEM);
    const std::uint64_t object_bytes = kMirrorHeaderSize + data_size;

    auto opened = shm_open_named(os_name.value(), create);
    if (!opened.ok())
        return std::move(opened.error());
    UniqueFd fd(opened.value());

    if (create) {
        if (auto st = size_and_reserve(fd.get(), object_bytes); !st.ok())
            return std::move(st.error());
    } else if (auto st = await_size(fd.get(), object_bytes, true); !st.ok()) {
        return std::move(st.error());
    }

    return map_mirrored(fd.get(), data_size);
}

Result<Mapping, SegmentError> attach_mirrored_segment(std::string_view name, std::uint64_t& data_size) {
    auto os_name = checked_os_name(name);
    if (!os_name.ok())
        return std::move(os_name.error());
    auto opened = shm_open_named(os_name.value(), false);
    if (!opened.ok())
        return std::move(opened.error());
    UniqueFd fd(opened.value());

    // A creator makes the object at size 0 and sizes it right after.
    const auto deadline = std::chrono::steady_clock::now() + kOpenWait;
    std::uint64_t size = 0;
    for (;;) {
        auto got = object_size(fd.get());
        if (!got.ok())
            return std::move(got.error());
        size = got.value();
        if (size != 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            return SegmentError::never_initialised();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    if (size <= kMirrorHeaderSize || (size - kMirrorHeaderSize) % kMiB != 0 ||
        size - kMirrorHeaderSize > (SIZE_MAX - kMirrorHeaderSize) / 2)
        return SegmentError::not_a_queue(size);
    data_size = size - kMirrorHeaderSize;
    return map_mirrored(fd.get(), data_size);
}

Status<SegmentError> unlink_segment(std::string_view name) {
    auto os_name = checked_os_name(name);
    if (!os_name.ok())
        return std::move(os_name.error());
    if (::shm_unlink(os_name.value().c_str()) != 0)
        return SegmentError::nix(errno);
    return {};
}

} // namespace kel
