// Block arenas: creating and opening them, taking, publishing, holding and freeing
// blocks, and giving back what dead processes left.

#include "blocks.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <optional>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "kill_points.hpp"
#include "spin.hpp"

namespace kel {

namespace {

constexpr auto kReadyWait = std::chrono::seconds(10);
constexpr long kWaitNanos = 100'000'000;
// A consumer took or freed a block this recently: it is reading, and a producer waits for
// the blocks it frees rather than carve new ones.
constexpr std::uint64_t kConsumingWithin = 200'000'000;
// A block a consumer took this recently is being read and comes back soon.
constexpr std::uint64_t kRecentlyTaken = 250'000'000;
// The least time between two looks for what dead processes left, while blocks come back.
constexpr std::uint64_t kReclaimEvery = 20'000'000;
// A reader that freed a block this recently streams: a producer paces itself to it.
constexpr std::uint64_t kStreamingWithin = 1'000'000;
// How many blocks wait in the ring before such a producer paces itself.
constexpr std::uint64_t kPaceQueued = 2;

template <class T>
std::atomic_ref<T> field(T& f) {
    return std::atomic_ref<T>(f);
}

std::uint64_t monotonic_ns() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

std::uint64_t round_up(std::uint64_t n, std::uint64_t to) { return (n + to - 1) / to * to; }

// Blocks come in steps of a quarter of their power of two (at least kBlockAlign), so
// that messages of about the same size reuse each other's blocks.
std::uint64_t size_class(std::uint64_t length) {
    const std::uint64_t n = round_up(std::max<std::uint64_t>(length, 1), kBlockAlign);
    const int log2 = 63 - __builtin_clzll(n);
    const std::uint64_t step = std::max<std::uint64_t>(kBlockAlign, std::uint64_t{1} << std::max(log2 - 2, 0));
    return round_up(n, step);
}

long futex(std::uint32_t* word, int op, std::uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

// A descriptor closed unless released.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) noexcept : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    [[nodiscard]] int get() const noexcept { return fd_; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd) noexcept {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::optional<std::uint64_t> start_ticks_of(std::uint32_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0)
        return std::nullopt;
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    if (p == nullptr)
        return std::nullopt;
    // After ") " come fields 3 on; the start time is field 22.
    p += 2;
    for (int field_no = 3; field_no < 22 && *p != '\0'; ++p)
        if (*p == ' ')
            ++field_no;
    char* end = nullptr;
    const unsigned long long ticks = std::strtoull(p, &end, 10);
    if (end == p)
        return std::nullopt;
    return ticks;
}

std::uint64_t pid_namespace_of(const char* path) {
    // open and fstat rather than stat, which glibc exports only from 2.33 on.
    const OwnedFd fd(::open(path, O_PATH | O_CLOEXEC));
    struct stat st {};
    return fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
}

// Every arena this process maps, so that one mapping serves all its handles, and a
// forked child can map them afresh. Taken with no other lock held but, perhaps, a
// queue mutex (an arena opened lazily by a get's hook).
struct Registry {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<std::weak_ptr<BlockArena>> arenas;
};
Registry& registry() {
    static Registry r;
    return r;
}

class RegistryLock {
public:
    RegistryLock() noexcept { (void)pthread_mutex_lock(&registry().mutex); }
    ~RegistryLock() { (void)pthread_mutex_unlock(&registry().mutex); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
};

std::shared_ptr<BlockArena> registered(std::uint64_t id) {
    auto& arenas = registry().arenas;
    std::shared_ptr<BlockArena> found;
    std::erase_if(arenas, [&](const std::weak_ptr<BlockArena>& w) {
        auto a = w.lock();
        if (!a)
            return true;
        if (a->id() == id)
            found = std::move(a);
        return false;
    });
    return found;
}

// kelvane's in-use mark (see kelvane/_objects.py): a shared OFD lock on the control
// object, held through its descriptor for as long as this process keeps the arena.
void mark_in_use(int fd) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    (void)::fcntl(fd, F_OFD_SETLK, &lock);
}

Result<std::uint64_t, ArenaError> new_arena_id() {
    for (;;) {
        std::uint64_t id = 0;
        std::size_t got = 0;
        while (got < sizeof id) {
            const ssize_t n = ::getrandom(reinterpret_cast<std::uint8_t*>(&id) + got, sizeof id - got, 0);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return ArenaError::from_segment(SegmentError::nix(errno));
            }
            got += static_cast<std::size_t>(n);
        }
        if (id != 0)
            return id;
    }
}

bool mutex_lock(pthread_mutex_t* mutex, Deadline until) {
    int rc = pthread_mutex_trylock(mutex);
    while (rc == EBUSY && until != kNoWait) {
        const Deadline now = Clock::now();
        if (now >= until)
            break;
        const Deadline slice = until - now > std::chrono::milliseconds(100) ? now + std::chrono::milliseconds(100) : until;
        const timespec abs = monotonic_timespec(slice);
        rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &abs);
        if (rc == ETIMEDOUT)
            rc = EBUSY;
    }
    if (rc == EOWNERDEAD) {
        // Its holder died between two stores of a slot change; the reclaim rules put
        // any such slot right (see reclaim_locked).
        (void)pthread_mutex_consistent(mutex);
        return true;
    }
    return rc == 0;
}

void set_owner(BlockSlot& s, SlotState state, const ProcessId& who) {
    field(s.owner_pid).store(who.pid, std::memory_order_relaxed);
    field(s.owner_ticks).store(who.start_ticks, std::memory_order_relaxed);
    field(s.owner_ns).store(who.pid_ns, std::memory_order_relaxed);
    field(s.last_used_ns).store(monotonic_ns(), std::memory_order_relaxed);
    field(s.state).store(static_cast<std::uint32_t>(state), std::memory_order_release);
}

SlotState state_of(const BlockSlot& s) {
    return static_cast<SlotState>(std::atomic_ref<const std::uint32_t>(s.state).load(std::memory_order_acquire));
}

bool owned_by(const BlockSlot& s, const ProcessId& who) {
    return s.owner_pid == who.pid && s.owner_ticks == who.start_ticks && s.owner_ns == who.pid_ns;
}

bool owner_alive(const BlockSlot& s) { return process_alive(s.owner_pid, s.owner_ticks, s.owner_ns); }

bool lender_alive(const BlockSlot& s) {
    return s.lender_pid != 0 && process_alive(s.lender_pid, s.lender_ticks, this_process().pid_ns);
}

