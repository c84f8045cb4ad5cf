/* The test suite's C program: kelvane.h from C11, driven by tests/test_capi.py.
 *
 *   kvc produce QUEUE START COUNT SIZE   put COUNT messages (0: until killed) from seq START
 *   kvc consume QUEUE COUNT copy|view    take COUNT messages from seq 0, checking each
 *   kvc hold LOCK                        acquire, say so, wait to be killed
 *   kvc acquire LOCK                     acquire (10 s at most), release, say what each gave
 *   kvc errors QUEUE LOCK JUNK MISSING   every refusal, one line each: label, code, text
 *   kvc receive QUEUE                    take arrays of doubles (a[j] = seq + j) until a ring message
 *   kvc hold-block QUEUE                 take one message whole, say so, wait to be killed
 *   kvc block-errors QUEUE               the block calls' refusals and cases, as errors does
 *   kvc unlink QUEUE                     kv_queue_unlink, and what it gave
 *   kvc put-block QUEUE SIZE             kv_queue_put_block of SIZE bytes, and what it gave
 *   kvc take QUEUE copy|whole            one kv_queue_get_alloc or kv_queue_receive, and what it gave
 *   kvc version
 *
 * A message: its seq (8 bytes), its length (4), then byte i = (seq + i) & 0xff; the length
 * is 12 + seq * 7919 % SIZE. Exit status 0, or 1 with the reason on stderr. */
#include <kelvane.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static const int64_t kTenSeconds = 10000000000LL;

static int fails(const char *what, int rc) {
    fprintf(stderr, "kvc: %s: %d %s: %s\n", what, rc, kv_strerror(rc), kv_last_error());
    return 1;
}

static size_t message_length(uint64_t seq, uint64_t size) { return 12 + (size_t)(seq * 7919 % size); }

static void make_message(unsigned char *out, uint64_t seq, size_t len) {
    uint32_t len32 = (uint32_t)len;
    memcpy(out, &seq, 8);
    memcpy(out + 8, &len32, 4);
    for (size_t i = 12; i < len; ++i)
        out[i] = (unsigned char)((seq + i) & 0xff);
}

static int message_ok(const unsigned char *m, size_t len, uint64_t want_seq) {
    uint64_t seq;
    uint32_t len32;
    if (len < 12)
        return 0;
    memcpy(&seq, m, 8);
    memcpy(&len32, m + 8, 4);
    if (seq != want_seq || len32 != len)
        return 0;
    for (size_t i = 12; i < len; ++i)
        if (m[i] != (unsigned char)((seq + i) & 0xff))
            return 0;
    return 1;
}

static int produce(const char *name, uint64_t start, uint64_t count, uint64_t size) {
    kv_queue *q;
    int rc = kv_queue_attach(&q, name);
    if (rc != KV_OK)
        return fails("attach", rc);
    unsigned char *buf = malloc(12 + size);
    if (buf == NULL)
        return fails("malloc", KV_ENOMEM);
    for (uint64_t seq = start; count == 0 || seq < start + count; ++seq) {
        size_t len = message_length(seq, size);
        make_message(buf, seq, len);
        if ((rc = kv_queue_put(q, buf, len, kTenSeconds)) != KV_OK)
            return fails("put", rc);
    }
    printf("produced %llu\n", (unsigned long long)count);
    free(buf);
    kv_queue_close(q);
    return 0;
}

static int consume(const char *name, uint64_t count, const char *style) {
    kv_queue *q;
    int rc = kv_queue_attach(&q, name);
    if (rc != KV_OK)
        return fails("attach", rc);
    size_t cap = 16; /* grown on KV_EBUFSIZE: the message stays queued meanwhile */
    unsigned char *buf = malloc(cap);
    for (uint64_t seq = 0; seq < count; ++seq) {
        const unsigned char *m;
        size_t len = 0;
        kv_view view;
        if (strcmp(style, "view") == 0) {
            if ((rc = kv_queue_view(q, &view, kTenSeconds)) != KV_OK)
                return fails("view", rc);
            m = view.data;
            len = view.len;
        } else {
            while ((rc = kv_queue_get(q, buf, cap, &len, kTenSeconds)) == KV_EBUFSIZE) {
                cap = len;
                buf = realloc(buf, cap);
            }
            if (rc != KV_OK)
                return fails("get", rc);
            m = buf;
        }
        if (!message_ok(m, len, seq)) {
            fprintf(stderr, "kvc: message %llu is not what was sent\n", (unsigned long long)seq);
            return 1;
        }
        if (strcmp(style, "view") == 0 && (rc = kv_queue_commit(q, &view)) != KV_OK)
            return fails("commit", rc);
    }
    printf("consumed %llu\n", (unsigned long long)count);
    free(buf);
    kv_queue_close(q);
    return 0;
}

