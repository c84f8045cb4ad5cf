// What the files of kelvane._native share: the binding helpers of src/python and the
// type objects of the module's classes, each created on first use.
#pragma once

#include "python/pyutil.hpp"

namespace kel::native {

// One declaration per type file: `PyTypeObject* <name>_type();`
PyTypeObject* lock_type();        // lock.cpp
PyTypeObject* lock_waiter_type(); // lock_waiter.cpp

// The robust mutex of a kelvane._native.Lock instance (lock.cpp).
pthread_mutex_t* lock_mutex(PyObject* lock);
PyTypeObject* block_queue_type_object(); // blocks.cpp
PyTypeObject* block_type_object();       // blocks.cpp

} // namespace kel::native