void free_slot(BlockSlot& s) {
    if (lender_alive(s)) { // its producer still has views of the loan: not yet
        field(s.owner_pid).store(0, std::memory_order_relaxed);
        field(s.state).store(static_cast<std::uint32_t>(SlotState::Lent), std::memory_order_release);
        return;
    }
    field(s.lender_pid).store(0, std::memory_order_relaxed);
    field(s.generation).store(s.generation + 1, std::memory_order_relaxed);
    field(s.owner_pid).store(0, std::memory_order_relaxed);
    field(s.last_used_ns).store(monotonic_ns(), std::memory_order_relaxed);
    field(s.state).store(static_cast<std::uint32_t>(SlotState::Free), std::memory_order_release);
}

std::uint64_t load_pos(const std::uint64_t& f) {
    return std::atomic_ref<const std::uint64_t>(f).load(std::memory_order_acquire);
}

bool ref_matches(const BlockSlot& s, const BlockRef& ref) {
    return s.generation == ref.generation && s.offset == ref.offset && s.capacity == ref.capacity &&
           ref.length <= ref.capacity;
}

} // namespace

// ---------------------------------------------------------------------------

std::uint64_t ref_check(const BlockRef& ref) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&ref);
    std::uint64_t h = 1469598103934665603ULL;
    for (std::size_t i = 0; i < offsetof(BlockRef, check); ++i) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

BlockRef block_ref(std::uint64_t arena_id, const Lease& lease, BlockKind kind, std::uint64_t length) noexcept {
    BlockRef ref{};
    std::memcpy(ref.magic, kBlockRefMagic, sizeof kBlockRefMagic);
    ref.arena_id = arena_id;
    ref.slot = lease.slot;
    ref.kind = static_cast<std::uint32_t>(kind);
    ref.offset = lease.offset;
    ref.capacity = lease.capacity;
    ref.generation = lease.generation;
    ref.length = length;
    ref.check = ref_check(ref);
    return ref;
}

void write_block_header(std::uint8_t* block, std::uint64_t generation, std::uint64_t length, BlockKind kind,
                        std::span<const BlockPart> parts) noexcept {
    BlockHeader h{};
    std::memcpy(h.magic, kBlockMagic, sizeof kBlockMagic);
    h.generation = generation;
    h.length = length;
    h.kind = static_cast<std::uint32_t>(kind);
    h.parts = static_cast<std::uint32_t>(parts.size());
    std::memcpy(block + sizeof h, parts.data(), parts.size_bytes());
    std::memcpy(block, &h, sizeof h);
}

bool ends_in_ref(const std::uint8_t* record, std::uint64_t length, std::uint64_t arena_id) noexcept {
    if (length < kBlockRefSize)
        return false;
    const std::uint8_t* tail = record + length - kBlockRefSize;
    if (std::memcmp(tail, kBlockRefMagic, sizeof kBlockRefMagic) != 0)
        return false;
    if (arena_id == 0)
        return true;
    std::uint64_t id;
    std::memcpy(&id, tail + offsetof(BlockRef, arena_id), sizeof id);
    return id == arena_id;
}

BlockRef read_ref(const std::uint8_t* record, std::uint64_t length) noexcept {
    BlockRef ref;
    std::memcpy(&ref, record + length - kBlockRefSize, sizeof ref);
    return ref;
}

namespace {

// Bumped in every forked child: a thread's cached identity of an older generation is
// its parent's. (glibc's getpid is a system call, and slot changes ask several times
// per message.)
std::atomic<std::uint64_t> fork_generation{1};

void count_fork() noexcept { fork_generation.fetch_add(1, std::memory_order_relaxed); }

} // namespace

const ProcessId& this_process() noexcept {
    static const bool watching = pthread_atfork(nullptr, nullptr, count_fork) == 0;
    static thread_local ProcessId cached{0, 0, 0};
    static thread_local std::uint64_t cached_generation = 0;
    const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
    if (cached_generation == generation && watching)
        return cached;
    const auto pid = static_cast<std::uint32_t>(::getpid());
    if (cached.pid != pid)
        cached = ProcessId{pid, start_ticks_of(pid).value_or(0), pid_namespace_of("/proc/self/ns/pid")};
    cached_generation = generation;
    return cached;
}

bool process_alive(std::uint32_t pid, std::uint64_t start_ticks, std::uint64_t pid_ns) noexcept {
    if (pid == 0)
        return false;
    const ProcessId& me = this_process();
    if (pid_ns != me.pid_ns || me.pid_ns == 0)
        return true; // another pid namespace: its pids mean nothing here
    const auto ticks = start_ticks_of(pid);
    if (!ticks)
        return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
    return start_ticks == 0 || *ticks == start_ticks;
}

std::string arena_name(std::uint64_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "kb_%016llx", static_cast<unsigned long long>(id));
    return name;
}

std::string ArenaError::display() const {
    switch (kind) {
    case Kind::Segment:
        return segment.display();
    case Kind::NotAnArena:
        return "the object holds no kelvane block arena";
    case Kind::NeverReady:
        return "the block arena was never initialised by its creator";
    case Kind::Gone:
        return "the queue's block memory is gone: every process that had it open has exited";
    case Kind::NoSpace:
        return "no memory for a block: " + Errno(code).display();
    case Kind::Mutex:
        return "Mutex error: Pthread error: " + std::to_string(code);
    case Kind::Raced:
        return "the queue's arena changed while it was opened";
    }
    return "unknown block arena error";
}

std::uint64_t queue_arena_id(const QueueHeader& h) noexcept {
    return std::atomic_ref<const std::uint64_t>(h.block_arena).load(std::memory_order_acquire);
}

std::uint64_t claim_queue_arena(QueueHeader& h, std::uint64_t id) noexcept {
    std::uint64_t expected = 0;
    if (field(h.block_arena).compare_exchange_strong(expected, id, std::memory_order_acq_rel))
        return id;
    return expected;
}

Status<SegmentError> unlink_arena(std::uint64_t id) { return unlink_segment(arena_name(id)); }

