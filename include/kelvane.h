/* kelvane.h: kelvane's named queues and locks for C and C++ programs.
 *
 * The queues and locks are the very objects Python's kelvane.Queue / KelQueue and
 * kelvane.Lock / KelLock use: a C program, a C++ program and Python processes can
 * share one queue or one lock by its name, at the same time.
 *
 * - A queue is a bounded, multi-producer, multi-consumer queue of byte messages in one
 *   POSIX shared-memory object. A process killed at any instant loses at most the
 *   message it was copying, never leaves a partial one and never stalls the others.
 * - A lock is a robust lock shared by name. When its holder dies holding it, the next
 *   acquirer takes it over and is told so (KV_RECOVERED), as Python's LockRecovered.
 *
 * Python's kelvane.Queue pickles its objects by default. A C program exchanges raw bytes
 * with a Python process that uses kelvane.Queue(name, serializer=None) or KelQueue, and
 * large messages and numpy arrays with any kelvane.Queue through the queue's blocks (see
 * "large messages" below).
 *
 * Results. Every function that can fail returns an int: 0 (KV_OK) on success, or a
 * negative KV_E* code. The one other result is KV_RECOVERED (1) from the lock
 * acquires: the lock IS held, taken over from a holder that died. So for a lock,
 * rc >= 0 means "held" and rc < 0 means "not held". kv_strerror(code) gives a code's
 * text; kv_last_error() the whole text of the latest failure of the calling thread, the
 * same text Python's kelvane_core raises for the same failure (for example
 * "Unlink failed: Nix error: ENOENT: No such file or directory").
 *
 * Threads. Every function may be called by any number of threads at once on the same
 * handle, except that a handle must not be closed while another thread still uses it.
 * A lock belongs to the thread that acquired it: only that thread may release it.
 * No function raises a C++ exception; running out of memory is KV_ENOMEM.
 *
 * Timeouts are in nanoseconds: KV_FOREVER (-1) waits as long as it takes, 0 waits for
 * nothing (a queue call still waits, a bounded while, for a mutex that another thread
 * holds for one copy: with 0, "no message" means the queue was empty). No wait is cut
 * short by a signal.
 *
 * Names are what Python passes: "orders" and "/orders" are the same object
 * (/dev/shm/orders). A name that holds something other than a queue, or a lock, is
 * refused (KV_EKIND) and never touched.
 *
 * Compatibility. The shared layout (the queue's 16384-byte header and its records of a
 * 4-byte length and the bytes; the lock's robust mutex at 0 and its mark "KELLOCK1" at
 * 64; a queue's block arena, marked "KELARENA" with version 1, its 64-byte references,
 * marked "\0KELBLK1" and checked by a hash, and its blocks, marked "KELBLOCK", all laid
 * out in kelvane/_blocks.py) is fixed: programs and Python processes of every kelvane
 * version with this layout share objects, whichever version built them. Should a later
 * version change the layout, its objects carry another mark (a lock mark other than
 * "KELLOCK1", a queue ready word other than 1, another arena version or reference mark),
 * which this version refuses with KV_EKIND (or, for a block, KV_EDECODE) instead of
 * misreading them. The mutexes are glibc's own (Linux, glibc 2.31 or later): every
 * process that shares an object must use glibc.
 *
 * Building: link the static library libkelvane.a (C++20 inside, so link with a C++
 * compiler, or add -lstdc++) and -lpthread -lrt; CMake's find_package(kelvane CONFIG)
 * (target kelvane::kelvane) and pkg-config's kelvane.pc do it for you.
 * `python -m kelvane --cmake-dir | --pkgconfig-dir | --include-dir | --cflags | --libs`
 * prints where the installed package keeps them.
 */
