// float64 numpy arrays seen from C++ through the buffer protocol: element access with the array's
// own strides, so the core copies values bit for bit without a round trip through Python floats.
#pragma once

#include "korva/py/attached_thread.hpp"
#include "korva/py/glue.hpp"

#include <initializer_list>

namespace korva::curve::core {

namespace nb = nanobind;

class Float64Array {
public:
    // The memory of `array`, which must be an exact numpy.ndarray (`ndarray_type`) of float64 with
    // `ndim` dimensions; otherwise throws NotVectorisable. `writable` asks for write access.
    Float64Array(nb::handle array, nb::handle ndarray_type, int ndim, bool writable = false);
    ~Float64Array() { PyBuffer_Release(&view_); }
    Float64Array(const Float64Array&) = delete;
    Float64Array& operator=(const Float64Array&) = delete;

    Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
    bool has_shape(std::initializer_list<Py_ssize_t> shape) const;

    // The array whose memory this is.
    nb::handle owner() const { return view_.obj; }
    bool is_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C'); }
    // The first element of a C-contiguous array (nullptr for any other layout).
    double* contiguous() const { return is_contiguous() ? static_cast<double*>(view_.buf) : nullptr; }
    double& at(Py_ssize_t i) const { return *reinterpret_cast<double*>(base() + i * view_.strides[0]); }
    double& at(Py_ssize_t i, Py_ssize_t j) const {
        return *reinterpret_cast<double*>(base() + i * view_.strides[0] + j * view_.strides[1]);
    }
    double& at(Py_ssize_t i, Py_ssize_t j, Py_ssize_t k) const {
        return *reinterpret_cast<double*>(base() + i * view_.strides[0] + j * view_.strides[1] +
                                          k * view_.strides[2]);
    }

private:
    char* base() const { return static_cast<char*>(view_.buf); }
    Py_buffer view_{};
};

// numpy's own ndarray type, resolved once per interpreter from numpy itself (never from a caller's
// `np`, which may be anything): the class that numpy's compiled code defines, found along the bases
// of `numpy.ndarray` (a Python subclass bound there does not count), and only when its instances
// have the layout only_ours reads. Null when numpy cannot be imported or that does not hold.
PyTypeObject* numpy_ndarray();

// Whether `obj` is exactly numpy's own ndarray: its methods and getters are numpy's compiled code.
bool is_numpy_array(nb::handle obj);

// Whether no one but the caller can reach the memory of `array`: it is exactly numpy's own ndarray,
// the caller holds all `own_refs` references to it (buffer views count), nothing refers to it
// weakly, and it owns its memory or is a view whose bases are such arrays, each referred to by its
// view alone. Everything is read from numpy's array struct, so no Python code runs: then no other
// thread can resize, free or write that memory until the caller next runs Python code.
bool only_ours(nb::handle array, Py_ssize_t own_refs);
// The same for callers that pass the ndarray type of their `np`: it is not what decides.
inline bool only_ours(nb::handle array, nb::handle /*their np.ndarray*/, Py_ssize_t own_refs) {
    return only_ours(array, own_refs);
}

// An array a copy reads or writes, with the number of references the caller holds to it.
struct Held {
    nb::handle array;
    Py_ssize_t references;
};

// Runs `copy`, which touches no Python object, without the GIL when every array of `arrays` is the
// caller's alone (only_ours), else with it. The checks are the last step before the GIL is let go:
// nothing between them runs Python code.
template <class Copy>
void copy_without_gil_if_ours(std::initializer_list<Held> arrays, Copy&& copy) {
    bool ours = numpy_ndarray() != nullptr;  // resolved first: resolving may import numpy
    for (const Held& held : arrays) ours = ours && only_ours(held.array, held.references);
    if (!ours) return copy();
    py::Detached without_gil;
    copy();
}

// numpy.empty(shape) through the caller's `np`, checked to be what it was asked for: an exact
// `ndarray_type` of float64, C-contiguous, of that shape; otherwise NotVectorisable.
nb::object empty(nb::handle np, nb::handle ndarray_type, std::initializer_list<Py_ssize_t> shape);

}  // namespace korva::curve::core