Result<QueueArena, ArenaError> ensure_queue_arena(QueueHeader& queue, std::string_view queue_name, SpaceKind kind,
                                                  std::uint64_t space_size) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::uint64_t have = queue_arena_id(queue);
        if (have != 0) {
            auto opened = BlockArena::open(have);
            if (opened.ok())
                return QueueArena{std::move(opened.value()), false};
            // Named but not to be opened: a memfd space nobody has any more is replaced.
            if (opened.error().kind != ArenaError::Kind::Gone)
                return std::move(opened.error());
        }
        auto made = BlockArena::create(queue_name, kind, space_size);
        if (!made.ok())
            return std::move(made.error());
        std::uint64_t expected = have;
        if (field(queue.block_arena).compare_exchange_strong(expected, made.value()->id(), std::memory_order_acq_rel)) {
            if (have != 0)
                (void)unlink_arena(have);
            return QueueArena{std::move(made.value()), true};
        }
        (void)unlink_arena(made.value()->id()); // another process was first: use its arena
    }
    return ArenaError::of(ArenaError::Kind::Raced);
}

// ---------------------------------------------------------------------------
// Creating and opening

BlockArena::~BlockArena() {
    if (space_fd_ >= 0 && space_fd_ != control_fd_)
        ::close(space_fd_);
    if (control_fd_ >= 0)
        ::close(control_fd_);
}

namespace {

// Maps `length` bytes of `fd` at a 2 MiB boundary (for huge pages where tmpfs has them).
Result<Mapping, ArenaError> map_aligned(int fd, std::uint64_t length) {
    constexpr std::uint64_t kHuge = 2u << 20;
    void* reserved = ::mmap(nullptr, length + kHuge, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED)
        return ArenaError::from_segment(SegmentError::nix(errno));
    auto* start = static_cast<std::uint8_t*>(reserved);
    auto* aligned = reinterpret_cast<std::uint8_t*>(round_up(reinterpret_cast<std::uintptr_t>(start), kHuge));
    if (aligned > start)
        (void)::munmap(start, static_cast<std::size_t>(aligned - start));
    const std::size_t tail = static_cast<std::size_t>(start + length + kHuge - (aligned + length));
    if (tail > 0)
        (void)::munmap(aligned + length, tail);
    if (::mmap(aligned, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
        const int e = errno;
        (void)::munmap(aligned, length);
        return ArenaError::from_segment(SegmentError::nix(e));
    }
#ifdef MADV_HUGEPAGE
    (void)::madvise(aligned, length, MADV_HUGEPAGE);
#endif
    return Mapping(aligned, length);
}

Status<ArenaError> allocate(int fd, std::uint64_t at, std::uint64_t length) {
    int rc;
    do {
        rc = ::posix_fallocate(fd, static_cast<off_t>(at), static_cast<off_t>(length));
    } while (rc == EINTR);
    if (rc != 0)
        return ArenaError::of(ArenaError::Kind::NoSpace, rc);
    return {};
}

} // namespace

Status<ArenaError> BlockArena::map_space(int space_fd) {
    if (kind_ == SpaceKind::Shm) {
        blocks_ = static_cast<std::uint8_t*>(control_map_.base()) + kArenaControlSize;
        return {};
    }
    auto mapped = map_aligned(space_fd, kArenaControlSize + space_size_);
    if (!mapped.ok())
        return std::move(mapped.error());
    space_map_ = std::move(mapped.value());
    blocks_ = static_cast<std::uint8_t*>(space_map_.base()) + kArenaControlSize;
    return {};
}

Result<std::shared_ptr<BlockArena>, ArenaError> BlockArena::create(std::string_view queue_name, SpaceKind kind,
                                                                  std::uint64_t space_size) {
    space_size = round_up(std::max<std::uint64_t>(space_size, kBlockAlign), kBlockAlign);
    auto id = new_arena_id();
    if (!id.ok())
        return std::move(id.error());
    const std::string os_name = segment_os_name(arena_name(id.value()));
    OwnedFd fd(::shm_open(os_name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600));
    if (fd.get() < 0)
        return ArenaError::from_segment(SegmentError::nix(errno));
    (void)::fchmod(fd.get(), 0600);
    auto fail = [&](ArenaError e) -> Result<std::shared_ptr<BlockArena>, ArenaError> {
        (void)::shm_unlink(os_name.c_str());
        return e;
    };
    const std::uint64_t control_bytes = kArenaControlSize + (kind == SpaceKind::Shm ? space_size : 0);
    if (::ftruncate(fd.get(), static_cast<off_t>(control_bytes)) != 0)
        return fail(ArenaError::from_segment(SegmentError::nix(errno)));
    // The header and the slot table are touched at once: back them now (no SIGBUS later).
    if (auto st = allocate(fd.get(), 0, round_up(sizeof(ArenaHeader), 4096)); !st.ok())
        return fail(st.error());

    auto arena = std::make_shared<BlockArena>(Made{});
    arena->faulted_ = std::make_unique<std::atomic<std::uint64_t>[]>(kArenaSlots);
    arena->id_ = id.value();
    arena->kind_ = kind;
    arena->space_size_ = space_size;
    auto mapped = map_aligned(fd.get(), control_bytes);
    if (!mapped.ok())
        return fail(mapped.error());
    arena->control_map_ = std::move(mapped.value());
    arena->control_ = static_cast<ArenaHeader*>(arena->control_map_.base());

    OwnedFd space;
    if (kind == SpaceKind::Memfd) {
        space.reset(static_cast<int>(::syscall(SYS_memfd_create, "kelvane-blocks", MFD_CLOEXEC)));
        if (space.get() < 0)
            return fail(ArenaError::from_segment(SegmentError::nix(errno)));
        if (::ftruncate(space.get(), static_cast<off_t>(kArenaControlSize + space_size)) != 0)
            return fail(ArenaError::from_segment(SegmentError::nix(errno)));
        if (auto st = allocate(space.get(), 0, 4096); !st.ok())
            return fail(st.error());
        std::uint8_t identity[16];
        std::memcpy(identity, kSpaceMagic, 8);
        std::memcpy(identity + 8, &arena->id_, 8);
        if (::pwrite(space.get(), identity, sizeof identity, 0) != static_cast<ssize_t>(sizeof identity))
            return fail(ArenaError::from_segment(SegmentError::nix(errno)));
    }
    if (auto st = arena->map_space(space.get()); !st.ok())
        return fail(st.error());

    ArenaHeader& h = *arena->control_;
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        if (rc == 0)
            rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        if (rc == 0)
            rc = pthread_mutex_init(&h.mutex, &attr);
        (void)pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0)
        return fail(ArenaError::of(ArenaError::Kind::Mutex, rc));
    std::memcpy(h.magic, kArenaMagic, sizeof kArenaMagic);
    h.version = 1;
    h.arena_id = arena->id_;
    h.space_kind = static_cast<std::uint64_t>(kind);
    h.space_size = space_size;
    const ProcessId& me = this_process();
    h.creator_pid = me.pid;
    h.creator_ticks = me.start_ticks;
    const std::size_t n = std::min(queue_name.size(), sizeof h.queue_name);
    std::memcpy(h.queue_name, queue_name.data(), n);
    h.queue_name_length = n;
    if (kind == SpaceKind::Memfd)
        h.holders[0] = ArenaHolder{me.pid, space.get(), me.start_ticks};
    field(h.ready).store(1, std::memory_order_release);
    mark_in_use(fd.get());
    arena->control_fd_ = fd.release();
    arena->space_fd_ = kind == SpaceKind::Memfd ? space.release() : arena->control_fd_;
    RegistryLock lock;
    registry().arenas.push_back(arena);
    return arena;
}