#ifndef KELVANE_H
#define KELVANE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KV_VERSION_MAJOR 0
#define KV_VERSION_MINOR 1
#define KV_VERSION_PATCH 0
#define KV_VERSION_STRING "0.1.0"
/* A number that orders versions: KV_VERSION >= KV_MAKE_VERSION(0, 1, 0). */
#define KV_MAKE_VERSION(major, minor, patch) ((major) * 10000 + (minor) * 100 + (patch))
#define KV_VERSION KV_MAKE_VERSION(KV_VERSION_MAJOR, KV_VERSION_MINOR, KV_VERSION_PATCH)

#if defined(__GNUC__)
#define KV_API __attribute__((visibility("default")))
#define KV_NODISCARD __attribute__((warn_unused_result))
#else
#define KV_API
#define KV_NODISCARD
#endif

/* Wait as long as it takes. */
#define KV_FOREVER ((int64_t)-1)

/* Results. */
enum {
    KV_OK = 0,
    KV_RECOVERED = 1,   /* the lock is held, taken over from a holder that died: repair what it guards */
    KV_EAGAIN = -1,     /* a try: no message, or no room for this one, right now */
    KV_EBUSY = -2,      /* a try: another thread held the queue or lock at that instant */
    KV_ETIMEDOUT = -3,  /* the timeout passed first; nothing was done */
    KV_EINVAL = -4,     /* an invalid argument (a NULL pointer, a capacity of 0, a bad timeout) */
    KV_ENOMEM = -5,     /* no memory; nothing was taken or changed */
    KV_ENOENT = -6,     /* no queue or lock of that name */
    KV_EACCES = -7,     /* the object belongs to another user */
    KV_EKIND = -8,      /* the name holds something else: a lock, a queue, another layout, other bytes */
    KV_ECAPACITY = -9,  /* the queue exists with another capacity than the one asked for */
    KV_EUNINIT = -10,   /* its creator never finished making it (kv_*_unlink removes it) */
    KV_EMSGSIZE = -11,  /* the message can never fit this queue (its length + 4 > capacity) */
    KV_EBUFSIZE = -12,  /* the caller's buffer is too small for the oldest message, which stays queued */
    KV_EPOS = -13,      /* kv_queue_commit of a view whose message another consumer moved past */
    KV_EPERM = -14,     /* release by a thread that does not hold the lock */
    KV_EDEADLK = -15,   /* acquire of a lock the calling thread holds already (it is not re-entrant) */
    KV_ECORRUPT = -16,  /* the shared header breaks the queue's invariants (another program's bytes) */
    KV_ESYSTEM = -17,   /* another failure of a system or threads-library call: see kv_last_error() */
    KV_EINTERNAL = -18, /* a fault of kelvane itself: see kv_last_error() */
    KV_ENOSPC = -19,    /* no memory for a block: /dev/shm (or, for a memfd arena, memory) is full */
    KV_EDECODE = -20,   /* a block message that cannot be read (its memory is gone, or it is damaged):
                           it was taken and is lost, as Python's kelvane.DecodeError says */
    KV_EPARTS = -21     /* the oldest message is a block of several parts (a pickle with out-of-band
                           buffers, a numpy array from Python): it stays queued; kv_queue_receive takes it */
};

/* ---- versions and results ------------------------------------------------------------ */

/* The library's version as "MAJOR.MINOR.PATCH"; each pointer may be NULL. */
KV_API const char *kv_version(int *major, int *minor, int *patch);

/* A result's text: a fixed string for every code (unknown codes included); never NULL. */
KV_API const char *kv_strerror(int code);

/* The whole text of the latest failure of the calling thread (its result code's own
 * detail: the system's errno name, the sizes involved, the prefix Python's kelvane_core
 * puts before the same failure), or "" before any. Valid until the thread's next call
 * that fails. Successful calls leave it as it was. */
KV_API const char *kv_last_error(void);

/* ---- queues ---------------------------------------------------------------------------- */

typedef struct kv_queue kv_queue;

/* A message lent by kv_queue_view: `len` bytes at `data`, inside the shared ring. */
typedef struct kv_view {
    const void *data;
    size_t len;
    uint64_t next_pos; /* the read position just past the message: what kv_queue_commit stores */
} kv_view;