static int hold(const char *name) {
    kv_lock *l;
    int rc = kv_lock_open(&l, name);
    if (rc != KV_OK)
        return fails("open", rc);
    rc = kv_lock_acquire(l, KV_FOREVER);
    printf("held %d\n", rc);
    fflush(stdout);
    for (;;)
        pause();
}

static int acquire(const char *name) {
    kv_lock *l;
    int rc = kv_lock_open(&l, name);
    if (rc != KV_OK)
        return fails("open", rc);
    rc = kv_lock_acquire(l, kTenSeconds);
    printf("acquired %d %s\n", rc, kv_strerror(rc));
    if (rc >= 0)
        printf("released %d\n", kv_lock_release(l));
    kv_lock_close(l);
    return 0;
}

static void say(const char *label, int rc) { printf("%s\t%d\t%s\n", label, rc, rc < 0 ? kv_last_error() : ""); }

/* QUEUE: a queue of 1 MiB that exists and is empty; LOCK: a lock; JUNK: 4096 bytes of
 * something else; MISSING: a name nothing holds. */
static int errors(const char *queue, const char *lock, const char *junk, const char *missing) {
    kv_queue *q = NULL, *other = NULL;
    kv_lock *l = NULL;
    unsigned char small[4];
    size_t len = 0;
    kv_view view;

    say("queue_unlink_missing", kv_queue_unlink(missing));
    say("attach_missing", kv_queue_attach(&other, missing));
    say("queue_on_lock", kv_queue_open(&other, lock, 1 << 20));
    say("queue_on_junk", kv_queue_attach(&other, junk));
    say("lock_on_queue", kv_lock_open(&l, queue));
    say("queue_unlink_lock", kv_queue_unlink(lock));
    say("capacity_mismatch", kv_queue_open(&other, queue, 2 << 20));
    say("null_out", kv_queue_open(NULL, queue, 1 << 20));
    say("capacity_zero", kv_queue_open(&other, queue, 0));
    say("inner_slash", kv_queue_open(&other, "kt_inner/slash", 1 << 20));
    say("other_still_null", other == NULL ? KV_OK : KV_EINTERNAL);

    int rc = kv_queue_open(&q, queue, 1 << 20);
    if (rc != KV_OK)
        return fails("open", rc);
    printf("capacity\t%llu\t\n", (unsigned long long)kv_queue_capacity(q));
    size_t big_len = (size_t)kv_queue_capacity(q) - 3;
    void *big = calloc(1, big_len);
    say("put_never_fits", kv_queue_put(q, big, big_len, KV_FOREVER));
    say("put_bad_timeout", kv_queue_put(q, "x", 1, -5));
    say("try_get_empty", kv_queue_try_get(q, small, sizeof small, &len));
    say("get_zero_timeout", kv_queue_get(q, small, sizeof small, &len, 0));
    say("get_timeout", kv_queue_get(q, small, sizeof small, &len, 50000000));
    say("try_view_empty", kv_queue_try_view(q, &view));
    say("put", kv_queue_put(q, "hello, python", 13, 0));
    say("get_small_buffer", kv_queue_get(q, small, sizeof small, &len, KV_FOREVER));
    printf("needed\t%zu\t\n", len);
    say("view", kv_queue_view(q, &view, KV_FOREVER));
    kv_view wrong = view;
    wrong.next_pos += 1;
    say("commit_wrong", kv_queue_commit(q, &wrong));
    void *data = NULL;
    say("get_alloc", kv_queue_get_alloc(q, &data, &len, KV_FOREVER));
    printf("got\t%zu\t%.*s\n", len, (int)len, (const char *)data);
    free(data);
    say("commit_after_get", kv_queue_commit(q, &view));
    uint64_t bytes = 9, messages = 9;
    say("stats", kv_queue_stats(q, &bytes, &messages));
    printf("held\t%llu\t%llu\n", (unsigned long long)bytes, (unsigned long long)messages);

    if ((rc = kv_lock_open(&l, lock)) != KV_OK)
        return fails("lock open", rc);
    say("release_unheld", kv_lock_release(l));
    say("acquire", kv_lock_acquire(l, 0));
    say("acquire_again", kv_lock_acquire(l, 100000000));
    say("try_acquire_again", kv_lock_try_acquire(l));
    say("release", kv_lock_release(l));

    free(big);
    kv_lock_close(l);
    kv_queue_close(q);
    return 0;
}

/* Python puts numpy arrays of doubles, a[j] = seq + j: each arrives as a pickle whose part 1
 * is the array's bytes, read where it lies. The end: a small message, which came through the
 * ring. */
