// The owning side of a worker pool's transport: a task queue and a result queue
// under two fresh names ("kp_task_" and "kp_res_" followed by one random 8-digit
// hexadecimal identifier). Workers attach to both by name.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "errors.hpp"
#include "queue.hpp"
#include "shm.hpp"

namespace kel {

// The random source's own failure, as its errno text.
struct RandomError {
    std::string text;
};

// Why the two queues could not be made: no random identifier, one of the objects
// could not be created, or its header could not be initialised.
struct PoolError {
    enum class Kind { Random, CreateTask, CreateResult, InitTask, InitResult };

    Kind kind;
    RandomError random{};                              // Random
    SegmentError segment{SegmentError::nix(0)};        // CreateTask, CreateResult
    QueueError queue{QueueError::buffer_too_small()};  // InitTask, InitResult

    static PoolError random_failed(RandomError e) {
        PoolError error{Kind::Random};
        error.random = std::move(e);
        return error;
    }
    static PoolError with_segment(Kind kind, SegmentError e) {
        PoolError error{kind};
        error.segment = std::move(e);
        return error;
    }
    static PoolError with_queue(Kind kind, QueueError e) {
        PoolError error{kind};
        error.queue = std::move(e);
        return error;
    }

    [[nodiscard]] std::string display() const {
        switch (kind) {
        case Kind::Random:
            return random.text;
        case Kind::CreateTask:
        case Kind::CreateResult:
            return segment.display();
        case Kind::InitTask:
        case Kind::InitResult:
            return queue.display();
        }
        return "unknown pool error";
    }
};

// Both queues of one pool, owned: the two names are removed, then both mappings
// released, when the value goes. Move-only; a moved-from value removes nothing.
class PoolQueues {
public:
    // Draws the identifier, creates both objects exclusively (mode 0600) and then
    // initialises both headers. A failure removes every name it created. Never waits.
    [[nodiscard]] static Result<PoolQueues, PoolError> create(std::uint64_t data_size);

    PoolQueues(PoolQueues&& other) noexcept;
    PoolQueues& operator=(PoolQueues&&) = delete;
    PoolQueues(const PoolQueues&) = delete;
    PoolQueues& operator=(const PoolQueues&) = delete;
    ~PoolQueues();

    [[nodiscard]] const std::string& task_name() const noexcept { return task_name_; }
    [[nodiscard]] const std::string& result_name() const noexcept { return result_name_; }
    [[nodiscard]] RingQueue& task_ring() noexcept { return task_.ring; }
    [[nodiscard]] RingQueue& result_ring() noexcept { return result_.ring; }

    // Removes both names (one already gone is no concern); the mappings stay, and so
    // does every process's use of the two rings.
    void unlink() noexcept;

private:
    PoolQueues() = default;

    std::string task_name_;
    std::string result_name_;
    QueueSegment task_;
    QueueSegment result_;
};

} // namespace kel
