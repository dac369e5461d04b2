// Arrays that numpy hands back to the figures (through the module's `np`, which a caller may
// replace): read through the buffer protocol, with their own strides, and checked where they are read.
#include "korva/curve/metrics/metrics.hpp"

#include "korva/curve/core/core.hpp"

namespace korva::curve::metrics {

Doubles::Doubles(nb::handle array, nb::handle ndarray, int ndim, const char* what) : array_(nb::borrow(array)) {
    try {
        view_ = std::make_unique<core::Float64Array>(array_, ndarray, ndim);
    } catch (const core::NotVectorisable&) {
        PyErr_Format(PyExc_RuntimeError,
                     "np.ascontiguousarray gave %s as a %.200s, not a %d-dimensional float64 ndarray", what,
                     Py_TYPE(array_.ptr())->tp_name, ndim);
        throw nb::python_error();
    }
    if (view_->contiguous()) return;
    // Another layout than asked for: its values in C order, read with the array's own strides.
    Py_ssize_t rows = ndim > 1 ? shape(0) : 1, columns = shape(ndim - 1), depth = ndim > 2 ? shape(1) : 1;
    copy_.reserve((size_t) (rows * columns * depth));
    for (Py_ssize_t i = 0; i < rows; ++i)
        for (Py_ssize_t j = 0; j < depth; ++j)
            for (Py_ssize_t k = 0; k < columns; ++k)
                copy_.push_back(ndim == 1 ? view_->at(k) : ndim == 2 ? view_->at(i, k) : view_->at(i, j, k));
    if (copy_.empty()) copy_.push_back(0.0);  // data() of an empty array: never read, never null
}

void Doubles::expect(std::initializer_list<Py_ssize_t> shape, const char* what) const {
    if (view_->has_shape(shape)) return;
    PyErr_Format(PyExc_RuntimeError, "np.ascontiguousarray gave %s in another shape than it was given", what);
    throw nb::python_error();
}

}  // namespace korva::curve::metrics