/* Opens the queue `name`, or creates it when there is none, with a ring of `capacity`
 * bytes rounded up to a whole MiB (a message takes its length + 4 bytes). Of several
 * processes that do this at once for a new name, one creates and the others open it.
 * An existing queue of another capacity: KV_ECAPACITY (kv_queue_attach takes any).
 * May wait up to 10 s for a creator in another process that has not finished.
 * On success *out is a new handle for kv_queue_close; on failure it is set to NULL. */
KV_API KV_NODISCARD int kv_queue_open(kv_queue **out, const char *name, uint64_t capacity);

/* Opens the existing queue `name` at whatever capacity it has; never creates one:
 * KV_ENOENT when there is none. */
KV_API KV_NODISCARD int kv_queue_attach(kv_queue **out, const char *name);

/* Releases the handle and its mapping (NULL is ignored). The queue and its messages stay
 * until kv_queue_unlink; views lent by this handle must not be read afterwards. */
KV_API void kv_queue_close(kv_queue *q);

/* Removes the name: processes that opened the queue keep using it; a new open of the
 * name makes a new queue. Refuses a name that holds something other than a queue. The
 * name of the queue's block memory goes too (see "large messages"). */
KV_API KV_NODISCARD int kv_queue_unlink(const char *name);

/* The ring's size in bytes (0 for NULL). */
KV_API uint64_t kv_queue_capacity(const kv_queue *q);

/* Puts one message of `len` bytes (0 is a message too), waiting up to `timeout_ns` for
 * room: 0, KV_ETIMEDOUT (nothing put), KV_EMSGSIZE (never fits). A producer that waits
 * claims the room it needs, so a stream of small messages cannot starve a large one. */
KV_API KV_NODISCARD int kv_queue_put(kv_queue *q, const void *data, size_t len, int64_t timeout_ns);

/* Puts one message if that can be done at once, never waiting, not even for the queue's
 * mutex: 0, KV_EAGAIN (no room), KV_EBUSY (the mutex was held), KV_EMSGSIZE. */
KV_API KV_NODISCARD int kv_queue_try_put(kv_queue *q, const void *data, size_t len);

/* Takes the oldest message into `buf` (`cap` bytes), waiting up to `timeout_ns` for one;
 * *len receives its length. KV_EBUFSIZE: the message is longer than `cap` and stays
 * queued, *len holds its length (a kv_queue_get_alloc takes any length).
 * A block message of one part (see "large messages") is copied out as its bytes and its
 * block given back; one of several parts is KV_EPARTS (it stays queued), one that cannot be
 * read KV_EDECODE (it is taken). So are the other copying gets. */
KV_API KV_NODISCARD int kv_queue_get(kv_queue *q, void *buf, size_t cap, size_t *len, int64_t timeout_ns);

/* As kv_queue_get, but never waits, not even for the queue's mutex: 0, KV_EAGAIN (empty),
 * KV_EBUSY (the mutex was held), KV_EBUFSIZE. */
KV_API KV_NODISCARD int kv_queue_try_get(kv_queue *q, void *buf, size_t cap, size_t *len);

/* Takes the oldest message into new memory: *data (release it with free(); a message of
 * length 0 still gets a valid pointer) and *len. KV_ENOMEM: the message stays queued. */
KV_API KV_NODISCARD int kv_queue_get_alloc(kv_queue *q, void **data, size_t *len, int64_t timeout_ns);

/* Zero-copy receive: lends the oldest message where it lies in shared memory, without
 * taking it, waiting up to `timeout_ns` for one. The message stays queued (producers
 * cannot overwrite it) until kv_queue_commit(q, view) takes it. A view serves one
 * consumer of the queue at a time: another consumer's get takes the same message, after
 * which the view's bytes may be overwritten and its commit is KV_EPOS. A message that
 * runs past the end of the ring is still one contiguous range.
 * A block message of one part is lent where it lies in its block (its commit gives the
 * block back); one of several parts is KV_EPARTS, one that cannot be read KV_EDECODE (both
 * stay queued: kv_queue_receive, or a copying get, takes them). */