static int receive(const char *name) {
    kv_queue *q;
    int rc = kv_queue_attach(&q, name);
    if (rc != KV_OK)
        return fails("attach", rc);
    uint64_t seq = 0;
    for (;; ++seq) {
        kv_block b;
        if ((rc = kv_queue_receive(q, &b, kTenSeconds)) != KV_OK)
            return fails("receive", rc);
        if (b.kind == KV_KIND_RING) {
            kv_block_release(&b);
            break;
        }
        if (b.kind != KV_KIND_PICKLE || b.nparts != 2 || b.parts[1].len % 8 != 0 ||
            (uintptr_t)b.parts[1].data % 4096 != 0) {
            fprintf(stderr, "kvc: message %llu: kind %d, %zu parts\n", (unsigned long long)seq, b.kind, b.nparts);
            return 1;
        }
        const double *a = b.parts[1].data;
        for (size_t j = 0; j < b.parts[1].len / 8; ++j)
            if (a[j] != (double)(seq + j)) {
                fprintf(stderr, "kvc: array %llu is not what was sent\n", (unsigned long long)seq);
                return 1;
            }
        kv_block_release(&b);
    }
    printf("received %llu\n", (unsigned long long)seq);
    kv_queue_close(q);
    return 0;
}

static int hold_block(const char *name) {
    kv_queue *q;
    int rc = kv_queue_attach(&q, name);
    if (rc != KV_OK)
        return fails("attach", rc);
    kv_block b;
    if ((rc = kv_queue_receive(q, &b, kTenSeconds)) != KV_OK)
        return fails("receive", rc);
    printf("holding %d %zu\n", b.kind, b.nparts);
    fflush(stdout);
    for (;;)
        pause();
}

