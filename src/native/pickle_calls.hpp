// Pickle protocol 5 from native code: an object's stream with its large buffers out of
// band, taken in one pass, and the object of a stream and its buffers. The block calls
// use them to send and receive a large pickle in one call each.
#pragma once

#include <cstdint>
#include <vector>

#include "python/pyutil.hpp"

namespace kel::native {

// The out-of-band buffers of one pickle: exports held until the guard goes (with the
// interpreter lock), so that their bytes stay where they are while they are copied.
struct OutOfBand {
    OutOfBand() = default;
    OutOfBand(const OutOfBand&) = delete;
    OutOfBand& operator=(const OutOfBand&) = delete;
    ~OutOfBand();

    std::vector<Py_buffer> views; // in the order the stream refers to them
    std::uint64_t min_buffer = 0; // smaller buffers stay in the stream
};

// pickle.dumps(obj, 5) where every contiguous buffer of at least `min_buffer` bytes goes
// out of band into `out`, as a buffer_callback that returns False for it would; smaller
// and non-contiguous ones stay in the stream. The stream (bytes), or nullptr with the
// pickler's exception set.
[[nodiscard]] PyObject* dumps_out_of_band(PyObject* obj, std::uint64_t min_buffer, OutOfBand& out);

// pickle.loads(stream, buffers=buffers): the object, or nullptr with its exception set.
[[nodiscard]] PyObject* loads_with_buffers(PyObject* stream, PyObject* buffers);

} // namespace kel::native
