// Recycled shared blocks: the memory large messages travel in beside a queue's ring.
//
// A queue's block arena is one control object in /dev/shm, "kb_" + 16 hex digits of
// its id, and a space that blocks are carved from: the rest of the control object, or
// (where /dev/shm is too small to hold it) a memfd that every process using the arena
// keeps open and that an opener finds through /proc/PID/fd of one of them. The queue
// header records the id (kArenaIdOffset), so every process that maps the queue finds
// its arena. Every process maps the arena once and keeps it mapped; a block, once
// carved, is backed (fallocate) and recycled from one message to the next.
//
// A message in a block is announced by a record in the ring whose last 64 bytes are
// a BlockRef; the block itself starts with a BlockHeader and a table of its parts.
// Both layouts are plain little-endian bytes that any language can write and read.
//
// Who may change a slot: every change happens under the arena mutex. A producer
// takes a free block (Writing, owner = itself), fills it and puts the record: under
// the queue mutex, before the write position that publishes it is stored, the slot
// becomes Queued with the record's position. A consumer's get, under the queue mutex,
// before the read position that consumes the record is stored, makes it Held by
// itself. The holder frees it when its last view is gone. A process that dies leaves
// its slots to whoever next looks: the positions tell whether its record is still in
// the ring (see BlockArena::reclaim_locked).
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "deadline.hpp"
#include "errors.hpp"
#include "queue.hpp"
#include "shm.hpp"