Result<std::shared_ptr<BlockArena>, ArenaError> BlockArena::open(std::uint64_t id) {
    {
        RegistryLock lock;
        if (auto found = registered(id))
            return found;
    }
    const std::string os_name = segment_os_name(arena_name(id));
    OwnedFd fd(::shm_open(os_name.c_str(), O_RDWR, 0600));
    if (fd.get() < 0)
        return ArenaError::from_segment(SegmentError::nix(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return ArenaError::from_segment(SegmentError::nix(errno));
    if (static_cast<std::uint64_t>(st.st_size) < kArenaControlSize)
        return ArenaError::of(ArenaError::Kind::NotAnArena);
    ArenaHeader head;
    if (::pread(fd.get(), &head, offsetof(ArenaHeader, queue_name), 0) != static_cast<ssize_t>(offsetof(ArenaHeader, queue_name)))
        return ArenaError::of(ArenaError::Kind::NotAnArena);
    // The creator names the object only once it is complete: ready is 1 already.
    if (std::memcmp(head.magic, kArenaMagic, sizeof kArenaMagic) != 0 || head.version != 1 || head.arena_id != id ||
        head.ready != 1)
        return ArenaError::of(ArenaError::Kind::NotAnArena);
    const auto kind = static_cast<SpaceKind>(head.space_kind);
    const std::uint64_t space_size = head.space_size;
    const std::uint64_t expected = kArenaControlSize + (kind == SpaceKind::Shm ? space_size : 0);
    if ((kind != SpaceKind::Shm && kind != SpaceKind::Memfd) || static_cast<std::uint64_t>(st.st_size) != expected ||
        space_size % kBlockAlign != 0)
        return ArenaError::of(ArenaError::Kind::NotAnArena);

    auto arena = std::make_shared<BlockArena>(Made{});
    arena->faulted_ = std::make_unique<std::atomic<std::uint64_t>[]>(kArenaSlots);
    arena->id_ = id;
    arena->kind_ = kind;
    arena->space_size_ = space_size;
    auto mapped = map_aligned(fd.get(), expected);
    if (!mapped.ok())
        return std::move(mapped.error());
    arena->control_map_ = std::move(mapped.value());
    arena->control_ = static_cast<ArenaHeader*>(arena->control_map_.base());
    OwnedFd space;
    if (kind == SpaceKind::Memfd) {
        // Through one of the processes that keep it open.
        for (ArenaHolder& holder : arena->control_->holders) {
            const ArenaHolder seen{field(holder.pid).load(std::memory_order_acquire), holder.fd, holder.start_ticks};
            if (seen.pid == 0 || !process_alive(seen.pid, seen.start_ticks, this_process().pid_ns))
                continue;
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%u/fd/%d", seen.pid, seen.fd);
            OwnedFd candidate(::open(path, O_RDWR | O_CLOEXEC));
            if (candidate.get() < 0)
                continue;
            std::uint8_t identity[16];
            struct stat cst {};
            if (::pread(candidate.get(), identity, sizeof identity, 0) != static_cast<ssize_t>(sizeof identity) ||
                std::memcmp(identity, kSpaceMagic, 8) != 0 || std::memcmp(identity + 8, &id, 8) != 0 ||
                ::fstat(candidate.get(), &cst) != 0 ||
                static_cast<std::uint64_t>(cst.st_size) != kArenaControlSize + space_size)
                continue;
            space.reset(candidate.release());
            break;
        }
        if (space.get() < 0)
            return ArenaError::of(ArenaError::Kind::Gone);
    }
    if (auto st2 = arena->map_space(space.get()); !st2.ok())
        return std::move(st2.error());
    mark_in_use(fd.get());
    arena->control_fd_ = fd.release();
    arena->space_fd_ = kind == SpaceKind::Memfd ? space.release() : arena->control_fd_;
    if (kind == SpaceKind::Memfd)
        (void)arena->register_holder();
    RegistryLock lock;
    if (auto found = registered(id)) // another thread was quicker: use its mapping
        return found;
    registry().arenas.push_back(arena);
    return arena;
}

Status<ArenaError> BlockArena::register_holder() noexcept {
    if (!lock(Clock::now() + std::chrono::seconds(1)))
        return ArenaError::of(ArenaError::Kind::Mutex, EBUSY);
    const ProcessId& me = this_process();
    ArenaHolder* spare = nullptr;
    for (ArenaHolder& holder : control_->holders) {
        if (holder.pid == me.pid && holder.start_ticks == me.start_ticks) {
            spare = &holder;
            break;
        }
        if (spare == nullptr && (holder.pid == 0 || !process_alive(holder.pid, holder.start_ticks, me.pid_ns)))
            spare = &holder;
    }
    if (spare != nullptr) {
        spare->fd = space_fd_;
        spare->start_ticks = me.start_ticks;
        field(spare->pid).store(me.pid, std::memory_order_release);
    }
    unlock();
    return {};
}

// ---------------------------------------------------------------------------
// The arena mutex

bool BlockArena::lock(Deadline until) noexcept { return control_ != nullptr && mutex_lock(&control_->mutex, until); }

void BlockArena::unlock() noexcept { (void)pthread_mutex_unlock(&control_->mutex); }

// ---------------------------------------------------------------------------
// Taking a block

Result<bool, ArenaError> BlockArena::back(BlockSlot& slot, std::uint64_t length) {
    const std::uint64_t need = round_up(length, 4096);
    if (slot.backed >= need)
        return false;
    const std::uint64_t at = kArenaControlSize + slot.offset + slot.backed;
    if (auto st = allocate(space_fd_, at, need - slot.backed); !st.ok())
        return st.error();
    field(slot.backed).store(need, std::memory_order_relaxed);
    field(slot.epoch).store(slot.epoch + 1, std::memory_order_relaxed); // new pages: fault them in again
    return true;
}

void BlockArena::prefault(const BlockSlot& slot, std::uint64_t length, bool write) const noexcept {
    const std::uint32_t i = static_cast<std::uint32_t>(&slot - control_->slots);
    const std::uint64_t epoch = slot.epoch + 1;
    if (!faulted_ || faulted_[i].load(std::memory_order_relaxed) == epoch)
        return;
    const std::uint64_t bytes = std::min(round_up(length, 4096), slot.backed);
#if defined(MADV_POPULATE_WRITE) && defined(MADV_POPULATE_READ)
    (void)::madvise(blocks_ + slot.offset, bytes, write ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
#endif
    faulted_[i].store(epoch, std::memory_order_relaxed);
}

BlockSlot* BlockArena::find_free_locked(std::uint64_t need) {
    BlockSlot* best = nullptr;
    const std::uint64_t used = control_->slots_used;
    for (std::uint64_t i = 0; i < used && i < kArenaSlots; ++i) {
        BlockSlot& s = control_->slots[i];
        if (state_of(s) != SlotState::Free || s.capacity < need || s.capacity > 2 * need)
            continue;
        // The smallest that fits; of equal ones the one used last (its pages are warm).
        if (best == nullptr || s.capacity < best->capacity ||
            (s.capacity == best->capacity && s.last_used_ns > best->last_used_ns))
            best = &s;
    }
    return best;
}

BlockSlot* BlockArena::carve_locked(std::uint64_t need) {
    ArenaHeader& h = *control_;
    const std::uint64_t align = need >= (2u << 20) ? (2u << 20) : kBlockAlign;
    const std::uint64_t at = round_up(h.carved, align);
    if (at > space_size_ || space_size_ - at < need)
        return nullptr;
    BlockSlot* slot = nullptr;
    for (std::uint64_t i = 0; i < h.slots_used && i < kArenaSlots; ++i) {
        if (state_of(h.slots[i]) == SlotState::Unused) {
            slot = &h.slots[i];
            break;
        }
    }
    if (slot == nullptr) {
        if (h.slots_used >= kArenaSlots)
            return nullptr;
        slot = &h.slots[h.slots_used];
    }
    slot->offset = at;
    slot->capacity = need;
    slot->backed = 0;
    slot->position = 0;
    field(slot->epoch).store(slot->epoch + 1, std::memory_order_relaxed);
    // A killed carver leaves at most a gap in the space, never two slots on one range:
    // the slot is described before the space is counted as carved.
    field(h.carved).store(at + need, std::memory_order_release);
    if (slot == &h.slots[h.slots_used])
        field(h.slots_used).store(h.slots_used + 1, std::memory_order_release);
    field(slot->state).store(static_cast<std::uint32_t>(SlotState::Free), std::memory_order_release);
    return slot;
}

// Merges neighbouring free blocks, so that a space carved for small messages can
// serve a large one.
void BlockArena::coalesce_locked() {
    ArenaHeader& h = *control_;
    std::vector<BlockSlot*> order;
    for (std::uint64_t i = 0; i < h.slots_used && i < kArenaSlots; ++i)
        if (state_of(h.slots[i]) != SlotState::Unused)
            order.push_back(&h.slots[i]);
    std::sort(order.begin(), order.end(), [](BlockSlot* a, BlockSlot* b) { return a->offset < b->offset; });
    BlockSlot* run = nullptr;
    for (BlockSlot* s : order) {
        if (state_of(*s) != SlotState::Free) {
            run = nullptr;
            continue;
        }
        if (run != nullptr && run->offset + run->capacity == s->offset) {
            field(run->epoch).store(run->epoch + 1, std::memory_order_relaxed);
            run->capacity += s->capacity;
            run->backed = run->backed == run->capacity - s->capacity ? run->backed + s->backed : run->backed;
            field(run->generation).store(run->generation + 1, std::memory_order_relaxed);
            field(s->state).store(static_cast<std::uint32_t>(SlotState::Unused), std::memory_order_release);
            continue;
        }
        run = s;
    }
    // The space after the last block is uncarved again.
    std::uint64_t end = 0;
    BlockSlot* last = nullptr;
    for (BlockSlot* s : order) {
        if (state_of(*s) == SlotState::Unused)
            continue;
        if (s->offset + s->capacity >= end) {
            end = s->offset + s->capacity;
            last = s;
        }
    }
    if (last != nullptr && state_of(*last) == SlotState::Free) {
        field(last->state).store(static_cast<std::uint32_t>(SlotState::Unused), std::memory_order_release);
        end = last->offset;
        // Its pages go back to the system: a later carve backs them again.
        (void)::fallocate(space_fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                          static_cast<off_t>(kArenaControlSize + last->offset), static_cast<off_t>(last->capacity));
    }
    if (end < h.carved)
        field(h.carved).store(end, std::memory_order_release);
}

void BlockArena::reclaim_locked(const QueueHeader& queue) {
    ArenaHeader& h = *control_;
    // Read first: a get marks its slots before it stores the read position, so a
    // record this read position says was consumed was marked (if at all) already.
    const std::uint64_t r = load_pos(queue.read_pos);
    const std::uint64_t w = load_pos(queue.write_pos);
    bool freed = false;
    for (std::uint64_t i = 0; i < h.slots_used && i < kArenaSlots; ++i) {
        BlockSlot& s = h.slots[i];
        switch (state_of(s)) {
        case SlotState::Writing: // never published, and its writer is gone
            if (!owner_alive(s)) {
                free_slot(s);
                freed = true;
            }
            break;
        case SlotState::Queued:
            // Consumed by a reader that keeps no account (a view's commit, a foreign
            // program): nobody will ever read it. Or never published: its writer died
            // inside the put, before the write position was stored.
            if (s.position < r || (s.position >= w && !owner_alive(s))) {
                free_slot(s);
                freed = true;
            }
            break;
        case SlotState::Held:
            if (!owner_alive(s)) {
                if (s.position >= r) { // its taker died before it stored the read position
                    field(s.owner_pid).store(0, std::memory_order_relaxed);
                    field(s.state).store(static_cast<std::uint32_t>(SlotState::Queued), std::memory_order_release);
                } else {
                    free_slot(s);
                    freed = true;
                }
            }
            break;
        case SlotState::Lent:
            if (!lender_alive(s)) {
                free_slot(s);
                freed = true;
            }
            break;
        case SlotState::Unused:
        case SlotState::Free:
            break;
        }
    }
    if (freed)
        field(h.freed.seq).fetch_add(1);
}

std::uint64_t BlockArena::queued_locked() const noexcept {
    std::uint64_t n = 0;
    for (std::uint64_t i = 0; i < control_->slots_used && i < kArenaSlots; ++i)
        if (state_of(control_->slots[i]) == SlotState::Queued)
            ++n;
    return n;
}

Result<AcquireOutcome, ArenaError> BlockArena::acquire(std::uint64_t length, const QueueHeader& queue, Deadline until,
                                                       Lease& out, bool pace) {
    const std::uint64_t need = size_class(length);
    if (need > space_size_ || control_ == nullptr)
        return AcquireOutcome::Fallback;
    if (!lock(until))
        return AcquireOutcome::Busy;
    // Bytes of blocks that come back soon: waiting in the ring, being written by others,
    // or taken a moment ago while readers are letting blocks go (a reader that keeps
    // what it takes, or a block longer, keeps it).
    const std::uint64_t now = monotonic_ns();
    const bool readers_free = now - field(control_->last_freed_ns).load(std::memory_order_relaxed) < kConsumingWithin;
    auto in_flight = [&] {
        std::uint64_t bytes = 0;
        for (std::uint64_t i = 0; i < control_->slots_used && i < kArenaSlots; ++i) {
            const BlockSlot& s = control_->slots[i];
            const SlotState st = state_of(s);
            if (st == SlotState::Queued || (st == SlotState::Writing && !owned_by(s, this_process())) ||
                (st == SlotState::Held && readers_free && now - s.last_used_ns < kRecentlyTaken))
                bytes += s.capacity;
        }
        return bytes;
    };
    const std::uint64_t ring = std::atomic_ref<const std::uint64_t>(queue.capacity).load(std::memory_order_relaxed);
    // Somebody reads this queue: it took or freed a block a moment ago, or it sleeps
    // waiting for a record right now.
    const bool consuming =
        now - field(control_->last_consumed_ns).load(std::memory_order_relaxed) < kConsumingWithin ||
        std::atomic_ref<const std::uint32_t>(queue.not_empty.sleepers).load(std::memory_order_relaxed) != 0;
    auto may_carve = [&] { return !consuming || in_flight() + need <= std::max(ring, 2 * need); };
    // Pacing: another process reads and frees blocks as fast as they come (this one took
    // none lately: it may be the reader itself), and some wait in the ring already.
    if (pace && consuming && now - field(control_->last_freed_ns).load(std::memory_order_relaxed) < kStreamingWithin &&
        now - last_taken_here_ns_.load(std::memory_order_relaxed) >= kConsumingWithin &&
        queued_locked() >= kPaceQueued) {
        unlock();
        return AcquireOutcome::Wait;
    }
    BlockSlot* slot = find_free_locked(need);
    if (slot == nullptr && may_carve())
        slot = carve_locked(need);
    // What the dead left is looked for (a /proc read per slot of another process) at
    // most every kReclaimEvery while blocks are coming back anyway, at once otherwise.
    if (slot == nullptr &&
        (now - last_reclaim_ns_.load(std::memory_order_relaxed) >= kReclaimEvery || in_flight() == 0)) {
        last_reclaim_ns_.store(now, std::memory_order_relaxed);
        reclaim_locked(queue);
        slot = find_free_locked(need);
    }
    if (slot == nullptr && may_carve()) {
        coalesce_locked();
        slot = find_free_locked(need);
        if (slot == nullptr)
            slot = carve_locked(need);
    }
    if (slot == nullptr) {
        // Will one come back? Only from the ring or from another writer (held blocks may
        // be kept for as long as their holders like): then wait for it, and look again.
        const bool coming = in_flight() > 0;
        if (!coming) {
            // A free block larger than twice the need still serves.
            for (std::uint64_t i = 0; i < control_->slots_used && i < kArenaSlots; ++i) {
                BlockSlot& s = control_->slots[i];
                if (state_of(s) == SlotState::Free && s.capacity >= need && (slot == nullptr || s.capacity < slot->capacity))
                    slot = &s;
            }
        }
        if (slot == nullptr) {
            unlock();
            return coming ? AcquireOutcome::Wait : AcquireOutcome::Fallback;
        }
    }
    auto backed = back(*slot, length);
    if (!backed.ok()) {
        unlock();
        return std::move(backed.error());
    }
    set_owner(*slot, SlotState::Writing, this_process());
    prefault(*slot, length, true);
    out = Lease{static_cast<std::uint32_t>(slot - control_->slots), slot->generation, slot->offset, slot->capacity,
                blocks_ + slot->offset};
    unlock();
    KEL_KILL_POINT("block:acquired");
    return AcquireOutcome::Acquired;
}

void BlockArena::wait_freed(Deadline until) {
    WaitWords& w = control_->freed;
    std::atomic_ref<std::uint32_t> seq(w.seq);
    std::atomic_ref<std::uint32_t> sleepers(w.sleepers);
    const std::uint32_t seen = seq.load();
    // A reader on another CPU frees the next block within microseconds while it streams:
    // watch for that first, so that neither side makes a system call for it.
    if (spin_until([&] { return seq.load(std::memory_order_acquire) != seen; }))
        return;
    sleepers.fetch_add(1);
    long nanos = kWaitNanos;
    if (until != kForever) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
        nanos = static_cast<long>(std::clamp<long long>(left, 0, kWaitNanos));
    }
    const timespec timeout{0, nanos};
    if (nanos > 0)
        (void)futex(&w.seq, FUTEX_WAIT, seen, &timeout);
    sleepers.fetch_sub(1);
}

namespace {

void announce_freed(ArenaHeader& h) {
    field(h.freed.seq).fetch_add(1);
    if (field(h.freed.sleepers).load() != 0)
        (void)futex(&h.freed.seq, FUTEX_WAKE, INT_MAX, nullptr);
}

} // namespace

bool BlockArena::give_back(const Lease& lease) noexcept {
    if (lease.slot >= kArenaSlots || !lock(kForever))
        return false;
    BlockSlot& s = control_->slots[lease.slot];
    const SlotState st = state_of(s);
    const bool mine = (st == SlotState::Writing || st == SlotState::Held) && owned_by(s, this_process()) &&
                      s.generation == lease.generation;
    if (mine)
        free_slot(s);
    unlock();
    announce_freed(*control_);
    return mine;
}

void BlockArena::lend(const Lease& lease) noexcept {
    if (lease.slot >= kArenaSlots || !lock(kForever))
        return;
    BlockSlot& s = control_->slots[lease.slot];
    if (state_of(s) == SlotState::Writing && owned_by(s, this_process()) && s.generation == lease.generation) {
        field(s.lender_ticks).store(this_process().start_ticks, std::memory_order_relaxed);
        field(s.lender_pid).store(this_process().pid, std::memory_order_release);
    }
    unlock();
}

bool BlockArena::end_loan(std::uint32_t slot, std::uint64_t generation, Deadline until) noexcept {
    if (slot >= kArenaSlots)
        return true;
    if (!lock(until))
        return false;
    BlockSlot& s = control_->slots[slot];
    const ProcessId& me = this_process();
    if (s.generation == generation && s.lender_pid == me.pid && s.lender_ticks == me.start_ticks) {
        field(s.lender_pid).store(0, std::memory_order_relaxed);
        const SlotState st = state_of(s);
        if (st == SlotState::Lent || (st == SlotState::Writing && owned_by(s, me)))
            free_slot(s); // never sent, or read and let go already
    }
    unlock();
    announce_freed(*control_);
    return true;
}

bool BlockArena::release(std::uint32_t slot, std::uint64_t generation, Deadline until) noexcept {
    if (slot >= kArenaSlots)
        return true;
    if (!lock(until))
        return false;
    BlockSlot& s = control_->slots[slot];
    if (state_of(s) == SlotState::Held && owned_by(s, this_process()) && s.generation == generation) {
        free_slot(s);
        const std::uint64_t now = monotonic_ns();
        field(control_->last_consumed_ns).store(now, std::memory_order_relaxed);
        field(control_->last_freed_ns).store(now, std::memory_order_relaxed);
    }
    unlock();
    announce_freed(*control_);
    return true;
}

// ---------------------------------------------------------------------------
// The hooks' transitions

bool BlockArena::publish_locked(const BlockRef& ref, std::uint64_t pos) noexcept {
    if (ref.arena_id != id_ || ref.slot >= kArenaSlots || ref.check != ref_check(ref))
        return false;
    BlockSlot& s = control_->slots[ref.slot];
    const SlotState st = state_of(s);
    if ((st != SlotState::Writing && st != SlotState::Held) || !owned_by(s, this_process()) || !ref_matches(s, ref))
        return false;
    field(s.position).store(pos, std::memory_order_relaxed);
    set_owner(s, SlotState::Queued, this_process());
    return true;
}

bool BlockArena::take_locked(const BlockRef& ref, std::uint64_t pos) noexcept {
    if (ref.arena_id != id_ || ref.slot >= kArenaSlots || ref.check != ref_check(ref))
        return false;
    BlockSlot& s = control_->slots[ref.slot];
    if (s.position != pos || !ref_matches(s, ref))
        return false;
    // Held at this very position by a process that is gone: it died inside its get, before
    // it stored the read position, so the record is still here, and its block with it.
    const SlotState st = state_of(s);
    if (st != SlotState::Queued && !(st == SlotState::Held && !owner_alive(s)))
        return false;
    set_owner(s, SlotState::Held, this_process());
    const std::uint64_t now = monotonic_ns();
    field(control_->last_consumed_ns).store(now, std::memory_order_relaxed);
    last_taken_here_ns_.store(now, std::memory_order_relaxed);
    return true;
}

const char* BlockArena::ref_fault(const BlockRef& ref) const noexcept {
    if (ref.check != ref_check(ref))
        return "the block reference is damaged";
    if (ref.arena_id != id_)
        return "the block reference names another arena";
    if (ref.slot >= kArenaSlots)
        return "the block reference names no slot";
    return nullptr;
}

Result<BlockArena::Message, std::string> BlockArena::held_message(const BlockRef& ref) const {
    if (const char* fault = ref_fault(ref))
        return std::string(fault);
    const BlockSlot& s = control_->slots[ref.slot];
    if (state_of(s) != SlotState::Held || !owned_by(s, this_process()) || !ref_matches(s, ref))
        return std::string("the block is not this process's to read (taken by another, or recycled)");
    return checked_message(ref);
}

Result<BlockArena::Message, std::string> BlockArena::queued_message_locked(const BlockRef& ref,
                                                                           std::uint64_t pos) const {
    if (const char* fault = ref_fault(ref))
        return std::string(fault);
    // As take_locked: queued at this position, or held there by a taker that died in its get.
    const BlockSlot& s = control_->slots[ref.slot];
    const SlotState st = state_of(s);
    if (s.position != pos || !ref_matches(s, ref) ||
        (st != SlotState::Queued && !(st == SlotState::Held && !owner_alive(s))))
        return std::string("the block is not this record's any more (taken by another, or recycled)");
    return checked_message(ref);
}

Result<BlockArena::Message, std::string> BlockArena::checked_message(const BlockRef& ref) const {
    const BlockSlot& s = control_->slots[ref.slot];
    if (ref.offset > space_size_ || space_size_ - ref.offset < ref.capacity || ref.length < sizeof(BlockHeader))
        return std::string("the block reference lies outside the arena");
    std::uint8_t* block = blocks_ + ref.offset;
    BlockHeader bh;
    std::memcpy(&bh, block, sizeof bh);
    if (std::memcmp(bh.magic, kBlockMagic, sizeof kBlockMagic) != 0 || bh.generation != ref.generation ||
        bh.length != ref.length || bh.kind != ref.kind || bh.parts > kMaxBlockParts ||
        sizeof(BlockHeader) + std::uint64_t{bh.parts} * sizeof(BlockPart) > ref.length)
        return std::string("the block's header is damaged");
    if (bh.kind != static_cast<std::uint32_t>(BlockKind::Bytes) && bh.kind != static_cast<std::uint32_t>(BlockKind::Pickle))
        return "the block holds a message of unknown kind " + std::to_string(bh.kind);
    if (bh.parts == 0 || (bh.kind == static_cast<std::uint32_t>(BlockKind::Bytes) && bh.parts != 1))
        return std::string("the block's part table is damaged");
    prefault(s, ref.length, false);
    Message m{static_cast<BlockKind>(bh.kind), block, ref.length, {}};
    m.parts.resize(bh.parts);
    std::memcpy(m.parts.data(), block + sizeof(BlockHeader), bh.parts * sizeof(BlockPart));
    for (const BlockPart& p : m.parts) {
        if (p.offset > ref.length || ref.length - p.offset < p.length)
            return std::string("a part of the block lies outside its message");
    }
    return m;
}

bool BlockArena::can_hold(std::uint64_t length) const noexcept { return size_class(length) <= space_size_; }

// ---------------------------------------------------------------------------
// Fork

void BlockArena::detach_after_fork(std::span<const ForkCopy> keep) noexcept {
    // The blocks of this mapping that the child still exports become private copies
    // in place; everything else of the old mapping goes; the arena is mapped afresh.
    Mapping& old = kind_ == SpaceKind::Shm ? control_map_ : space_map_;
    auto* lo = static_cast<std::uint8_t*>(old.base());
    auto* hi = lo + old.length();
    std::vector<ForkCopy> mine;
    for (const ForkCopy& k : keep)
        if (k.address >= lo && k.address + k.length <= hi)
            mine.push_back(k);
    std::sort(mine.begin(), mine.end(), [](const ForkCopy& a, const ForkCopy& b) { return a.address < b.address; });
    for (const ForkCopy& k : mine) {
        void* copy = k.copy;
        if (copy == nullptr) {
            copy = ::mmap(nullptr, k.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (copy == MAP_FAILED)
                continue; // left shared: nothing better can be done here
            std::memcpy(copy, k.address, k.length);
        }
        (void)::mremap(copy, k.length, k.length, MREMAP_MAYMOVE | MREMAP_FIXED, k.address);
    }
    std::uint8_t* at = lo;
    for (const auto& [addr, len, copy] : mine) {
        if (addr > at)
            (void)::munmap(at, static_cast<std::size_t>(addr - at));
        at = std::max(at, addr + len);
    }
    if (hi > at)
        (void)::munmap(at, static_cast<std::size_t>(hi - at));
    old.leak();
    if (kind_ == SpaceKind::Memfd)
        control_map_.reset();
    control_ = nullptr;
    blocks_ = nullptr;
    for (std::uint32_t i = 0; i < kArenaSlots; ++i)
        faulted_[i].store(0, std::memory_order_relaxed);
    const std::uint64_t control_bytes = kArenaControlSize + (kind_ == SpaceKind::Shm ? space_size_ : 0);
    auto mapped = map_aligned(control_fd_, control_bytes);
    if (!mapped.ok())
        return; // this arena is unusable in the child: its handles report errors
    control_map_ = std::move(mapped.value());
    control_ = static_cast<ArenaHeader*>(control_map_.base());
    if (!map_space(space_fd_).ok()) {
        control_map_.reset();
        control_ = nullptr;
        return;
    }
    if (kind_ == SpaceKind::Memfd)
        (void)register_holder();
}

void blocks_after_fork_in_child(std::span<const ForkCopy> exported) noexcept {
    Registry& r = registry();
    // A thread of the parent may have held it at the fork: it is this thread's now.
    pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    std::memcpy(&r.mutex, &fresh, sizeof fresh);
    for (auto& weak : r.arenas)
        if (auto arena = weak.lock())
            arena->detach_after_fork(exported);
}

ArenaCounts count_slots(const ArenaHeader& h) noexcept {
    ArenaCounts c{};
    const std::uint64_t used = std::atomic_ref<const std::uint64_t>(h.slots_used).load(std::memory_order_acquire);
    for (std::uint64_t i = 0; i < used && i < kArenaSlots; ++i) {
        const BlockSlot& s = h.slots[i];
        switch (state_of(s)) {
        case SlotState::Unused:
            continue;
        case SlotState::Free:
            ++c.free;
            break;
        case SlotState::Writing:
            ++c.writing;
            break;
        case SlotState::Queued:
            ++c.queued;
            break;
        case SlotState::Held:
            ++c.held;
            break;
        case SlotState::Lent:
            ++c.lent;
            break;
        }
        ++c.blocks;
        c.backed += s.backed;
    }
    c.carved = std::atomic_ref<const std::uint64_t>(h.carved).load(std::memory_order_acquire);
    return c;
}

// ---------------------------------------------------------------------------
// The ledger: a queue handle's hooks

std::shared_ptr<BlockArena> BlockLedger::arena() {
    const std::uint64_t id = queue_arena_id(*queue_);
    if (id == 0)
        return nullptr;
    if (arena_ && arena_->id() == id && arena_->usable())
        return arena_;
    auto opened = BlockArena::open(id);
    if (!opened.ok())
        return nullptr;
    arena_ = std::move(opened.value());
    return arena_;
}

RecordHooks::Outcome BlockLedger::published(std::span<const Piece> batch, std::uint64_t first_pos,
                                            Deadline until) noexcept {
    std::uint64_t pos = first_pos;
    bool locked = false;
    const std::uint64_t id = queue_arena_id(*queue_);
    for (const Piece& piece : batch) {
        const auto* bytes = static_cast<const std::uint8_t*>(piece.bytes);
        if (id != 0 && ends_in_ref(bytes, piece.length, id)) {
            if (!locked) {
                if (!arena_ || arena_->id() != id || !arena_->lock(until))
                    return arena_ && arena_->id() == id ? Outcome::Busy : Outcome::Done;
                locked = true;
            }
            (void)arena_->publish_locked(read_ref(bytes, piece.length), pos);
        }
        pos += kRecordPrefix + piece.length;
    }
    if (locked) {
        KEL_KILL_POINT("block:published");
        arena_->unlock();
    }
    return Outcome::Done;
}

RecordHooks::Outcome BlockLedger::taking(const RecordView& record, Deadline until) noexcept {
    if (locked_)
        return Outcome::Done;
    const std::uint64_t id = queue_arena_id(*queue_);
    if (id == 0 || !ends_in_ref(record.payload, record.length, id))
        return Outcome::Done;
    if (!arena_ || arena_->id() != id) {
        try {
            (void)arena();
        } catch (...) {
            return Outcome::Done;
        }
        if (!arena_ || arena_->id() != id)
            return Outcome::Done; // cannot be opened: the record is bytes to whoever reads it
    }
    if (!arena_->lock(until))
        return Outcome::Busy;
    locked_ = true;
    return Outcome::Done;
}

void BlockLedger::taken(const RecordView& record) noexcept {
    if (!locked_ || !ends_in_ref(record.payload, record.length, arena_->id()))
        return;
    (void)arena_->take_locked(read_ref(record.payload, record.length), record.pos);
    KEL_KILL_POINT("block:taken");
}

void BlockLedger::done() noexcept {
    if (locked_) {
        locked_ = false;
        arena_->unlock();
    }
}

} // namespace kel