KV_API KV_NODISCARD int kv_queue_view(kv_queue *q, kv_view *view, int64_t timeout_ns);

/* As kv_queue_view, but never waits: 0, KV_EAGAIN (empty), KV_EBUSY (the mutex was held). */
KV_API KV_NODISCARD int kv_queue_try_view(kv_queue *q, kv_view *view);

/* Takes the viewed message: its bytes belong to the ring again. Committing a message that
 * another consumer took meanwhile is 0 as well (nothing to do); any other position is
 * refused with KV_EPOS and changes nothing. */
KV_API KV_NODISCARD int kv_queue_commit(kv_queue *q, const kv_view *view);

/* What the queue holds now: bytes between the read and write positions (4 per message
 * included) and messages; either pointer may be NULL. */
KV_API KV_NODISCARD int kv_queue_stats(kv_queue *q, uint64_t *bytes, uint64_t *messages);

/* ---- large messages: blocks --------------------------------------------------------------
 *
 * A message need not fit the ring: it can travel in a block, shared memory beside the ring
 * that every process of the queue maps once and that is recycled from message to message,
 * while the ring carries a 64-byte reference to it. These are the blocks kelvane.Queue
 * carries its large objects in, so large messages cross between C, C++ and Python both ways
 * with no copy on either side.
 *
 * Sending: kv_queue_loan lends `size` writable bytes in a free block of the queue; fill them
 * in place and send them with kv_loan_send (the receiver gets those bytes: Python's
 * kelvane.Queue(name, serializer=None).get() a memoryview of the block) or with
 * kv_loan_send_array (they are a C-ordered array of a numpy dtype and shape: a Python
 * kelvane.Queue(name), with its default pickle serializer, gets a numpy.ndarray that is a view
 * of the block). kv_loan_drop gives back a loan that is not to be sent. kv_queue_put_block
 * copies a message into a block and sends it.
 *
 * Receiving: kv_queue_receive takes the oldest message, whatever it is: a block message in
 * place, with no copy; a message of the ring copied into memory of its own. Either is the
 * caller's until kv_block_release. What a block message holds (kv_block.kind):
 *   KV_KIND_BYTES   one part, the message's bytes: what kv_loan_send, kv_queue_put_block and
 *                   Python's q.put(q.loan(n)) send.
 *   KV_KIND_PICKLE  part 0 a pickle stream (protocol 5), parts 1.. its out-of-band buffers,
 *                   each at a 4096-byte boundary: what kv_loan_send_array sends (part 1 the
 *                   array's bytes) and what kelvane.Queue's put of a large object sends. A
 *                   numpy array of at least 192 KiB put by Python (q.put(a)) is the pickle
 *                   stream of numpy, which holds its dtype and shape, and part 1 its bytes,
 *                   in C order (Fortran order for an array that is Fortran-contiguous only):
 *                   a C program that knows the array's dtype and shape reads part 1 as it is.
 *                   A large pickle with no such buffer has one part, its stream. A smaller
 *                   or non-contiguous array travels inside the stream instead.
 * The copying gets and the view deliver a block message of one part as its bytes, as if it
 * had come through the ring, and refuse one of several parts with KV_EPARTS: it stays queued
 * for kv_queue_receive. So a C consumer never sees a block's reference.
 *
 * Memory: a queue's block memory (its arena) is made by the first process that needs it, C or
 * Python, with room for 64 times the ring's capacity (1 GiB for 16 MiB); blocks are backed as
 * they are first used and then kept for reuse. It lives in /dev/shm ("kb_" + 16 hex digits)
 * while /dev/shm has room for all of it, and otherwise (a container's 64 MB /dev/shm) in
 * anonymous shared memory (a memfd) that lasts only while some process of the queue has it
 * open; KELVANE_BLOCKS=shm or =memfd in the environment chooses for good. A loan that finds no
 * free block waits for one until its timeout; one larger than the arena is KV_EMSGSIZE.
 * kv_queue_unlink removes the arena's name with the queue's.
 *
 * Crash safety: a block changes hands under the arena's robust mutex, in step with the ring,
 * and records its writer or holder by pid and start time. A process killed while it fills a
 * loan never sends it, and the block comes back; a consumer killed while it holds blocks gives
 * them back to whoever next looks for a free one, C or Python; a block is never reused while
 * its holder lives, nor read under another message's reference.
 *
 * fork(): what a process holds stays its own. In a forked child, kv_block_release and
 * kv_loan_drop of the parent's blocks and loans only free the child's copy of the struct, and
 * kv_loan_send of the parent's loan is KV_EPERM. The child maps the same memory: it must not
 * read a block that the parent may give back meanwhile. It may take loans and receive blocks
 * of its own through any handle.
 */