/* QUEUE: a queue of 1 MiB that exists, is empty and has no block memory yet. */
static int block_errors(const char *queue) {
    kv_queue *q = NULL, *other = NULL;
    kv_loan loan, spare;
    kv_block b;
    kv_view view;
    unsigned char small[4];
    size_t len = 0, shape[2] = {2, 5}, too_many[KV_MAX_DIMS + 1] = {0};
    int rc = kv_queue_attach(&q, queue);
    if (rc != KV_OK || (rc = kv_queue_attach(&other, queue)) != KV_OK)
        return fails("attach", rc);

    say("loan_null", kv_queue_loan(q, NULL, 10, 0));
    say("loan_never_fits", kv_queue_loan(q, &loan, (size_t)65 << 20, 0));
    say("loan", kv_queue_loan(q, &loan, 1000, 0));
    printf("loan_capacity\t%zu\t%d\n", loan.capacity, (int)((uintptr_t)loan.data % 4096));
    say("send_too_long", kv_loan_send(q, &loan, 1001, 0));
    say("send_other_handle", kv_loan_send(other, &loan, 10, 0));
    say("send_bad_dtype", kv_loan_send_array(q, &loan, "float64", shape, 2, 0));
    say("send_bad_ndim", kv_loan_send_array(q, &loan, "<f8", too_many, KV_MAX_DIMS + 1, 0));
    shape[1] = 500;
    say("send_array_too_big", kv_loan_send_array(q, &loan, "<f8", shape, 2, 0));
    shape[1] = 5;
    double *a = loan.data;
    for (int j = 0; j < 10; ++j)
        a[j] = j;
    say("send_array", kv_loan_send_array(q, &loan, "<f8", shape, 2, 0));
    say("send_again", kv_loan_send(q, &loan, 10, 0));
    say("get_parts", kv_queue_get(q, small, sizeof small, &len, 0));
    say("view_parts", kv_queue_view(q, &view, 0));
    say("receive_array", kv_queue_receive(q, &b, 0));
    printf("array\t%d\t%zu %zu %g\n", b.kind, b.nparts, b.parts[1].len, ((const double *)b.parts[1].data)[9]);
    kv_block_release(&b);
    kv_block_release(&b); /* a second release does nothing */

    say("put_block", kv_queue_put_block(q, "hello, blocks", 13, 0));
    say("get_block_small_buffer", kv_queue_get(q, small, sizeof small, &len, 0));
    printf("block_needed\t%zu\t\n", len);
    say("view_block", kv_queue_view(q, &view, 0));
    printf("viewed\t%zu\t%.*s\n", view.len, (int)view.len, (const char *)view.data);
    say("commit_block", kv_queue_commit(q, &view));
    say("put_block_again", kv_queue_put_block(q, "hello again", 11, 0));
    void *data = NULL;
    say("get_alloc_block", kv_queue_get_alloc(q, &data, &len, 0));
    printf("got_block\t%zu\t%.*s\n", len, (int)len, (const char *)data);
    free(data);
    say("put_ring", kv_queue_put(q, "in the ring", 11, 0));
    say("receive_ring", kv_queue_receive(q, &b, 0));
    printf("ring\t%d\t%zu %.*s\n", b.kind, b.nparts, (int)b.len, (const char *)b.data);
    kv_block_release(&b);
    say("try_receive_empty", kv_queue_try_receive(q, &b));
    say("receive_timeout", kv_queue_receive(q, &b, 50000000));
    say("receive_null", kv_queue_receive(q, NULL, 0));

    say("loan_to_drop", kv_queue_loan(q, &spare, 3 << 20, 0));
    kv_loan_drop(&spare);
    kv_loan_drop(&spare); /* dropped already: nothing */

    /* A forked child may not send its parent's loan, nor give back its parent's block. */
    say("loan_before_fork", kv_queue_loan(q, &loan, 100, 0));
    say("put_before_fork", kv_queue_put_block(q, "held across a fork", 18, 0));
    say("receive_before_fork", kv_queue_receive(q, &b, 0));
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int code = kv_loan_send(q, &loan, 10, 0) == KV_EPERM ? 0 : 1;
        kv_loan_drop(&loan);
        kv_block_release(&b);
        _exit(code);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    printf("fork_child\t%d\t\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    printf("still_held\t%zu\t%.*s\n", b.len, (int)b.len, (const char *)b.data);
    kv_block_release(&b);
    say("send_after_fork", kv_loan_send(q, &loan, 100, 0));
    say("receive_after_fork", kv_queue_receive(q, &b, 0));
    kv_block_release(&b);

    kv_queue_close(other);
    kv_queue_close(q);
    return 0;
}

static int put_block(const char *name, size_t size) {
    kv_queue *q;
    int rc = kv_queue_attach(&q, name);
    if (rc != KV_OK)
        return fails("attach", rc);
    void *data = calloc(1, size);
    rc = kv_queue_put_block(q, data, size, kTenSeconds);
    printf("put\t%d\t%s\n", rc, rc < 0 ? kv_last_error() : "");
    free(data);
    kv_queue_close(q);
    return 0;
}

static int take(const char *name, const char *how) {
    kv_queue *q;
    int rc = kv_queue_attach(&q, name);
    if (rc != KV_OK)
        return fails("attach", rc);
    void *data = NULL;
    size_t len = 0;
    kv_block b;
    rc = strcmp(how, "copy") == 0 ? kv_queue_get_alloc(q, &data, &len, 0) : kv_queue_receive(q, &b, 0);
    printf("took\t%d\t%s\n", rc, rc < 0 ? kv_last_error() : "");
    if (rc == KV_OK && strcmp(how, "copy") != 0)
        kv_block_release(&b);
    free(data);
    kv_queue_close(q);
    return 0;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    const char *cmd = argc > 1 ? argv[1] : "";
    if (strcmp(cmd, "produce") == 0 && argc == 6)
        return produce(argv[2], strtoull(argv[3], NULL, 10), strtoull(argv[4], NULL, 10),
                       strtoull(argv[5], NULL, 10));
    if (strcmp(cmd, "consume") == 0 && argc == 5)
        return consume(argv[2], strtoull(argv[3], NULL, 10), argv[4]);
    if (strcmp(cmd, "hold") == 0 && argc == 3)
        return hold(argv[2]);
    if (strcmp(cmd, "acquire") == 0 && argc == 3)
        return acquire(argv[2]);
    if (strcmp(cmd, "errors") == 0 && argc == 6)
        return errors(argv[2], argv[3], argv[4], argv[5]);
    if (strcmp(cmd, "receive") == 0 && argc == 3)
        return receive(argv[2]);
    if (strcmp(cmd, "hold-block") == 0 && argc == 3)
        return hold_block(argv[2]);
    if (strcmp(cmd, "block-errors") == 0 && argc == 3)
        return block_errors(argv[2]);
    if (strcmp(cmd, "put-block") == 0 && argc == 4)
        return put_block(argv[2], strtoull(argv[3], NULL, 10));
    if (strcmp(cmd, "take") == 0 && argc == 4)
        return take(argv[2], argv[3]);
    if (strcmp(cmd, "unlink") == 0 && argc == 3) {
        printf("unlinked %d\n", kv_queue_unlink(argv[2]));
        return 0;
    }
    if (strcmp(cmd, "version") == 0) {
        int major, minor, patch;
        const char *v = kv_version(&major, &minor, &patch);
        printf("%s %d.%d.%d %s %d\n", v, major, minor, patch, KV_VERSION_STRING, KV_VERSION);
        for (int code = KV_EPARTS; code <= KV_RECOVERED; ++code)
            printf("%d\t%s\n", code, kv_strerror(code));
        printf("%d\t%s\n", -1000, kv_strerror(-1000));
        return 0;
    }
    fprintf(stderr, "kvc: unknown command\n");
    return 2;
}