namespace kel {

// ---------------------------------------------------------------------------
// The record that announces a block message: the last kBlockRefSize bytes of a ring
// record (all of it for kelvane.Queue; a pool message has its own header before it).
inline constexpr std::size_t kBlockRefSize = 64;
inline constexpr std::uint8_t kBlockRefMagic[8] = {0, 'K', 'E', 'L', 'B', 'L', 'K', '1'};

struct BlockRef {
    std::uint8_t magic[8];    // kBlockRefMagic; its first byte, 0, starts no pickle stream
    std::uint64_t arena_id;   // the arena the queue header names
    std::uint32_t slot;       // index in the arena's slot table
    std::uint32_t kind;       // BlockKind of the content
    std::uint64_t offset;     // of the block, from the start of the arena's blocks
    std::uint64_t capacity;   // of the block
    std::uint64_t generation; // of the slot when the message was written: a recycled block has another
    std::uint64_t length;     // bytes of the block the message uses, its header included
    std::uint64_t check;      // ref_check over bytes 0..55
};
static_assert(sizeof(BlockRef) == kBlockRefSize);
static_assert(offsetof(BlockRef, arena_id) == 8 && offsetof(BlockRef, slot) == 16 && offsetof(BlockRef, kind) == 20);
static_assert(offsetof(BlockRef, offset) == 24 && offsetof(BlockRef, generation) == 40 && offsetof(BlockRef, check) == 56);

enum class BlockKind : std::uint32_t {
    Bytes = 1,  // one part: the message's bytes (raw, or a serializer's output)
    Pickle = 2, // part 0 a pickle stream (protocol 5), parts 1.. its out-of-band buffers
};

// The start of a block: what the parts of its message are.
inline constexpr std::uint8_t kBlockMagic[8] = {'K', 'E', 'L', 'B', 'L', 'O', 'C', 'K'};
struct BlockHeader {
    std::uint8_t magic[8];
    std::uint64_t generation; // as in the reference
    std::uint64_t length;     // as in the reference
    std::uint32_t kind;
    std::uint32_t parts;      // entries of the part table that follows the header
    std::uint64_t reserved[4];
};
static_assert(sizeof(BlockHeader) == 64);
struct BlockPart {
    std::uint64_t offset; // from the start of the block
    std::uint64_t length;
};
inline constexpr std::uint32_t kMaxBlockParts = 4096;
// Parts after the first start at this alignment (a page: numpy arrays of any dtype).
inline constexpr std::uint64_t kPartAlign = 4096;

// FNV-1a over the first 56 bytes of a reference.
[[nodiscard]] std::uint64_t ref_check(const BlockRef& ref) noexcept;
// Whether a record ends in what may be a reference of arena `arena_id` (0: of any).
[[nodiscard]] bool ends_in_ref(const std::uint8_t* record, std::uint64_t length, std::uint64_t arena_id) noexcept;
[[nodiscard]] BlockRef read_ref(const std::uint8_t* record, std::uint64_t length) noexcept;

// ---------------------------------------------------------------------------
// Processes, as slots record them: a pid means nothing without its start time.
struct ProcessId {
    std::uint32_t pid;
    std::uint64_t start_ticks; // clock ticks after boot, /proc/PID/stat field 22
    std::uint64_t pid_ns;      // inode of /proc/PID/ns/pid: a pid of another namespace is not judged
};
[[nodiscard]] const ProcessId& this_process() noexcept; // again in a forked child
// False only when the process is provably gone (no such pid, or a pid another process
// started later holds); true when it runs or this process cannot tell.
[[nodiscard]] bool process_alive(std::uint32_t pid, std::uint64_t start_ticks, std::uint64_t pid_ns) noexcept;

// ---------------------------------------------------------------------------
// The control object's layout.
inline constexpr std::uint64_t kArenaControlSize = 2u << 20; // mostly never touched; the blocks start here
inline constexpr std::uint32_t kArenaSlots = 1024;
inline constexpr std::uint32_t kArenaHolders = 64;
inline constexpr std::uint64_t kBlockAlign = 64u << 10;
inline constexpr std::uint8_t kArenaMagic[8] = {'K', 'E', 'L', 'A', 'R', 'E', 'N', 'A'};
inline constexpr std::uint8_t kSpaceMagic[8] = {'K', 'E', 'L', 'S', 'P', 'A', 'C', 'E'};

// Lent: its message was read and let go, but the producer that loaned it still has views
// of it (a loan): it is free once the lender lets go too.
enum class SlotState : std::uint32_t { Unused = 0, Free = 1, Writing = 2, Queued = 3, Held = 4, Lent = 5 };
enum class SpaceKind : std::uint64_t { Shm = 1, Memfd = 2 };

struct BlockSlot {
    std::uint32_t state;      // SlotState
    std::uint32_t owner_pid;  // Writing, Queued: the writer; Held: the holder
    std::uint64_t owner_ticks;
    std::uint64_t owner_ns;
    std::uint64_t offset;     // from the start of the blocks, a multiple of kBlockAlign
    std::uint64_t capacity;
    std::uint64_t generation; // grows each time the block is freed
    std::uint64_t position;   // Queued, Held: ring position of the record that refers to it
    std::uint64_t backed;     // bytes from the block's start that are allocated
    std::uint64_t last_used_ns; // CLOCK_MONOTONIC of the last change
    std::uint64_t epoch;      // grows whenever the block's range or its pages change
    std::uint32_t lender_pid; // a producer that loaned the block and may still have views of it
    std::uint32_t reserved_u32;
    std::uint64_t lender_ticks;
    std::uint64_t reserved[4];
};
static_assert(sizeof(BlockSlot) == 128);

// A process that keeps a memfd space open, for openers to find it.
struct ArenaHolder {
    std::uint32_t pid;
    std::int32_t fd;
    std::uint64_t start_ticks;
};

struct ArenaHeader {
    union {
        pthread_mutex_t mutex;
        std::uint8_t mutex_slot[128];
    };
    WaitWords freed; // bumped after a block was freed; producers that wait for one sleep on it
    std::uint8_t freed_unused[120];
    std::uint8_t magic[8];     // 256
    std::uint64_t version;     // 264
    std::uint64_t arena_id;    // 272
    std::uint64_t space_kind;  // 280 SpaceKind
    std::uint64_t space_size;  // 288 the bound: bytes of blocks at most
    std::uint64_t carved;      // 296 bytes of the space carved into blocks so far
    std::uint64_t slots_used;  // 304 slots ever used (a prefix of the table)
    std::uint64_t ready;       // 312 1 once initialised
    std::uint64_t creator_pid; // 320
    std::uint64_t creator_ticks; // 328
    std::uint64_t queue_name_length; // 336
    std::uint64_t last_consumed_ns; // 344 CLOCK_MONOTONIC of the last take or free of a block
    std::uint64_t last_freed_ns;    // 352 CLOCK_MONOTONIC of the last free by a reader
    std::uint64_t reserved0[19];
    char queue_name[256];      // 512
    ArenaHolder holders[kArenaHolders]; // 768
    std::uint8_t reserved1[4096 - 768 - sizeof(ArenaHolder) * kArenaHolders];
    BlockSlot slots[kArenaSlots]; // 4096
};
static_assert(offsetof(ArenaHeader, freed) == 128);
static_assert(offsetof(ArenaHeader, magic) == 256);
static_assert(offsetof(ArenaHeader, space_size) == 288);
static_assert(offsetof(ArenaHeader, queue_name) == 512);
static_assert(offsetof(ArenaHeader, holders) == 768);
static_assert(offsetof(ArenaHeader, slots) == 4096);
static_assert(sizeof(ArenaHeader) <= kArenaControlSize);

// The name of arena `id` in /dev/shm, without the leading "/".
[[nodiscard]] std::string arena_name(std::uint64_t id);

struct ArenaError {
    enum class Kind {
        Segment,    // a system call on the control object failed
        NotAnArena, // the object holds something else
        NeverReady, // its creator never finished
        Gone,       // a memfd space that no live process has open any more
        NoSpace,    // backing a block failed (ENOSPC: /dev/shm or memory is full)
        Mutex,      // the arena mutex failed
        Raced,      // the queue's arena kept changing while it was opened
    };
    Kind kind;
    SegmentError segment{SegmentError::nix(0)};
    int code{0};

