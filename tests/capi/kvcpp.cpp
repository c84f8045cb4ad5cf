// The test suite's C++ program: kelvane.hpp (C++20), driven by tests/test_capi.py. The
// same commands, messages and output as kvc.c (see there), through the C++ handles (consume
// also "threads": three threads on one handle take messages whole), and:
//
//   kvcpp frames QUEUE COUNT ROWS COLS        send COUNT float32 arrays through loans,
//                                             a[i][j] = seq + i * COLS + j; then stay until the
//                                             end of standard input (a memfd arena it made lives on)
//   kvcpp produce-blocks QUEUE START SIZE     as produce, forever, each message through a loan
//   kvcpp block-raii QUEUE                    loans and blocks that go with their handles
#include <kelvane.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

int fails(const char* what, const kv::error& e) {
    std::fprintf(stderr, "kvcpp: %s: %d %s\n", what, e.code(), e.what());
    return 1;
}

std::size_t message_length(std::uint64_t seq, std::uint64_t size) { return 12 + seq * 7919 % size; }

void make_message(std::vector<std::byte>& out, std::uint64_t seq, std::size_t len) {
    out.resize(len);
    const auto len32 = static_cast<std::uint32_t>(len);
    std::memcpy(out.data(), &seq, 8);
    std::memcpy(out.data() + 8, &len32, 4);
    for (std::size_t i = 12; i < len; ++i)
        out[i] = static_cast<std::byte>((seq + i) & 0xff);
}

bool message_ok(std::span<const std::byte> m, std::uint64_t want_seq) {
    std::uint64_t seq;
    std::uint32_t len32;
    if (m.size() < 12)
        return false;
    std::memcpy(&seq, m.data(), 8);
    std::memcpy(&len32, m.data() + 8, 4);
    if (seq != want_seq || len32 != m.size())
        return false;
    for (std::size_t i = 12; i < m.size(); ++i)
        if (m[i] != static_cast<std::byte>((seq + i) & 0xff))
            return false;
    return true;
}

int produce(const char* name, std::uint64_t start, std::uint64_t count, std::uint64_t size) {
    auto q = kv::queue::attach(name);
    if (!q)
        return fails("attach", q.error());
    std::vector<std::byte> buf;
    for (std::uint64_t seq = start; count == 0 || seq < start + count; ++seq) {
        make_message(buf, seq, message_length(seq, size));
        if (auto put = q->put(buf, 10s); !put)
            return fails("put", put.error());
    }
    std::printf("produced %llu\n", static_cast<unsigned long long>(count));
    return 0;
}

// Three threads share one handle, each taking messages whole until `count` are taken;
// every seq arrives once, each whole.
int consume_threads(kv::queue& q, std::uint64_t count) {
    std::atomic<std::int64_t> left{static_cast<std::int64_t>(count)};
    std::vector<std::uint64_t> seqs;
    std::mutex seqs_mutex;
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            while (left.fetch_sub(1) > 0 && !bad) {
                auto b = q.receive(10s);
                std::uint64_t seq = 0;
                if (!b || b->size() < 12 || (std::memcpy(&seq, b->bytes().data(), 8), !message_ok(b->bytes(), seq))) {
                    bad = true;
                    return;
                }
                std::lock_guard held(seqs_mutex);
                seqs.push_back(seq);
            }
        });
    for (auto& t : threads)
        t.join();
    std::sort(seqs.begin(), seqs.end());
    for (std::uint64_t i = 0; i < seqs.size(); ++i)
        bad = bad || seqs[i] != i;
    if (bad || seqs.size() != count)
        return std::fprintf(stderr, "kvcpp: the threads took %zu messages, not each once\n", seqs.size()), 1;
    std::printf("consumed %llu\n", static_cast<unsigned long long>(count));
    return 0;
}

