// The core alone: one producer process streams messages to one consumer process through
// one queue, with the core calls that put_bytes and get_bytes make, in the same order,
// and no interpreter anywhere. `python -m kelvane bench` builds this program from the
// source tree (CMake option KELVANE_BENCH) and runs it beside get_bytes, so the cost of
// the Python layer over its own core is a ratio of one run (bench/README.md).
//
//   kelvane_core_stream NAME SIZE COUNT CAPACITY_MB PRODUCER_CPU CONSUMER_CPU
//
// Creates the queue NAME exclusively (and removes the name again at the end), forks the
// consumer and then the producer, each pinned to its CPU ("-": not pinned) and opening
// the queue by name as an unrelated process would, each ready before the next is
// forked; then starts both at once. The producer puts COUNT messages of SIZE bytes (the
// bytes 0..255 repeated), the consumer takes each into one buffer of its own and checks
// its length, and the last one's bytes. Prints one line of JSON with the start and end
// of each side in seconds on CLOCK_MONOTONIC, the clock of Python's time.perf_counter.
// Exit status 0, or 1 with the reason on standard error.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/queue.hpp"
#include "core/shm.hpp"

namespace {

using namespace kel;

struct Args {
    std::string name;
    std::uint64_t size = 0;
    std::uint64_t count = 0;
    std::uint64_t capacity = 0;
    int producer_cpu = -1;
    int consumer_cpu = -1;
};

struct Span {
    double start;
    double end;
};

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void child_fails(const std::string& what) {
    std::fprintf(stderr, "kelvane_core_stream: %s\n", what.c_str());
    std::fflush(stderr);
    _exit(1);
}

bool parse_u64(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-')
        return false;
    out = v;
    return true;
}

bool parse_cpu(const char* text, int& out) {
    if (std::strcmp(text, "-") == 0) {
        out = -1;
        return true;
    }
    std::uint64_t v = 0;
    if (!parse_u64(text, v) || v >= CPU_SETSIZE)
        return false;
    out = static_cast<int>(v);
    return true;
}

// The name of the queue this run created, removed on every way out of main.
class CreatedName {
public:
    explicit CreatedName(std::string name) : name_(std::move(name)) {}
    CreatedName(const CreatedName&) = delete;
    CreatedName& operator=(const CreatedName&) = delete;
    ~CreatedName() { (void)unlink_segment(name_); }

private:
    std::string name_;
};

// One end of a pipe, closed on every path.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    [[nodiscard]] int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0)
            (void)::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

std::optional<Pipe> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

bool read_all(int fd, void* out, std::size_t length) {
    auto* p = static_cast<char*>(out);
    while (length > 0) {
        const ssize_t n = ::read(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_all(int fd, const void* data, std::size_t length) {
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::uint8_t> payload(std::uint64_t size) {
    std::vector<std::uint8_t> out(size);
    for (std::uint64_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>(i % 256);
    return out;
}

// What get_bytes copies each record into is a new bytes object; here it is one buffer.
struct Inbox {
    std::vector<std::uint8_t> buffer;
    std::uint32_t length = 0;

    static std::uint8_t* sink(void* context, std::uint32_t length) {
        auto* inbox = static_cast<Inbox*>(context);
        if (length > inbox->buffer.size())
            return nullptr;
        inbox->length = length;
        return inbox->buffer.data();
    }
};

// As put_bytes: one try; only when the ring cannot take the message at once, the put
// that waits for room (and, after a grace, claims it).
void produce(RingQueue& ring, const Args& args) {
    const std::vector<std::uint8_t> data = payload(args.size);
    for (std::uint64_t i = 0; i < args.count; ++i) {
        auto tried = ring.try_put(data.data(), data.size());
        if (!tried.ok())
            child_fails("put: " + tried.error().display());
        if (tried.value() == Attempt::Done)
            continue;
        const Piece piece{data.data(), data.size()};
        auto put = ring.put(std::span(&piece, 1), kForever, WaitFor::Anything, Clock::now());
        if (!put.ok())
            child_fails("put: " + put.error().display());
    }
}

// As get_bytes: one try; on an empty ring a wait for data and another try; on a busy
// mutex the get that waits for it.
void consume(RingQueue& ring, const Args& args) {
    Inbox inbox;
    inbox.buffer.resize(args.size);
    for (std::uint64_t i = 0; i < args.count; ++i) {
        for (;;) {
            auto tried = ring.try_get(Inbox::sink, &inbox);
            if (!tried.ok())
                child_fails("get: " + tried.error().display());
            if (tried.value() == Attempt::Done)
                break;
            if (tried.value() == Attempt::SinkFailed)
                child_fails("get: a message longer than " + std::to_string(args.size) + " bytes");
            if (tried.value() == Attempt::Busy) {
                std::size_t taken = 0;
                auto got = ring.get_many(Inbox::sink, &inbox, 1, taken, kForever, WaitFor::Anything);
                if (!got.ok())
                    child_fails("get: " + got.error().display());
                if (got.value() == Attempt::Done)
                    break;
                continue;
            }
            auto ready = ring.wait_readable(kForever);
            if (!ready.ok())
                child_fails("get: " + ready.error().display());
        }
        if (inbox.length != args.size)
            child_fails("get: message " + std::to_string(i) + " has " + std::to_string(inbox.length) +
                        " bytes, not " + std::to_string(args.size));
    }
    const std::vector<std::uint8_t> expected = payload(args.size);
    if (args.size > 0 && std::memcmp(inbox.buffer.data(), expected.data(), args.size) != 0)
        child_fails("get: the last message's bytes are not the ones put");
}

// A child process: opens the queue by name, says it is ready, waits for the start
// (the parent closes the start pipe), runs its side and reports when it ran.
[[noreturn]] void run_child(bool producer, const Args& args, pid_t parent, Pipe& ready, Pipe& start,
                            Pipe& result) {
    (void)::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive a parent that was killed
    if (::getppid() != parent)
        _exit(1);
    ready.read.reset();
    start.write.reset();
    result.read.reset();
    const int cpu = producer ? args.producer_cpu : args.consumer_cpu;
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        (void)::sched_setaffinity(0, sizeof set, &set);
    }
    auto opened = open_or_create_queue(args.name, args.capacity);
    if (!opened.ok())
        child_fails("open: " + opened.error().display());
    RingQueue& ring = opened.value().ring;
    const char mark = 'r';
    if (!write_all(ready.write.get(), &mark, 1))
        child_fails("cannot tell the parent it is ready");
    char c;
    (void)::read(start.read.get(), &c, 1); // end of file: the start
    Span span{now_seconds(), 0};
    if (producer)
        produce(ring, args);
    else
        consume(ring, args);
    span.end = now_seconds();
    if (!write_all(result.write.get(), &span, sizeof span))
        child_fails("cannot report to the parent");
    _exit(0);
}

int usage() {
    std::fprintf(stderr, "usage: kelvane_core_stream NAME SIZE COUNT CAPACITY_MB PRODUCER_CPU CONSUMER_CPU\n"
                         "  CPU: a CPU number, or - for no pinning\n");
    return 2;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "kelvane_core_stream: %s\n", what.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    Args args;
    std::uint64_t capacity_mb = 0;
    if (argc != 7 || !parse_u64(argv[2], args.size) || !parse_u64(argv[3], args.count) ||
        !parse_u64(argv[4], capacity_mb) || !parse_cpu(argv[5], args.producer_cpu) ||
        !parse_cpu(argv[6], args.consumer_cpu) || capacity_mb == 0 || capacity_mb >= (std::uint64_t{1} << 44))
        return usage();
    args.name = argv[1];
    args.capacity = capacity_mb << 20;
    if (args.size == 0 || args.size + kRecordPrefix > args.capacity)
        return fail("SIZE must be at least 1 and fit the ring with its 4-byte length");

    auto created = open_mirrored_segment(args.name, args.capacity, true);
    if (!created.ok())
        return fail("create " + args.name + ": " + created.error().display());
    CreatedName remove_at_exit(args.name);
    QueueSegment queue{std::move(created.value()), {}};
    auto initialised = init_header(queue.mapping.base(), queue.mapping.length());
    if (!initialised.ok())
        return fail("init: " + initialised.error().display());

    auto start = make_pipe();
    if (!start)
        return fail(std::string("pipe: ") + std::strerror(errno));
    // Each child's own pipes are made just before its fork, so that no other process
    // holds their write ends: a child that dies is seen as an end of file at once.
    struct Child {
        pid_t pid = -1;
        std::optional<Pipe> ready;
        std::optional<Pipe> result;
    } children[2];
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    std::string failure;
    for (int i = 0; i < 2 && failure.empty(); ++i) { // the consumer first, as in the Python rows
        Child& child = children[i];
        child.ready = make_pipe();
        child.result = make_pipe();
        if (!child.ready || !child.result) {
            failure = std::string("pipe: ") + std::strerror(errno);
            break;
        }
        const pid_t pid = ::fork();
        if (pid < 0) {
            failure = std::string("fork: ") + std::strerror(errno);
            break;
        }
        if (pid == 0)
            run_child(i == 1, args, parent, *child.ready, *start, *child.result);
        child.pid = pid;
        child.ready->write.reset();
        child.result->write.reset();
        char mark;
        if (!read_all(child.ready->read.get(), &mark, 1))
            failure = i == 0 ? "the consumer failed before it was ready" : "the producer failed before it was ready";
    }
    start->write.reset(); // both start now (or, after a failure, end)

    Span spans[2] = {{0, 0}, {0, 0}};
    for (int i = 0; i < 2 && failure.empty(); ++i) {
        if (!read_all(children[i].result->read.get(), &spans[i], sizeof spans[i]))
            failure = i == 0 ? "the consumer failed" : "the producer failed";
    }
    for (const Child& child : children) {
        const pid_t pid = child.pid;
        if (pid <= 0)
            continue;
        if (!failure.empty())
            (void)::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            failure = "a child ended with status " + std::to_string(status);
    }
    if (!failure.empty())
        return fail(failure);
    std::printf("{\"size\": %llu, \"messages\": %llu, \"capacity\": %llu, \"producer_start\": %.9f, "
                "\"producer_end\": %.9f, \"consumer_start\": %.9f, \"consumer_end\": %.9f}\n",
                static_cast<unsigned long long>(args.size), static_cast<unsigned long long>(args.count),
                static_cast<unsigned long long>(args.capacity), spans[1].start, spans[1].end, spans[0].start,
                spans[0].end);
    return 0;
}