    static ArenaError from_segment(SegmentError e) { return {Kind::Segment, std::move(e), 0}; }
    static ArenaError of(Kind kind, int code = 0) { return {kind, SegmentError::nix(0), code}; }
    [[nodiscard]] std::string display() const;
};

// An exported range of a block at a fork, and the private copy of it made before the
// fork (nullptr: none).
struct ForkCopy {
    std::uint8_t* address;
    std::uint64_t length;
    void* copy;
};

// One block taken for writing.
struct Lease {
    std::uint32_t slot;
    std::uint64_t generation;
    std::uint64_t offset;
    std::uint64_t capacity;
    std::uint8_t* address;
};

// A loan's layout: its bytes start at kLoanData in its block; before them go the header,
// a part table of two entries and, for a pickled loan, its stream of at most kLoanStream
// bytes, all written when it is sent.
inline constexpr std::uint64_t kLoanData = kPartAlign;
inline constexpr std::uint64_t kLoanTable = sizeof(BlockHeader) + 2 * sizeof(BlockPart);
inline constexpr std::uint64_t kLoanStream = kLoanData - kLoanTable;

// The reference to a message of `length` bytes (its header included) in the block of
// `lease`, of arena `arena_id`.
[[nodiscard]] BlockRef block_ref(std::uint64_t arena_id, const Lease& lease, BlockKind kind,
                                 std::uint64_t length) noexcept;
// Writes the header and part table of a message whose parts are in place in `block`
// already: the header last, so a block read before it is complete is refused.
void write_block_header(std::uint8_t* block, std::uint64_t generation, std::uint64_t length, BlockKind kind,
                        std::span<const BlockPart> parts) noexcept;

enum class AcquireOutcome {
    Acquired,
    Wait,     // every block that could fit is in the ring or being written: one comes back soon
    Fallback, // none fits and none will (larger than the space, or the others are held)
    Busy,     // the arena mutex was held until the deadline
};

// A process's mapping of one arena. Shared (std::shared_ptr) by every queue handle
// and every exported block of this process that uses it; unmapped with the last one.
class BlockArena {
    struct Made {}; // only create() and open() make one, through std::make_shared
public:
    explicit BlockArena(Made) {}
    BlockArena(const BlockArena&) = delete;
    BlockArena& operator=(const BlockArena&) = delete;
    ~BlockArena();

    // Creates a new arena for the queue `queue_name` with room for `space_size` bytes of
    // blocks. Nothing is named until it is complete.
    [[nodiscard]] static Result<std::shared_ptr<BlockArena>, ArenaError> create(std::string_view queue_name,
                                                                               SpaceKind kind,
                                                                               std::uint64_t space_size);
    // This process's mapping of arena `id`: the one it has, or a new one.
    [[nodiscard]] static Result<std::shared_ptr<BlockArena>, ArenaError> open(std::uint64_t id);