int consume(const char* name, std::uint64_t count, std::string_view style) {
    auto q = kv::queue::attach(name);
    if (!q)
        return fails("attach", q.error());
    if (style == "threads")
        return consume_threads(*q, count);
    for (std::uint64_t seq = 0; seq < count; ++seq) {
        if (style == "view") {
            auto v = q->view(10s);
            if (!v)
                return fails("view", v.error());
            if (!message_ok(v->bytes(), seq))
                return std::fprintf(stderr, "kvcpp: message %llu is not what was sent\n",
                                    static_cast<unsigned long long>(seq)), 1;
            if (auto done = q->commit(*v); !done)
                return fails("commit", done.error());
        } else {
            auto m = q->get(10s);
            if (!m)
                return fails("get", m.error());
            if (!message_ok(m->bytes(), seq))
                return std::fprintf(stderr, "kvcpp: message %llu is not what was sent\n",
                                    static_cast<unsigned long long>(seq)), 1;
        }
    }
    std::printf("consumed %llu\n", static_cast<unsigned long long>(count));
    return 0;
}

int hold(const char* name) {
    auto l = kv::lock::open(name);
    if (!l)
        return fails("open", l.error());
    auto held = l->acquire();
    std::printf("held %d\n", held ? (held->recovered() ? KV_RECOVERED : KV_OK) : held.code());
    std::fflush(stdout);
    for (;;)
        pause();
}

int acquire(const char* name) {
    auto l = kv::lock::open(name);
    if (!l)
        return fails("open", l.error());
    auto held = l->acquire(10s);
    const int rc = held ? (held->recovered() ? KV_RECOVERED : KV_OK) : held.code();
    std::printf("acquired %d %s\n", rc, kv_strerror(rc));
    if (held)
        std::printf("released %d\n", held->unlock().code());
    return 0;
}

template <class R>
void say(const char* label, const R& r) {
    std::printf("%s\t%d\t%s\n", label, r.code(), r ? "" : r.error().what());
}

int frames(const char* name, std::uint64_t count, std::size_t rows, std::size_t cols) {
    auto q = kv::queue::attach(name);
    if (!q)
        return fails("attach", q.error());
    for (std::uint64_t seq = 0; seq < count; ++seq) {
        auto frame = q->loan(rows * cols * sizeof(float), 10s);
        if (!frame)
            return fails("loan", frame.error());
        auto pixels = frame->as<float>();
        for (std::size_t k = 0; k < pixels.size(); ++k)
            pixels[k] = static_cast<float>(seq + k);
        if (auto sent = q->send_array<float>(*frame, {rows, cols}, 10s); !sent)
            return fails("send", sent.error());
    }
    std::printf("sent %llu\n", static_cast<unsigned long long>(count));
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    return 0;
}

int produce_blocks(const char* name, std::uint64_t start, std::uint64_t size) {
    auto q = kv::queue::attach(name);
    if (!q)
        return fails("attach", q.error());
    std::vector<std::byte> message;
    for (std::uint64_t seq = start;; ++seq) {
        make_message(message, seq, message_length(seq, size));
        auto loan = q->loan(message.size(), 10s);
        if (!loan)
            return fails("loan", loan.error());
        std::copy(message.begin(), message.end(), loan->bytes().begin()); // killed here, it is never sent
        if (auto sent = q->send(*loan, message.size(), 10s); !sent)
            return fails("send", sent.error());
    }
}

// Every block here goes back with its handle: the test then finds the arena all free.
int block_raii(const char* name) {
    auto q = kv::queue::attach(name);
    if (!q)
        return fails("attach", q.error());
    {
        auto dropped = q->loan(1 << 20);
        if (!dropped)
            return fails("loan", dropped.error());
        kv::loan moved = std::move(*dropped);
        std::printf("moved\t%d\t%d\n", static_cast<bool>(moved) ? 1 : 0, static_cast<bool>(*dropped) ? 1 : 0);
    }
    const std::vector<std::byte> big(3 << 20, std::byte{7});
    if (auto put = q->put_block(big); !put)
        return fails("put_block", put.error());
    auto b = q->receive(0s);
    if (!b)
        return fails("receive", b.error());
    kv::block kept = std::move(*b);
    std::printf("received\t%d\t%zu %d\n", kept.kind(), kept.size(), static_cast<int>(kept.as<std::uint8_t>()[12345]));
    auto l = q->loan(100);
    if (!l)
        return fails("loan", l.error());
    auto s = q->send(*l, 200);
    say("send_too_long", s);
    auto sent = q->send(*l); // all of it
    say("send", sent);
    auto got = q->receive(0s);
    std::printf("got\t%d\t%zu\n", got.code(), got ? got->size() : 0);
    return 0;
}

