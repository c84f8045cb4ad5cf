// Pickle protocol 5 from native code (pickle_calls.hpp).

#include "pickle_calls.hpp"

namespace kel::native {

using py::Ref;

namespace {

// Looked up on first use and kept for the process (the module lives in one interpreter).
PyObject* pickle_dumps = nullptr;
PyObject* pickle_loads = nullptr;
PyObject* dumps_kwargs = nullptr; // {"buffer_callback": the collector below}
PyObject* protocol_5 = nullptr;

// The pickle that is collecting buffers on this thread; a dumps_out_of_band inside a
// reducer of another's object sets its own and puts the outer one back after.
thread_local OutOfBand* collecting = nullptr;

PyObject* on_buffer(PyObject*, PyObject* buffer) {
    return py::guarded([&]() -> PyObject* {
        OutOfBand* out = collecting;
        if (out == nullptr)
            Py_RETURN_TRUE;
        Py_buffer view;
        if (PyObject_GetBuffer(buffer, &view, PyBUF_FULL_RO) != 0) {
            PyErr_Clear();
            Py_RETURN_TRUE; // the pickler says what is wrong with it itself
        }
        if (!PyBuffer_IsContiguous(&view, 'A') || static_cast<std::uint64_t>(view.len) < out->min_buffer) {
            PyBuffer_Release(&view);
            Py_RETURN_TRUE;
        }
        try {
            out->views.push_back(view);
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        Py_RETURN_FALSE;
    });
}

PyMethodDef on_buffer_def = {"out_of_band", on_buffer, METH_O, nullptr};

PyObject* attribute_of(const char* module, const char* name) {
    Ref m(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

bool ready() {
    if (dumps_kwargs != nullptr) [[likely]]
        return true;
    Ref dumps(attribute_of("pickle", "dumps"));
    Ref loads(dumps ? attribute_of("pickle", "loads") : nullptr);
    Ref callback(loads ? PyCFunction_New(&on_buffer_def, nullptr) : nullptr);
    Ref five(callback ? PyLong_FromLong(5) : nullptr);
    Ref kwargs(five ? PyDict_New() : nullptr);
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "buffer_callback", callback.get()) != 0)
        return false;
    pickle_dumps = dumps.release();
    pickle_loads = loads.release();
    protocol_5 = five.release();
    dumps_kwargs = kwargs.release();
    return true;
}

} // namespace

OutOfBand::~OutOfBand() {
    for (Py_buffer& view : views)
        PyBuffer_Release(&view);
}

PyObject* dumps_out_of_band(PyObject* obj, std::uint64_t min_buffer, OutOfBand& out) {
    if (!ready())
        return nullptr;
    Ref args(PyTuple_Pack(2, obj, protocol_5));
    if (!args)
        return nullptr;
    out.min_buffer = min_buffer;
    OutOfBand* outer = collecting;
    collecting = &out;
    PyObject* stream = PyObject_Call(pickle_dumps, args.get(), dumps_kwargs);
    collecting = outer;
    if (stream != nullptr && !PyBytes_Check(stream)) {
        Py_DECREF(stream);
        PyErr_SetString(PyExc_TypeError, "pickle.dumps() did not return bytes");
        return nullptr;
    }
    return stream;
}

PyObject* loads_with_buffers(PyObject* stream, PyObject* buffers) {
    if (!ready())
        return nullptr;
    Ref args(PyTuple_Pack(1, stream));
    Ref kwargs(args ? PyDict_New() : nullptr);
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "buffers", buffers) != 0)
        return nullptr;
    return PyObject_Call(pickle_loads, args.get(), kwargs.get());
}

} // namespace kel::native