/* What a received message is: kv_block.kind. */
enum {
    KV_KIND_RING = 0,   /* it came through the ring: its bytes, copied (whatever the producer put) */
    KV_KIND_BYTES = 1,  /* in a block: one part, the message's bytes */
    KV_KIND_PICKLE = 2  /* in a block: part 0 a pickle stream (protocol 5), parts 1.. its buffers */
};

/* The largest number of dimensions kv_loan_send_array takes. */
#define KV_MAX_DIMS 32

typedef struct kv_part {
    const void *data;
    size_t len;
} kv_part;

/* A received message, the caller's until kv_block_release. `data` and `len` are part 0 (the
 * whole message for KV_KIND_RING and KV_KIND_BYTES); `parts` lists all `nparts` parts. A
 * block message lies in shared memory: its bytes may be read, and written (they are nobody
 * else's), until the release, also after kv_queue_close of the handle it came through. */
typedef struct kv_block {
    const void *data;
    size_t len;
    int kind;                 /* KV_KIND_* */
    size_t nparts;
    const kv_part *parts;
    struct kv_block_held *held_; /* kelvane's own; NULL once released */
} kv_block;

/* Writable bytes in a block, lent by kv_queue_loan: `capacity` bytes at `data` (aligned to
 * 4096 bytes), the caller's to fill until kv_loan_send or kv_loan_drop. */
typedef struct kv_loan {
    void *data;
    size_t capacity;
    struct kv_loan_held *held_;  /* kelvane's own; NULL once sent or dropped */
} kv_loan;

/* Lends `size` bytes (0 is a size too) in a free block of the queue, waiting up to
 * `timeout_ns` for one: 0, KV_ETIMEDOUT (every block that could take it was in use until
 * then), KV_EMSGSIZE (larger than the queue's block memory: 64 times its capacity), KV_ENOSPC
 * (no memory to back it). Makes the queue's block memory if it has none. On failure the
 * loan's fields are zero. A loan never sent must be dropped (kv_loan_drop); a process that
 * ends with one gives it back. */
KV_API KV_NODISCARD int kv_queue_loan(kv_queue *q, kv_loan *loan, size_t size, int64_t timeout_ns);

/* Sends the first `len` bytes of the loan (len <= capacity) as a message of kind
 * KV_KIND_BYTES, waiting up to `timeout_ns` for room for its reference in the ring. 0: sent
 * (the loan's fields are zero; its bytes are the receiver's now). KV_ETIMEDOUT: not sent, the
 * loan is still the caller's. KV_EINVAL: a loan of another handle, or len > capacity.
 * KV_EPERM: the loan was taken by the parent of this forked process. */
KV_API KV_NODISCARD int kv_loan_send(kv_queue *q, kv_loan *loan, size_t len, int64_t timeout_ns);