int errors(const char* queue, const char* lock, const char* junk, const char* missing) {
    say("queue_unlink_missing", kv::queue::unlink(missing));
    say("attach_missing", kv::queue::attach(missing));
    say("queue_on_lock", kv::queue::open(lock, 1 << 20));
    say("queue_on_junk", kv::queue::attach(junk));
    say("lock_on_queue", kv::lock::open(queue));
    say("queue_unlink_lock", kv::queue::unlink(lock));
    say("capacity_mismatch", kv::queue::open(queue, 2 << 20));
    say("capacity_zero", kv::queue::open(queue, 0));
    say("name_with_nul", kv::queue::attach(std::string_view("kt_a\0b", 6)));

    auto q = kv::queue::open(queue, 1 << 20);
    if (!q)
        return fails("open", q.error());
    std::printf("capacity\t%llu\t\n", static_cast<unsigned long long>(q->capacity()));
    std::vector<std::byte> big(q->capacity() - 3);
    say("put_never_fits", q->put(big));
    say("put_bad_timeout", q->put("x", kv::timeout(-5)));
    std::byte small[4];
    say("try_get_empty", q->try_get_into(small));
    say("get_zero_timeout", q->get_into(small, 0s));
    say("get_timeout", q->get_into(small, 50ms));
    say("try_view_empty", q->try_view());
    say("put", q->put("hello, python", 0s));
    say("get_small_buffer", q->get_into(small));
    auto v = q->view();
    say("view", v);
    if (!v)
        return 1;
    kv_view off = v->native();
    off.next_pos += 1;
    say("commit_wrong", q->commit(kv::record_view(off)));
    auto m = q->get();
    say("get_alloc", m);
    if (m)
        std::printf("got\t%zu\t%.*s\n", m->size(), static_cast<int>(m->size()), m->str().data());
    say("commit_after_get", q->commit(*v));
    auto s = q->stats();
    say("stats", s);
    if (s)
        std::printf("held\t%llu\t%llu\n", static_cast<unsigned long long>(s->bytes),
                    static_cast<unsigned long long>(s->messages));

    auto l = kv::lock::open(lock);
    if (!l)
        return fails("lock open", l.error());
    auto held = l->acquire(0s);
    say("acquire", held);
    say("acquire_again", l->acquire(100ms));
    say("try_acquire_again", l->try_acquire());
    // Another thread may not release what this one holds.
    kv::result<void> foreign;
    std::thread([&] { foreign = held->unlock(); }).join();
    say("release_unheld", foreign);
    say("release", held->unlock());
    say("release_twice", held->unlock()); // a held lets go once
    std::latch taken(1), tried(1);
    std::thread other([&] {
        auto theirs = l->acquire();
        taken.count_down();
        tried.wait();
    });
    taken.wait();
    say("try_acquire_other", l->try_acquire());
    say("acquire_other", l->acquire(50ms));
    tried.count_down();
    other.join();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string_view cmd = argc > 1 ? argv[1] : "";
    auto n = [&](int i) { return std::strtoull(argv[i], nullptr, 10); };
    if (cmd == "produce" && argc == 6)
        return produce(argv[2], n(3), n(4), n(5));
    if (cmd == "consume" && argc == 5)
        return consume(argv[2], n(3), argv[4]);
    if (cmd == "hold" && argc == 3)
        return hold(argv[2]);
    if (cmd == "acquire" && argc == 3)
        return acquire(argv[2]);
    if (cmd == "errors" && argc == 6)
        return errors(argv[2], argv[3], argv[4], argv[5]);
    if (cmd == "frames" && argc == 6)
        return frames(argv[2], n(3), n(4), n(5));
    if (cmd == "produce-blocks" && argc == 5)
        return produce_blocks(argv[2], n(3), n(4));
    if (cmd == "block-raii" && argc == 3)
        return block_raii(argv[2]);
    std::fprintf(stderr, "kvcpp: unknown command\n");
    return 2;
}
