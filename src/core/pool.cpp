// The owning side of a worker pool's transport: a fresh identifier, the two queue
// names made from it, and creating both queues.

#include "pool.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>
#include <utility>

namespace kel {

namespace {

using RandomBytes = std::array<std::uint8_t, 16>;

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

// Removes a name this construction created unless construction went through.
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

} // namespace

Result<PoolQueues, PoolError> PoolQueues::create(std::uint64_t data_size) {
    auto id = new_pool_id();
    if (!id.ok())
        return PoolError::random_failed(std::move(id.error()));
    std::string task_name = "kp_task_" + id.value();
    std::string result_name = "kp_res_" + id.value();

    // The names are ours alone and nobody else can learn them: a construction that
    // fails removes every one it created, so no object is stranded in /dev/shm.
    NameGuard task_guard, result_guard;
    auto task = open_mirrored_segment(task_name, data_size, true);
    if (!task.ok()) {
        if (!task.error().is_errno(EEXIST))
            task_guard.arm(task_name);
        return PoolError::with_segment(PoolError::Kind::CreateTask, std::move(task.error()));
    }
    task_guard.arm(task_name);
    auto result = open_mirrored_segment(result_name, data_size, true);
    if (!result.ok()) {
        if (!result.error().is_errno(EEXIST))
            result_guard.arm(result_name);
        return PoolError::with_segment(PoolError::Kind::CreateResult, std::move(result.error()));
    }
    result_guard.arm(result_name);
    Mapping task_mapping = std::move(task.value());
    Mapping result_mapping = std::move(result.value());

    // Both objects exist before either header is written.
    auto task_ring = init_header(task_mapping.base(), task_mapping.length());
    if (!task_ring.ok()) {
        result_mapping.reset();
        return PoolError::with_queue(PoolError::Kind::InitTask, std::move(task_ring.error()));
    }
    auto result_ring = init_header(result_mapping.base(), result_mapping.length());
    if (!result_ring.ok()) {
        result_mapping.reset();
        return PoolError::with_queue(PoolError::Kind::InitResult, std::move(result_ring.error()));
    }
    task_guard.disarm();
    result_guard.disarm();
    PoolQueues queues;
    queues.task_name_ = std::move(task_name);
    queues.result_name_ = std::move(result_name);
    queues.task_ = QueueSegment{std::move(task_mapping), task_ring.value()};
    queues.result_ = QueueSegment{std::move(result_mapping), result_ring.value()};
    return queues;
}

PoolQueues::PoolQueues(PoolQueues&& other) noexcept
    : task_name_(std::exchange(other.task_name_, std::string())),
      result_name_(std::exchange(other.result_name_, std::string())), task_(std::move(other.task_)),
      result_(std::move(other.result_)) {}

PoolQueues::~PoolQueues() {
    // The names first, then the mappings: a worker that attaches from now on finds
    // nothing, and one that is attached keeps its own mapping.
    unlink();
    task_.mapping.reset();
    result_.mapping.reset();
}

void PoolQueues::unlink() noexcept {
    // A name that is already gone is no concern here. A moved-from value has none.
    if (!task_name_.empty())
        (void)unlink_segment(task_name_);
    if (!result_name_.empty())
        (void)unlink_segment(result_name_);
}

} // namespace kel
