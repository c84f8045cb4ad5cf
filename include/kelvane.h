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
 * with a Python process that uses kelvane.Queue(name, serializer=None) or KelQueue.
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
 * 64) is fixed: programs and Python processes of every kelvane version with this layout
 * share objects, whichever version built them. Should a later version change the
 * layout, its objects carry another mark (a lock mark other than "KELLOCK1", a queue
 * ready word other than 1), which this version refuses with KV_EKIND instead of
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
    KV_EINTERNAL = -18  /* a fault of kelvane itself: see kv_last_error() */
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
 * name makes a new queue. Refuses a name that holds something other than a queue. */
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
 * queued, *len holds its length (a kv_queue_get_alloc takes any length). */
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
 * runs past the end of the ring is still one contiguous range. */
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
