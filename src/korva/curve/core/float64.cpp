// float64 numpy arrays seen from C++ through the buffer protocol.
#include "korva/curve/core/float64.hpp"

#include "korva/curve/core/core.hpp"

#include "korva/py/interpreter.hpp"

#include <cstddef>
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

namespace {

// The head of numpy's array struct (PyArrayObject_fields), the part of numpy's ABI that only_ours
// reads; numpy_ndarray() checks that its type agrees with it.
struct NumpyArray {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
    PyObject* weakreflist;
};
constexpr int owns_data = 0x0004;  // NPY_ARRAY_OWNDATA

nb::object resolve_numpy_ndarray() {
    nb::object numpy = nb::steal(PyImport_ImportModule("numpy"));
    if (!numpy.is_valid()) {
        PyErr_Clear();
        return nb::none();
    }
    PyObject* found = PyObject_GetAttrString(numpy.ptr(), "ndarray");
    if (!found) PyErr_Clear();
    nb::object named = nb::steal(found);
    if (!named.is_valid() || !PyType_Check(named.ptr())) return nb::none();
    // a class defined in Python is a heap type, whatever name it gives itself
    for (PyTypeObject* type = (PyTypeObject*) named.ptr(); type; type = type->tp_base) {
        if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) || std::strcmp(type->tp_name, "numpy.ndarray") != 0) continue;
        bool layout = type->tp_basicsize >= (Py_ssize_t) sizeof(NumpyArray) &&
                      type->tp_weaklistoffset == (Py_ssize_t) offsetof(NumpyArray, weakreflist);
        return layout ? nb::borrow((PyObject*) type) : nb::none();
    }
    return nb::none();
}

}  // namespace

PyTypeObject* numpy_ndarray() {
    nb::object type = py::interpreter_value("korva.numpy_ndarray", resolve_numpy_ndarray);
    // held by the interpreter's dict for as long as the interpreter lives
    return type.is_none() ? nullptr : (PyTypeObject*) type.ptr();
}

bool is_numpy_array(nb::handle obj) {
    PyTypeObject* ndarray = numpy_ndarray();
    return ndarray && Py_TYPE(obj.ptr()) == ndarray;
}

bool only_ours(nb::handle array, Py_ssize_t own_refs) {
    PyTypeObject* ndarray = numpy_ndarray();
    if (!ndarray) return false;
    PyObject* current = array.ptr();
    Py_ssize_t expected = own_refs;
    for (int depth = 0; depth < 16; ++depth) {
        if (Py_TYPE(current) != ndarray) return false;
        const NumpyArray* fields = reinterpret_cast<const NumpyArray*>(current);
        if (Py_REFCNT(current) != expected || fields->weakreflist) return false;
        if (!fields->base) return fields->flags & owns_data;
        current = fields->base;  // held by `current`'s view
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
