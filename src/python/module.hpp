// What the files of the binding share: the module's type objects, each created on
// first use, and the ring calls that KelPoolCore shares with KelQueue.
#pragma once

#include "pyutil.hpp"

#include "core/queue.hpp"

namespace kel::py {

PyTypeObject* kel_lock_type();      // lock.cpp
PyTypeObject* kel_queue_type();     // queue.cpp
PyTypeObject* queue_view_type();    // queue.cpp
PyTypeObject* kel_pool_core_type(); // pool.cpp
PyObject* lock_recovered_type();    // lib.cpp

// put and get on a ring, trying first with the interpreter lock held and giving it up
// only to wait (put_bytes, get_bytes, put_task, get_result); raise prefix + error text.
PyObject* queue_put(RingQueue& ring, const char* data, std::uint64_t size, const char* prefix);
PyObject* queue_get(RingQueue& ring, const char* prefix);

// The static unlink(name) that KelLock and KelQueue share: removes the name, raises
// "Unlink failed: ..." when it cannot.
PyObject* unlink_by_name(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

} // namespace kel::py
