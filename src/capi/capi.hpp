// The C API's shared pieces: the handles behind the opaque types, failures as the
// calling thread's last error, and the guard that keeps C++ exceptions inside.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "core/blocks.hpp"
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

// How a queue call with this timeout waits: for a zero timeout, only for a busy mutex,
// and only up to the bound; else for anything, up to its deadline. False for a bad timeout.
struct Wait {
    Deadline until;
    WaitFor what;
};
bool wait_of(std::int64_t timeout_ns, const RingQueue& ring, Wait& wait) noexcept;

int bad_timeout(const char* fname);
int null_argument(const char* fname);
int queue_failure(const char* prefix, const QueueError& error);
// A receive that ended without a message (WouldBlock or Busy), for a try (kNoWait) or not.
int nothing_taken(Attempt outcome, Deadline until);
// One put of kv_queue_put, waiting as `wait` says.
int put_one(kv_queue* q, const Piece& piece, const Wait& wait);

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

// ---------------------------------------------------------------------------
// Blocks (src/capi/blocks.cpp)

// What the hooks tell the call of this thread that takes a record, under the queue mutex:
// whether the record is a block's reference, and for a copying get whether the block's
// message can be delivered as bytes (one part) and how many.
struct Taking {
    enum class Is { Bytes, Block, Unreadable };
    bool whole = false; // kv_queue_receive: any block message, inspected once held
    Is is = Is::Bytes;
    BlockRef ref{};
    std::uint64_t content = 0; // a copying get: the length of the one part
    std::uint32_t parts = 0;
    std::string why; // Unreadable
};

// Set while this thread's C call takes a record (queue.cpp, blocks.cpp).
class TakingNow {
public:
    explicit TakingNow(Taking& t) noexcept;
    ~TakingNow();
    TakingNow(const TakingNow&) = delete;
    TakingNow& operator=(const TakingNow&) = delete;
};

// A C handle's hooks: the queue's block ledger, and what a taking call learns.
class CapiHooks final : public RecordHooks {
public:
    explicit CapiHooks(QueueHeader* queue) noexcept : queue_(queue), ledger_(queue) {}
    Outcome published(std::span<const Piece> batch, std::uint64_t first_pos, Deadline until) noexcept override;
    Outcome taking(const RecordView& record, Deadline until) noexcept override;
    void taken(const RecordView& record) noexcept override;
    void done() noexcept override { ledger_.done(); }

private:
    QueueHeader* queue_;
    BlockLedger ledger_; // touched only under the queue mutex, as the ring calls it
};

// A copying get's block message, held by this process: copies its one part to `dest` and
// gives the block back. KV_EDECODE when it cannot be read.
int deliver_copy(const Taking& t, std::uint8_t* dest);
// A consumed record that referred to a block that cannot be read: KV_EDECODE with the reason.
int unreadable(const Taking& t);
// kv_queue_view of a record that may be a block's reference: `view` becomes the block's
// bytes when it is one; KV_OK (a block or not), KV_EPARTS, KV_EDECODE, or 1 when the
// record was taken by another meanwhile (look again).
int view_block(kv_queue* q, const RecordView& record, kv_view* view, Deadline until);
// After the commit of a view that lay in a block: gives consumed blocks back.
void commit_block(kv_queue* q, const kv_view* view);
// The queue's arena, opened (not made) by this handle: nullptr when it has none.
std::shared_ptr<BlockArena> queue_arena(kv_queue* q);

} // namespace kel::capi

struct kv_queue {
    kv_queue(kel::QueueSegment segment, kel::capi::InUseMark in_use, std::string_view queue_name)
        : queue(std::move(segment)), mark(std::move(in_use)), hooks(queue.ring.header()),
          name(queue_name.substr(queue_name.starts_with('/') ? 1 : 0)) {
        queue.ring.set_hooks(&hooks);
    }
    kv_queue(const kv_queue&) = delete;
    kv_queue& operator=(const kv_queue&) = delete;

    kel::QueueSegment queue;
    kel::capi::InUseMark mark;
    kel::capi::CapiHooks hooks;
    std::string name; // without a leading "/", as the arena records it for `kelvane ls`
    // This handle's mapping of the queue's arena (it keeps it mapped while views of it may
    // be read); changed only under arena_mutex, which is never held while waiting.
    std::mutex arena_mutex;
    std::shared_ptr<kel::BlockArena> arena;
};

struct kv_lock {
    kel::LockHandle lock;
    kel::capi::InUseMark mark;
};
