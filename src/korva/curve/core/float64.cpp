// float64 numpy arrays seen from C++ through the buffer protocol.
#include "korva/curve/core/float64.hpp"

#include "korva/curve/core/core.hpp"

#include <cstring>

namespace korva::curve::core {

namespace {

// The struct-module codes numpy gives a native float64 buffer.
bool is_float64_format(const char* format) {
    if (!format) return false;
    if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
    return std::strcmp(format, "d") == 0;
}

}  // namespace

Float64Array::Float64Array(nb::handle array, nb::handle ndarray_type, int ndim, bool writable) {
    if ((PyObject*) Py_TYPE(array.ptr()) != ndarray_type.ptr()) throw NotVectorisable{};
    int flags = writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (PyObject_GetBuffer(array.ptr(), &view_, flags) < 0) {
        PyErr_Clear();  // a read-only array asked for writing: not ours to fill
        throw NotVectorisable{};
    }
    if (view_.ndim != ndim || view_.itemsize != 8 || !is_float64_format(view_.format)) {
        PyBuffer_Release(&view_);
        throw NotVectorisable{};
    }
}

bool Float64Array::has_shape(std::initializer_list<Py_ssize_t> shape) const {
    if ((Py_ssize_t) shape.size() != view_.ndim) return false;
    int axis = 0;
    for (Py_ssize_t extent : shape)
        if (view_.shape[axis++] != extent) return false;
    return true;
}

bool only_ours(nb::handle array, nb::handle ndarray_type, Py_ssize_t own_refs) {
    PyTypeObject* type = (PyTypeObject*) ndarray_type.ptr();
    PyObject* current = array.ptr();
    Py_ssize_t expected = own_refs;
    for (int depth = 0; depth < 16; ++depth) {
        if (Py_TYPE(current) != type || Py_REFCNT(current) != expected) return false;
        if (type->tp_weaklistoffset <= 0 || *(PyObject**) ((char*) current + type->tp_weaklistoffset)) return false;
        PyObject* base = PyObject_GetAttrString(current, "base");  // ndarray's own getter: no Python code
        if (!base) {
            PyErr_Clear();
            return false;
        }
        bool owns = base == Py_None;
        Py_DECREF(base);  // still held by `current`
        if (owns) return true;
        current = base;
        expected = 1;
    }
    return false;
}

nb::object empty(nb::handle np, nb::handle ndarray_type, std::initializer_list<Py_ssize_t> shape) {
    nb::object dims = nb::steal(PyTuple_New((Py_ssize_t) shape.size()));
    if (!dims.is_valid()) throw nb::python_error();
    Py_ssize_t i = 0;
    for (Py_ssize_t extent : shape) {
        PyObject* value = PyLong_FromSsize_t(extent);
        if (!value) throw nb::python_error();
        PyTuple_SET_ITEM(dims.ptr(), i++, value);
    }
    // What the module's np gave is checked like any array Python hands back: the callers write
    // through it by the shape they asked for.
    nb::object array = np.attr("empty")(dims);
    Float64Array check(array, ndarray_type, (int) shape.size(), true);
    if (!check.has_shape(shape) || !check.is_contiguous()) throw NotVectorisable{};
    return array;
}

bool is_float64(nb::handle np, nb::handle dtype) {
    nb::object float64 = np.attr("dtype")("float64");
    return dtype.type().is(float64.type()) && py::equals(dtype, float64);
}

}  // namespace korva::curve::core