    [[nodiscard]] std::uint64_t id() const noexcept { return id_; }
    // False in a forked child whose fresh mapping failed: nothing can be done with it.
    [[nodiscard]] bool usable() const noexcept { return control_ != nullptr; }
    [[nodiscard]] ArenaHeader& header() const noexcept { return *control_; }
    [[nodiscard]] SpaceKind kind() const noexcept { return kind_; }
    [[nodiscard]] std::uint64_t space_size() const noexcept { return space_size_; }
    [[nodiscard]] std::uint8_t* block_address(std::uint64_t offset) const noexcept { return blocks_ + offset; }
    // Whether a block of `length` bytes fits the space at all (acquire's Fallback otherwise).
    [[nodiscard]] bool can_hold(std::uint64_t length) const noexcept;

    // Takes a block of at least `length` bytes for writing, backing what it needs. Gives
    // NoSpace (an ArenaError) when the memory cannot be had. `queue` is the ring's
    // header, whose positions tell which records are still in the ring. A new block is
    // carved only while the blocks waiting in the ring hold less than the ring's
    // capacity (or two blocks of this size), or while no consumer reads (none took or
    // freed a block lately, none waits for a record): a
    // consumer that lags makes the producer wait for a block it frees, rather than fill
    // the arena; a queue that nobody reads at the moment fills it as a ring would.
    // `pace`: while another process reads and frees blocks as they come and two or more
    // wait in the ring already, Wait for it to free one even where a free block is there:
    // the block it frees next is warm in the cache, a free one that lay idle is not (the
    // caller bounds how long it paces).
    [[nodiscard]] Result<AcquireOutcome, ArenaError> acquire(std::uint64_t length, const QueueHeader& queue,
                                                             Deadline until, Lease& out, bool pace = false);
    // Waits until a block is freed (or `until`): after acquire said Wait.
    void wait_freed(Deadline until);
    // A block this process writes (a lease never published) or holds (a taken record it
    // will never read) is free again. False when it was not this process's (any more).
    bool give_back(const Lease& lease) noexcept;
    // Frees a block this process holds (Held by it, same generation); false when it is not
    // this process's (any more) or the arena mutex was busy until `until`.
    bool release(std::uint32_t slot, std::uint64_t generation, Deadline until) noexcept;
    // A loan: the block just acquired stays out of reuse until end_loan, whoever reads it.
    void lend(const Lease& lease) noexcept;
    // This process has no view of its loan any more: a loan never sent is free again,
    // one whose reader let go too (Lent) is free; false when the mutex was busy.
    bool end_loan(std::uint32_t slot, std::uint64_t generation, Deadline until) noexcept;

    // Under the arena mutex (lock/unlock): the hooks of the queue handles.
    [[nodiscard]] bool lock(Deadline until) noexcept;
    void unlock() noexcept;
    // A record at ring position `pos` that refers to a block of this arena is being
    // published (Writing or Held by this process -> Queued) or taken (Queued at `pos` ->
    // Held by this process). False when the reference does not match its slot.
    bool publish_locked(const BlockRef& ref, std::uint64_t pos) noexcept;
    bool take_locked(const BlockRef& ref, std::uint64_t pos) noexcept;
    // Gives dead processes' slots back (see the file's comment): called by acquire.
    void reclaim_locked(const QueueHeader& queue);

    // A held block's checked message: where its parts are, or why it cannot be read.
    struct Message {
        BlockKind kind;
        std::uint8_t* block;
        std::uint64_t length;
        std::vector<BlockPart> parts;
    };
    [[nodiscard]] Result<Message, std::string> held_message(const BlockRef& ref) const;
    // Under the arena mutex: the checked message of a block whose record is still in the
    // ring at `pos`, for a reader that looks before it takes (or instead of taking). Its
    // bytes stay as they are while the record is in the ring.
    [[nodiscard]] Result<Message, std::string> queued_message_locked(const BlockRef& ref, std::uint64_t pos) const;

    // Forgets the mapping in a forked child (see blocks_after_fork_in_child).
    void detach_after_fork(std::span<const ForkCopy> keep) noexcept;

private:
    // Why a reference cannot be one of this arena's (nullptr: it can), and the message of
    // one whose slot was found to match it.
    [[nodiscard]] const char* ref_fault(const BlockRef& ref) const noexcept;
    [[nodiscard]] Result<Message, std::string> checked_message(const BlockRef& ref) const;
    [[nodiscard]] Status<ArenaError> map_space(int space_fd);
    [[nodiscard]] Status<ArenaError> register_holder() noexcept;
    [[nodiscard]] Result<bool, ArenaError> back(BlockSlot& slot, std::uint64_t length);
    [[nodiscard]] BlockSlot* find_free_locked(std::uint64_t need);
    [[nodiscard]] BlockSlot* carve_locked(std::uint64_t need);
    void coalesce_locked();
    // Maps a block's pages into this process once per epoch of the block, in one call
    // rather than a fault per page.
    void prefault(const BlockSlot& slot, std::uint64_t length, bool write) const noexcept;
    [[nodiscard]] std::uint64_t queued_locked() const noexcept;

