// Arrays handed back by numpy, scipy and pandas, read through the buffer protocol: the dtype and
// shape are checked where they are read, and the values copied out while the buffer is held.
#include "korva/curve/design/design.hpp"

#include <cstring>

namespace korva::curve::design {

namespace {

// The struct-module codes of a native 8-byte float or signed int.
bool has_format(const char* format, const char* codes) {
    if (!format) return false;
    if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
    return format[0] != '\0' && format[1] == '\0' && std::strchr(codes, format[0]) != nullptr;
}

template <class T>
std::vector<T> copy_buffer(nb::handle array, std::initializer_list<Py_ssize_t> shape, const char* codes,
                           const char* dtype, const char* what) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "%s is not an array of %s but %.200s", what, dtype,
                     Py_TYPE(array.ptr())->tp_name);
        throw nb::python_error();
    }
    bool fits = view.itemsize == 8 && has_format(view.format, codes) && view.ndim == (int) shape.size();
    for (int axis = 0; fits && axis < view.ndim; ++axis) fits = view.shape[axis] == shape.begin()[axis];
    if (!fits) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_RuntimeError, "%s does not have the %s dtype and shape asked for", what, dtype);
        throw nb::python_error();
    }
    Py_ssize_t rows = view.ndim > 0 ? view.shape[0] : 1, columns = view.ndim > 1 ? view.shape[1] : 1;
    std::vector<T> values((size_t) (rows * columns));
    const char* base = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < rows; ++i)
        for (Py_ssize_t j = 0; j < columns; ++j) {
            const char* item = base + (view.ndim > 0 ? i * view.strides[0] : 0) + (view.ndim > 1 ? j * view.strides[1] : 0);
            std::memcpy(&values[(size_t) (i * columns + j)], item, sizeof(T));
        }
    PyBuffer_Release(&view);
    return values;
}

}  // namespace

std::vector<double> copy_float64(nb::handle array, std::initializer_list<Py_ssize_t> shape, const char* what) {
    return copy_buffer<double>(array, shape, "d", "float64", what);
}

std::vector<int64_t> copy_int64(nb::handle array, std::initializer_list<Py_ssize_t> shape, const char* what) {
    return copy_buffer<int64_t>(array, shape, "lq", "int64", what);
}

nb::object float64_array(const py::Call& g, const std::vector<double>& values, Py_ssize_t rows, Py_ssize_t columns) {
    nb::bytes data(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
    nb::object np = g("np");
    return np.attr("frombuffer")(data, "dtype"_a = np.attr("float64")).attr("reshape")(rows, columns);
}

}  // namespace korva::curve::design