/* Sends the loan as a numpy array: its first prod(shape) * itemsize bytes, in C order, with
 * `ndim` dimensions (0 to KV_MAX_DIMS; 0 is an array of one item) of sizes `shape` (NULL for
 * ndim 0). `dtype` is a type string of numpy's array interface: a byte order ('<' little,
 * '>' big, '|' for single bytes), a kind ('b' boolean, 'i' signed or 'u' unsigned integer,
 * 'f' floating, 'c' complex) and the item size in bytes: "<f8" (double), "<f4" (float),
 * "<i8", "<u2", "|u1", "|b1", "<c16". The message is of kind KV_KIND_PICKLE: part 0 a small
 * pickle stream that kelvane's Python package decodes to
 * numpy.frombuffer(part 1, dtype).reshape(shape), a view of the block; part 1 the array's
 * bytes. Results as kv_loan_send; KV_EINVAL also for a dtype of another form, or an array
 * larger than the loan. */
KV_API KV_NODISCARD int kv_loan_send_array(kv_queue *q, kv_loan *loan, const char *dtype, const size_t *shape,
                                           int ndim, int64_t timeout_ns);

/* Gives back a loan that is not to be sent (NULL, or a loan sent or dropped, is ignored). */
KV_API void kv_loan_drop(kv_loan *loan);

/* Copies `len` bytes into a block and sends them (kind KV_KIND_BYTES), waiting up to
 * `timeout_ns` in all: the loan and the send in one, for a message that need not fit the
 * ring. Results as kv_queue_loan and kv_loan_send; on failure nothing is sent. */
KV_API KV_NODISCARD int kv_queue_put_block(kv_queue *q, const void *data, size_t len, int64_t timeout_ns);

/* Takes the oldest message, waiting up to `timeout_ns` for one: a block message in place,
 * held until kv_block_release; a message of the ring copied into memory of its own
 * (KV_KIND_RING). KV_EDECODE: the message was a block that cannot be read, and is lost.
 * KV_ENOMEM: no memory for the copy or the part table; the message stays queued. On failure
 * the block's fields are zero. */
KV_API KV_NODISCARD int kv_queue_receive(kv_queue *q, kv_block *block, int64_t timeout_ns);

/* As kv_queue_receive, but never waits, not even for the queue's mutex: 0, KV_EAGAIN (empty),
 * KV_EBUSY (the mutex was held), KV_EDECODE, KV_ENOMEM. */
KV_API KV_NODISCARD int kv_queue_try_receive(kv_queue *q, kv_block *block);

/* Gives the message back: its block is free for the next message (NULL, or a block released
 * already, is ignored). Its bytes must not be read afterwards. */
KV_API void kv_block_release(kv_block *block);

/* ---- locks ----------------------------------------------------------------------------- */

typedef struct kv_lock kv_lock;

/* Opens the lock `name`, or creates it when there is none (one creator among racers).
 * May wait up to 10 s for a creator in another process that has not finished. */
KV_API KV_NODISCARD int kv_lock_open(kv_lock **out, const char *name);

/* Releases the handle (NULL is ignored). A lock held by a thread of this process is not
 * released: it stays held until that thread releases it or ends, and its mapping stays
 * until the process ends, so that the next acquirer is told if the holder dies. */
KV_API void kv_lock_close(kv_lock *l);

/* Removes the name, as kv_queue_unlink does; refuses a name that holds no lock. */
KV_API KV_NODISCARD int kv_lock_unlink(const char *name);

/* Acquires the lock, waiting up to `timeout_ns`: 0 (held), KV_RECOVERED (held, after a
 * holder that died: what the lock guards may be half done; repair it, then release),
 * KV_ETIMEDOUT, KV_EDEADLK (this thread holds it already). */
KV_API KV_NODISCARD int kv_lock_acquire(kv_lock *l, int64_t timeout_ns);

/* One try, never waiting: 0, KV_RECOVERED, KV_EBUSY (another thread holds it),
 * KV_EDEADLK (this thread does). */
KV_API KV_NODISCARD int kv_lock_try_acquire(kv_lock *l);

/* Releases the lock: 0, or KV_EPERM when the calling thread does not hold it. */
KV_API KV_NODISCARD int kv_lock_release(kv_lock *l);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVANE_H */