    std::uint64_t id_ = 0;
    SpaceKind kind_ = SpaceKind::Shm;
    std::uint64_t space_size_ = 0;
    Mapping control_map_;
    Mapping space_map_; // the memfd space; for Shm the blocks are in control_map_
    ArenaHeader* control_ = nullptr;
    std::uint8_t* blocks_ = nullptr;
    int control_fd_ = -1; // kept: the in-use mark, and the memfd space's for its openers
    int space_fd_ = -1;
    std::unique_ptr<std::atomic<std::uint64_t>[]> faulted_; // per slot: epoch + 1 once prefaulted here
    std::atomic<std::uint64_t> last_reclaim_ns_{0};          // this process's last reclaim_locked in acquire
    std::atomic<std::uint64_t> last_taken_here_ns_{0};      // this process's last take of a block
};

// The arena of the queue with header `queue`, made now when it has none (with room for
// `space_size` bytes of blocks of `kind`), or when the one it names is a memfd space that
// no live process has open any more: a new arena takes its place (the messages of the
// old one are lost). Of processes that race to make one, one wins; the others use it.
struct QueueArena {
    std::shared_ptr<BlockArena> arena;
    bool created;
};
[[nodiscard]] Result<QueueArena, ArenaError> ensure_queue_arena(QueueHeader& queue, std::string_view queue_name,
                                                                SpaceKind kind, std::uint64_t space_size);

// Removes arena `id`'s name (the memory lives on in the processes that map it).
[[nodiscard]] Status<SegmentError> unlink_arena(std::uint64_t id);

// The queue header's field that names the queue's arena (0: none yet); changed once,
// from 0, with a compare-and-swap.
inline constexpr std::size_t kArenaIdOffset = offsetof(QueueHeader, block_arena);
[[nodiscard]] std::uint64_t queue_arena_id(const QueueHeader& h) noexcept;
// Sets it to `id` if it is still 0; gives the id it holds afterwards.
[[nodiscard]] std::uint64_t claim_queue_arena(QueueHeader& h, std::uint64_t id) noexcept;

// ---------------------------------------------------------------------------
// The hooks a queue handle runs under its queue mutex (RecordHooks): they keep the
// slots of the records it puts and takes in step with the ring.
class BlockLedger final : public RecordHooks {
public:
    explicit BlockLedger(QueueHeader* queue) noexcept : queue_(queue) {}
    // The arena of the queue, opened on first need; nullptr when it has none (or it
    // cannot be opened).
    [[nodiscard]] std::shared_ptr<BlockArena> arena();
    void set_arena(std::shared_ptr<BlockArena> arena) { arena_ = std::move(arena); }

    Outcome published(std::span<const Piece> batch, std::uint64_t first_pos, Deadline until) noexcept override;
    Outcome taking(const RecordView& record, Deadline until) noexcept override;
    void taken(const RecordView& record) noexcept override;
    void done() noexcept override;

private:
    QueueHeader* queue_;
    std::shared_ptr<BlockArena> arena_;
    bool locked_ = false;
};

// In a forked child: every block this process had exported becomes a private copy
// at the same address, and every arena is mapped afresh, so the child shares nothing it
// received with its parent. `exported`: where each lies, with the copy of it the parent
// made just before the fork (which the child inherited; a snapshot, whatever the parent
// writes after the fork), or none (copied now). Run with the child's only thread.
void blocks_after_fork_in_child(std::span<const ForkCopy> exported) noexcept;

// Process-local counts for tests and `kelvane ls`-like reports.

struct ArenaCounts {
    std::uint64_t blocks, free, writing, queued, held, carved, backed, lent;
};
[[nodiscard]] ArenaCounts count_slots(const ArenaHeader& h) noexcept;

} // namespace kel
