// float64 numpy arrays seen from C++ through the buffer protocol: element access with the array's
// own strides, so the core copies values bit for bit without a round trip through Python floats.
#pragma once

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

// Whether no one but the caller can reach the memory of `array`, an exact `ndarray_type`: the caller
// holds all `own_refs` references to it (buffer views count), nothing refers to it weakly, and it owns
// its memory or is a view whose bases are such arrays, each referred to by its view alone. No other
// thread can then resize, free or write that memory, so it may be read or written without the GIL.
bool only_ours(nb::handle array, nb::handle ndarray_type, Py_ssize_t own_refs);

// numpy.empty(shape) through the caller's `np`, checked to be what it was asked for: an exact
// `ndarray_type` of float64, C-contiguous, of that shape; otherwise NotVectorisable.
nb::object empty(nb::handle np, nb::handle ndarray_type, std::initializer_list<Py_ssize_t> shape);

}  // namespace korva::curve::core
